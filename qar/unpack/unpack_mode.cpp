// The unpack mode: selected entries written below an output directory in entry order.
#include "qar/unpack/unpack_mode.hpp"

#include <optional>
#include <vector>

#include "common/console.hpp"
#include "common/error.hpp"
#include "common/platform.hpp"
#include "qar/base/file_lines.hpp"
#include "qar/base/pattern_list.hpp"
#include "qar/base/worker_pool.hpp"
#include "qar/format/block_reader.hpp"
#include "qar/format/entry_selection.hpp"
#include "qar/format/journal.hpp"
#include "qar/format/own_files.hpp"
#include "qar/unpack/output_tree.hpp"

namespace qar::unpack {

using namespace format;

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
