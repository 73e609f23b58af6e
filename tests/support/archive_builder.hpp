// Test fixtures: QAR archive images built in memory, blocks stored as the writers store them.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "common/file.hpp"
#include "qar/format/archive_format.hpp"
#include "qar/format/block_writer.hpp"
#include "tests/support/scratch.hpp"

namespace tarvo::test {

struct ArchiveFile {
    std::string name;  // UTF-8 archive name
    std::string content;
};

// Where entry i and the names area (behind name_table_size) lie in an archive of n entries.
inline std::size_t entry_offset_in(std::size_t n, std::size_t i)
{
    return qar::format::kHeaderSize + qar::format::kDigestSize * n + qar::format::kEntrySize * i;
}
inline std::size_t names_offset_in(std::size_t n) { return entry_offset_in(n, n) + qar::format::kNameTableSizeField; }

// Sets a field of entry i in an image of an archive of n entries, through the layout's own encoding.
template <class Field>
void set_entry(std::span<std::uint8_t> image, std::size_t n, std::size_t i, Field qar::format::FileEntry::*field, std::uint64_t value)
{
    qar::format::FileEntry entry = qar::format::decode_entry(image.data() + entry_offset_in(n, i));
    entry.*field = static_cast<Field>(value);
    qar::format::encode_entry(entry, image.data() + entry_offset_in(n, i));
}

struct BuiltArchive {
    std::vector<std::uint8_t> bytes;  // the whole archive image
    std::vector<qar::format::FileEntry> entries;
    std::vector<std::uint16_t> block_table;
    std::uint32_t metadata_size = 0;

    // Byte offsets of the tables inside the image, for tests that damage them.
    std::size_t entry_offset(std::size_t i) const { return entry_offset_in(entries.size(), i); }
    std::size_t names_offset() const { return names_offset_in(entries.size()); }
    std::size_t block_table_offset() const { return metadata_size - qar::format::kBlockSizeField * block_table.size(); }
};

// Appends content's blocks to data as the writers store them (compress(), kept when strictly shorter).
inline void store_blocks(std::span<const std::uint8_t> content, std::vector<std::uint8_t>& data,
                         std::vector<std::uint16_t>& table)
{
    for (std::size_t start = 0; start < content.size(); start += qar::format::kBlockSize) {
        const std::size_t raw = std::min<std::size_t>(qar::format::kBlockSize, content.size() - start);
        std::vector<std::uint8_t> packed(compressBound(static_cast<uLong>(raw)));
        uLongf packed_size = static_cast<uLongf>(packed.size());
        compress(packed.data(), &packed_size, content.data() + start, static_cast<uLong>(raw));
        const bool packed_shorter = packed_size < raw;
        const std::uint8_t* stored = packed_shorter ? packed.data() : content.data() + start;
        const std::size_t stored_size = packed_shorter ? packed_size : raw;
        data.insert(data.end(), stored, stored + stored_size);
        table.push_back(qar::format::stored_size_of(stored_size));
    }
}

// A worker pool and a deflate state for each of its workers.
struct PoolScope {
    explicit PoolScope(int workers) : pool(workers), deflaters(pool) {}
    qar::WorkerPool pool;
    qar::format::DeflateWorkers deflaters;
};

// Each block compressed on its own and kept only when strictly shorter, files in entry order
// right after the metadata, names laid down without gaps: the layout the create mode writes.
// Digests are left zero: readers don't check them.
inline BuiltArchive build_archive(const std::vector<ArchiveFile>& files)
{
    namespace fmt = qar::format;
    BuiltArchive out;
    std::vector<std::uint8_t> names;
    std::vector<std::uint8_t> data;
    for (const ArchiveFile& file : files) {
        const auto* name = reinterpret_cast<const std::uint8_t*>(file.name.data());
        out.entries.push_back(fmt::FileEntry{static_cast<std::uint32_t>(out.block_table.size()),
                                             static_cast<std::uint32_t>(out.block_table.size()), file.content.size(),
                                             data.size(), names.size()});
        names.insert(names.end(), name, name + file.name.size());
        names.push_back(0);
        store_blocks(std::span(reinterpret_cast<const std::uint8_t*>(file.content.data()), file.content.size()), data,
                     out.block_table);
    }
    out.metadata_size = static_cast<std::uint32_t>(fmt::metadata_size_of(files.size(), names.size(), out.block_table.size()));
    for (fmt::FileEntry& entry : out.entries) entry.data_offset += out.metadata_size;
    const fmt::ArchiveHeader header{fmt::kMagic, out.metadata_size, files.size()};
    out.bytes = fmt::serialize_metadata(header, std::vector<fmt::Digest>(files.size()), out.entries, names, out.block_table);
    out.bytes.insert(out.bytes.end(), data.begin(), data.end());
    out.bytes.resize(out.bytes.size() + fmt::kTrailerSize);
    return out;
}

// The tables of the archive at path.
inline qar::format::ArchiveMetadata read_archive(const std::wstring& path)
{
    File file(path, File::Mode::read);
    return qar::format::read_metadata(file);
}

}  // namespace tarvo::test
