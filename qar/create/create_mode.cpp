// The create mode: lists a tree, writes the tables, stores every file and seals the archive.
#include "qar/create/create_mode.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/byte_order.hpp"
#include "common/console.hpp"
#include "common/error.hpp"
#include "common/file.hpp"
#include "common/platform.hpp"
#include "common/text.hpp"
#include "qar/base/file_lines.hpp"
#include "qar/base/pattern_list.hpp"
#include "qar/base/worker_pool.hpp"
#include "qar/format/md5.hpp"
#include "qar/base/source_tree.hpp"
#include "qar/format/archive_format.hpp"
#include "qar/format/block_writer.hpp"
#include "qar/format/journal.hpp"
#include "qar/format/name_clash.hpp"
#include "qar/format/own_files.hpp"
#include "qar/base/safe_name.hpp"

namespace qar::create {
namespace {

using format::Digest;
using format::FileEntry;

// The tables of the archive being built, in entry order.
struct Tables {
    std::vector<FileEntry> entries;
    std::vector<Digest> digests;
    std::vector<std::uint8_t> names;                 // the names area: UTF-8 names, each with a NUL
    std::vector<format::BlockSizeList> block_lists;  // one per entry
    std::vector<const std::wstring*> wide_names;     // the listing's names, not decoded again per file
    std::uint64_t block_total = 0;                   // B
    std::uint64_t total_size = 0;
};

Tables build_tables(const FileSizeMap& files)
{
    Tables tables;
    tables.entries.reserve(files.size());
    tables.digests.reserve(files.size());
    tables.block_lists.resize(files.size());
    for (const auto& [name, size] : files) {
        tables.wide_names.push_back(&name);
        tarvo::console::out(listing_line(name, size));
        const std::string utf8 = tarvo::to_utf8(name);
        FileEntry entry;
        // Past 2^32 blocks the tables are refused before anything is written.
        entry.first_block = static_cast<std::uint32_t>(tables.block_total);
        entry.first_block_copy = entry.first_block;
        entry.size = size;
        entry.name_offset = tables.names.size();
        tables.entries.push_back(entry);
        tables.digests.push_back(format::name_digest(utf8));
        tables.block_total += format::block_count(size);
        tables.names.insert(tables.names.end(), utf8.begin(), utf8.end());
        tables.names.push_back(0);
        tables.total_size += size;
    }
    return tables;
}

}  // namespace

void create_archive(const std::wstring& source_root, const std::wstring& archive_path,
                    const std::wstring& ignore_patterns, WorkerPool& pool)
{
    std::optional<PatternExpression> ignore;
    if (!ignore_patterns.empty()) ignore = set_up_pattern_list(PatternListKind::ignore, ignore_patterns);

    tarvo::console::out(L"Reading directory structure");
    FileSizeMap files;
    scan_source_tree(source_root, files, source_root.size(), NameList{});

    // Taken before the archive is truncated: an archive inside the source must not store
    // itself, nor its journal, even though it will be a new file by then.
    const format::OwnFiles own = format::own_files_of(archive_path);
    // Drops each name that `left_out` accepts, with its "Ignoring " line, in name order.
    const auto leave_out = [&files](auto&& left_out) {
        for (auto it = files.begin(); it != files.end();) {
            if (left_out(it->first)) {
                tarvo::console::out(L"Ignoring " + it->first);
                it = files.erase(it);
            } else {
                ++it;
            }
        }
    };
    // Nor a name that either platform's unpack refuses: the archive must unpack on both.
    leave_out([&](const std::wstring& name) {
        return (ignore && matches(name, *ignore)) || format::is_own_file(own, tarvo::join_path(source_root, name)) ||
               name_refusal(name) != NameRefusal::none;
    });
    // On Linux "A" and "a/x" are two files; on Windows "A" would stand where the folder of
    // "a/x" must, so the file stays out.
    format::NameTree tree(/*ignore_case=*/true);
    for (const auto& [name, size] : files) tree.add(tarvo::to_utf8(name), 0);
    leave_out([&](const std::wstring& name) { return tree.name_below(tarvo::to_utf8(name)).has_value(); });

    Tables tables = build_tables(files);
    // Tables that the format's fields can't hold are refused before the old archive goes.
    const std::uint32_t metadata_size =
        format::checked_metadata_size(tables.entries.size(), tables.names.size(), tables.block_total);

    // Held to the end, and taken before the old archive goes: nobody reads or updates it while
    // it is replaced. Its journal goes with it; it must never be applied to the new one.
    const tarvo::FileLock lock = format::lock_for_create(archive_path);
    tarvo::File archive(archive_path, tarvo::File::Mode::read_write_new);
    if (!archive.is_open()) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot open output file ", archive_path));

    tarvo::console::out(L"Writing headers...");
    // The tables go in once every file is stored and their data offsets and block sizes are
    // known; the data starts right behind where they will stand.
    archive.seek(metadata_size);

    tarvo::console::out(L"Compressing files...");
    const format::FileSource sources = [&](std::size_t k) {
        return format::FileToStore{tarvo::join_path(source_root, *tables.wide_names[k]), tables.entries[k].size};
    };
    std::uint64_t stored_so_far = 0;
    const format::FileStored file_stored = [&](std::size_t k, std::uint64_t data_offset, format::BlockSizeList& block_sizes) {
        FileEntry& entry = tables.entries[k];
        entry.data_offset = data_offset;
        tables.block_lists[k] = std::move(block_sizes);
        block_sizes.clear();
        stored_so_far += entry.size;
        tarvo::console::out(progress_line(stored_so_far, tables.total_size, *tables.wide_names[k]));
    };
    format::DeflateWorkers deflaters(pool);
    format::store_files(tables.entries.size(), sources, archive, deflaters, file_stored);

    std::vector<std::uint16_t> block_table;
    block_table.reserve(static_cast<std::size_t>(tables.block_total));
    for (const format::BlockSizeList& blocks : tables.block_lists) block_table.insert(block_table.end(), blocks.begin(), blocks.end());
    const std::vector<std::uint8_t> metadata =
        format::serialize_metadata(format::ArchiveHeader{format::kMagic, metadata_size, tables.entries.size()},
                                   tables.digests, tables.entries, tables.names, block_table);
    archive.seek(0);
    archive.write(metadata);
    format::MD5 md5;
    md5.update(metadata.data(), metadata_size);
    md5.finalize();
    Digest trailer{};
    md5.get_digest(trailer);
    archive.seek_end();
    archive.write(trailer.data(), trailer.size());
    archive.close();

    tarvo::console::out(L"Done!");
}

}  // namespace qar::create
