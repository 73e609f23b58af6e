// The unpack mode: selected entries written below an output directory in entry order, after
// its directories, parents first, with any file in their way refused.
#include "qar/unpack/unpack_mode.hpp"

#include <optional>
#include <set>
#include <unordered_set>
#include <vector>

#include "common/console.hpp"
#include "common/error.hpp"
#include "common/platform.hpp"
#include "common/text.hpp"
#include "qar/base/file_lines.hpp"
#include "qar/base/pattern_list.hpp"
#include "qar/base/worker_pool.hpp"
#include "qar/format/block_reader.hpp"
#include "qar/format/directory_tree.hpp"
#include "qar/format/entry_selection.hpp"
#include "qar/format/journal.hpp"
#include "qar/format/own_files.hpp"

namespace qar::unpack {

using namespace format;

namespace {

// Creates output_dir (its parent must exist) and the directory of every selected entry (whose
// names the caller has found safe), printing a "Creating: " line for each.
void create_directory_tree(const std::wstring& output_dir, std::span<const SelectedEntry> selection)
{
    // Only the directories that hold a file directly; their parents are made on the way.
    std::set<std::wstring, tarvo::Utf16Less> directories;
    for (const SelectedEntry& selected : selection) {
        const std::size_t last = selected.name.find_last_of(L"/\\");
        if (last != std::wstring::npos) directories.insert(selected.name.substr(0, last + 1));
    }

    // Only output_dir's own level: a mistyped parent should fail rather than grow a tree.
    make_directory_level(output_dir);

    std::unordered_set<std::wstring> made;
    for (const std::wstring& directory : directories) {
        const std::wstring path = tarvo::join_archive_name(output_dir, directory);
        tarvo::console::out(L"Creating: " + directory);
        // The status without the trailing separator, so that a file in the way is seen as one.
        std::wstring bare = path;
        tarvo::trim_trailing_separators(bare);
        // A status that can't be read counts as nothing there: creating the directory then
        // either works or reports why it can't.
        const tarvo::PathKind kind = tarvo::path_kind_or_nothing(bare);
        if (kind == tarvo::PathKind::not_found) {
            make_missing_directories(path, made);
        } else if (kind != tarvo::PathKind::directory) {
            throw tarvo::wruntime_error(path + L" is a file, not a directory!");
        }
    }
}

}  // namespace

void unpack_archive(const std::wstring& input_path, const std::wstring& output_dir, std::wstring extract_patterns,
                    WorkerPool& pool)
{
    const std::optional<PatternExpression> expression = set_up_pattern_list(PatternListKind::extract, extract_patterns);

    // Held to the end: no update may change the archive while its files are read.
    const tarvo::FileLock lock = lock_for_reading(input_path);
    tarvo::console::out(L"Reading file structure...");
    tarvo::File archive(input_path, tarvo::File::Mode::read);
    if (!archive.is_open()) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot open input file ", input_path));
    ArchiveMetadata metadata;
    try {
        metadata = read_metadata(archive);
    } catch (const MalformedArchive&) {
        throw tarvo::wruntime_error(L"Invalid input file format");
    }

    // Every selected name is checked before the first directory exists.
    const std::vector<SelectedEntry> selection = select_entries(metadata, expression);
    require_safe_names(selection);
    require_outputs_apart(own_files_of(input_path), output_dir, selection);
    require_files_apart(selection, output_dir);

    tarvo::console::out(L"Creating directory structure. Please wait, it may take a while");
    create_directory_tree(output_dir, selection);

    tarvo::console::out(L"");
    tarvo::console::out(L"Collecting size data...");
    std::uint64_t total = 0;
    for (const SelectedEntry& selected : selection) total += metadata.entries[selected.index].size;

    tarvo::console::out(L"");
    tarvo::console::out(L"Extracting files...");
    std::vector<FileEntry> entries;
    entries.reserve(selection.size());
    for (const SelectedEntry& selected : selection) entries.push_back(metadata.entries[selected.index]);
    std::uint64_t done = 0;
    FileSink files([&](std::size_t k) {
        done += entries[k].size;
        tarvo::console::out(progress_line(done, total, selection[k].name));
        return tarvo::join_archive_name(output_dir, selection[k].name);
    });
    read_blocks(archive, entries, metadata.block_table, pool, files);
    tarvo::console::out(L"Done!");
}

}  // namespace qar::unpack
