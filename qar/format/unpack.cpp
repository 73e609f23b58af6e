// The unpack mode: selected entries written below an output directory in entry order.
#include "qar/format/unpack.hpp"

#include <memory>
#include <optional>
#include <vector>

#include "common/console.hpp"
#include "common/error.hpp"
#include "qar/base/pattern_list.hpp"
#include "qar/base/worker_pool.hpp"
#include "qar/format/block_decoding.hpp"
#include "qar/format/directory_tree.hpp"
#include "qar/format/entry_selection.hpp"
#include "qar/format/journal.hpp"
#include "qar/format/own_files.hpp"
#include "qar/format/parallel_unpack.hpp"

namespace qar::format {
namespace {

static_assert(kBlockSize <= kExtractOutputBuffer, "one inflated block must fit in the output buffer");
static_assert(kBlockSize <= kMaxCompressedBlock, "the input buffer must hold any stored block");

[[noreturn]] void problem_decompressing(const std::wstring& output_path)
{
    throw tarvo::wruntime_error(L"Problem decompressing file " + output_path);
}

}  // namespace

void extract_entry(tarvo::File& archive, const std::wstring& output_path, const FileEntry& entry,
                   std::span<const std::uint16_t> block_table)
{
    // The tables are checked on reading, but this is also reached from the update mode's own
    // tables: a range that leaves the block table is refused before the output exists.
    const std::optional<std::span<const std::uint16_t>> checked = entry_blocks(entry, block_table);
    if (!checked) problem_decompressing(output_path);
    const std::span<const std::uint16_t> blocks = *checked;

    tarvo::File output(output_path, tarvo::File::Mode::write_new);
    if (!output.is_open()) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot create output file ", output_path));
    if (blocks.empty()) {
        output.close();
        return;
    }

    try {
        archive.seek(entry.data_offset);
    } catch (const tarvo::wruntime_error&) {
        problem_decompressing(output_path);  // a position the system can't reach holds no data
    }
    // Uninitialised on purpose: only bytes that were read or inflated are ever written out.
    const auto input = std::make_unique_for_overwrite<std::uint8_t[]>(kMaxCompressedBlock);
    const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kExtractOutputBuffer);
    std::size_t fill = 0;
    auto make_room = [&](std::size_t needed) {
        if (fill + needed <= kExtractOutputBuffer) return;
        output.write(buffer.get(), fill);
        fill = 0;
    };

    for (std::uint32_t j = 0; j < blocks.size(); ++j) {
        const std::uint32_t stored = stored_length(blocks[j]);
        const std::uint32_t raw = raw_block_length(entry.size, j);
        if (!archive.read_exact(input.get(), stored)) problem_decompressing(output_path);
        make_room(raw);
        if (!decode_block(entry, j, blocks[j], input.get(), buffer.get() + fill)) problem_decompressing(output_path);
        fill += raw;
    }
    output.write(buffer.get(), fill);
    output.close();
}

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
    create_directory_tree(output_dir, selection, true);

    tarvo::console::out(L"");
    tarvo::console::out(L"Collecting size data...");
    std::uint64_t total = 0;
    for (const SelectedEntry& selected : selection) total += metadata.entries[selected.index].size;

    tarvo::console::out(L"");
    tarvo::console::out(L"Extracting files...");
    extract_in_parallel(archive, metadata, selection, output_dir, total, pool);
    tarvo::console::out(L"Done!");
}

}  // namespace qar::format
