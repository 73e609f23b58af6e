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
#include "qar/base/safe_name.hpp"
#include "qar/base/worker_pool.hpp"
#include "qar/format/block_reader.hpp"
#include "qar/format/directory_tree.hpp"
#include "qar/format/name_clash.hpp"
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

// Every entry whose whole name matches the expression (letters in any case), or every entry
// when there is none, in entry-table order. Each name is converted, selected or not: a name
// that is not UTF-8 throws std::range_error("bad conversion").
std::vector<SelectedEntry> select_entries(const ArchiveMetadata& metadata, const std::optional<PatternExpression>& expression)
{
    std::vector<SelectedEntry> selection;
    for (std::size_t i = 0; i < metadata.entries.size(); ++i) {
        std::wstring name = tarvo::from_utf8(metadata.name_bytes(i));
        if (expression && !matches(name, *expression)) continue;
        selection.push_back(SelectedEntry{i, std::move(name)});
    }
    return selection;
}

// Throws `Cannot create output file "PATH"` (PATH the name below output_dir), the error its turn
// would end the run with, for the first selected name that another selected name needs as a
// directory (ASCII case ignored where the file system ignores it).
void require_files_apart(std::span<const SelectedEntry> selection, const std::wstring& output_dir)
{
    NameTree tree(tarvo::kWindowsFileNames);
    for (std::size_t k = 0; k < selection.size(); ++k) tree.add(tarvo::to_utf8(selection[k].name), k);
    // Every directory is made before the first file: the file whose path is one fails.
    for (const SelectedEntry& selected : selection) {
        if (tree.name_below(tarvo::to_utf8(selected.name)))
            throw tarvo::wruntime_error(tarvo::quoted(L"Cannot create output file ", tarvo::join_archive_name(output_dir, selected.name)));
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
    for (const SelectedEntry& selected : selection) require_safe_archive_name(selected.name);
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
