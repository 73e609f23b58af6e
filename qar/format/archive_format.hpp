// The QAR layout: header, digest table, entry table, names area, block table, file data,
// trailer digest; and the metadata reader that unpack and update share.
#pragma once

#include <array>
#include <optional>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_order.hpp"
#include "common/file.hpp"

namespace qar::format {

inline constexpr std::uint32_t kMagic = 0x4B595253;           // "SRYK" read as little-endian
static_assert(kMagic == ('S' | 'R' << 8 | 'Y' << 16 | std::uint32_t{'K'} << 24));
// Raw bytes per block. A block's stored length is kept in 16 bits, with 0 for a whole block.
inline constexpr std::uint64_t kBlockSize = 65536;
static_assert(kBlockSize == std::uint64_t{std::numeric_limits<std::uint16_t>::max()} + 1);
// Room for one block's zlib stream: more than zlib ever makes of a block (its compressBound,
// spelt out below), so compressing one never runs out of space.
inline constexpr std::uint32_t kMaxCompressedBlock = 81920;
static_assert(kMaxCompressedBlock > kBlockSize + (kBlockSize >> 12) + (kBlockSize >> 14) + (kBlockSize >> 25) + 13);
inline constexpr std::size_t kHeaderSize = 16;                // magic, metadata_size, file_count
static_assert(kHeaderSize == 2 * sizeof(std::uint32_t) + sizeof(std::uint64_t));
inline constexpr std::size_t kDigestSize = 16;                // an MD5 digest
// first_block, first_block_copy, size, data_offset, name_offset
inline constexpr std::size_t kEntrySize = 32;
static_assert(kEntrySize == 2 * sizeof(std::uint32_t) + 3 * sizeof(std::uint64_t));
inline constexpr std::size_t kNameTableSizeField = 4;         // a u32 name_table_size, which counts itself
inline constexpr std::size_t kBlockSizeField = 2;             // one u16 stored_size per block
static_assert(kBlockSizeField == sizeof(std::uint16_t));
inline constexpr std::size_t kTrailerSize = 16;               // the MD5 digest of the tables
static_assert(kTrailerSize == kDigestSize);

using Digest = std::array<std::uint8_t, kDigestSize>;
// The stored_size values of one file's blocks, in block order (0 stands for 65536).
using BlockSizeList = std::vector<std::uint16_t>;

struct ArchiveHeader {
    std::uint32_t magic = kMagic;
    std::uint32_t metadata_size = 0;
    std::uint64_t file_count = 0;
};

struct FileEntry {
    std::uint32_t first_block = 0;
    std::uint32_t first_block_copy = 0;  // written equal to first_block, ignored on reading
    std::uint64_t size = 0;
    std::uint64_t data_offset = 0;
    std::uint64_t name_offset = 0;
};

// size / 65536 rounded up, in 64 bits: a size read from a damaged archive can claim more
// blocks than 32 bits hold.
inline std::uint64_t block_count_u64(std::uint64_t size)
{
    return size / kBlockSize + (size % kBlockSize != 0 ? 1 : 0);
}

// size / 65536 rounded up, in 32 bits, as writers number blocks.
inline std::uint32_t block_count(std::uint64_t size)
{
    return static_cast<std::uint32_t>(block_count_u64(size));
}

// Bytes a block occupies in the data region.
inline std::uint32_t stored_length(std::uint16_t stored_size)
{
    return stored_size == 0 ? static_cast<std::uint32_t>(kBlockSize) : stored_size;
}

// The u16 recorded for a block that occupies `length` bytes (1..65536).
inline std::uint16_t stored_size_of(std::uint64_t length)
{
    return length == kBlockSize ? std::uint16_t{0} : static_cast<std::uint16_t>(length);
}

// Sum of the stored lengths of a file's blocks.
inline std::uint64_t stored_total(std::span<const std::uint16_t> block_sizes)
{
    std::uint64_t total = 0;
    for (std::uint16_t s : block_sizes) total += stored_length(s);
    return total;
}

// Block j of an entry is raw when it fills a whole block, or when it is the last block
// and its stored length equals the low 16 bits of the size; otherwise it is a zlib stream.
inline bool is_raw_block(const FileEntry& entry, std::uint32_t j, std::uint16_t stored_size)
{
    if (stored_length(stored_size) == kBlockSize) return true;
    return j + 1 == block_count(entry.size) && stored_size == entry.size % kBlockSize;
}

// Raw length of block j of a file.
inline std::uint32_t raw_block_length(std::uint64_t size, std::uint32_t j)
{
    const std::uint64_t start = static_cast<std::uint64_t>(j) * kBlockSize;
    const std::uint64_t left = size - start;
    return static_cast<std::uint32_t>(left < kBlockSize ? left : kBlockSize);
}

inline void encode_header(const ArchiveHeader& header, std::uint8_t* out)
{
    tarvo::put_le<std::uint32_t>(out, header.magic);
    tarvo::put_le<std::uint32_t>(out + 4, header.metadata_size);
    tarvo::put_le<std::uint64_t>(out + 8, header.file_count);
}

inline ArchiveHeader decode_header(const std::uint8_t* in)
{
    return ArchiveHeader{tarvo::get_le<std::uint32_t>(in), tarvo::get_le<std::uint32_t>(in + 4),
                         tarvo::get_le<std::uint64_t>(in + 8)};
}

inline void encode_entry(const FileEntry& entry, std::uint8_t* out)
{
    tarvo::put_le<std::uint32_t>(out, entry.first_block);
    tarvo::put_le<std::uint32_t>(out + 4, entry.first_block_copy);
    tarvo::put_le<std::uint64_t>(out + 8, entry.size);
    tarvo::put_le<std::uint64_t>(out + 16, entry.data_offset);
    tarvo::put_le<std::uint64_t>(out + 24, entry.name_offset);
}

inline FileEntry decode_entry(const std::uint8_t* in)
{
    return FileEntry{tarvo::get_le<std::uint32_t>(in), tarvo::get_le<std::uint32_t>(in + 4),
                     tarvo::get_le<std::uint64_t>(in + 8), tarvo::get_le<std::uint64_t>(in + 16),
                     tarvo::get_le<std::uint64_t>(in + 24)};
}

// The entry's blocks in the block table, or nothing when they leave it or when its data would
// end past any position a seek can reach (such an entry holds no data).
std::optional<std::span<const std::uint16_t>> entry_blocks(const FileEntry& entry,
                                                           std::span<const std::uint16_t> block_table);

// The whole metadata of an archive as read, checked for consistency.
struct ArchiveMetadata {
    ArchiveHeader header;
    std::vector<Digest> digests;
    std::vector<FileEntry> entries;
    std::vector<std::uint8_t> names;         // the names area, without name_table_size
    std::vector<std::uint16_t> block_table;  // B stored_size values
    Digest trailer{};
    std::uint64_t archive_length = 0;

    // The UTF-8 bytes of entry i's name, without the NUL (offsets checked on reading).
    std::string_view name_bytes(std::size_t i) const;
    // The entry's blocks in the block table.
    std::span<const std::uint16_t> blocks_of(std::size_t i) const;
};

// Thrown by read_metadata for an archive it refuses; each mode reports it with its own message.
class MalformedArchive : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads and checks the metadata from the start of an open archive: the magic, table sizes
// against the archive's length before anything is allocated, every read, every name_offset
// (inside the names area, its NUL inside it) and every entry's block range (inside the block
// table), and that no two files share data, blocks or name bytes and no data lies in the
// tables. Throws MalformedArchive on any violation.
ArchiveMetadata read_metadata(tarvo::File& archive);

// The metadata's length for n entries, a names area (NULs included) and a block table of so
// many blocks.
std::uint64_t metadata_size_of(std::uint64_t n, std::uint64_t names_length, std::uint64_t blocks);

// The same, for tables that are to be written: throws wruntime_error `names area too large for
// a QAR archive`, `block table too large for a QAR archive` or `tables too large for a QAR
// archive` when name_table_size, a first_block or metadata_size could not hold them.
std::uint32_t checked_metadata_size(std::uint64_t n, std::uint64_t names_length, std::uint64_t blocks);

// The metadata bytes in their on-disk order: header, digests, entries, name_table_size,
// names area, block table; the one writer of the layout. header.metadata_size and file_count
// are written as given. Refuses tables that don't fit as checked_metadata_size does.
std::vector<std::uint8_t> serialize_metadata(const ArchiveHeader& header, std::span<const Digest> digests,
                                             std::span<const FileEntry> entries,
                                             std::span<const std::uint8_t> names,
                                             std::span<const std::uint16_t> block_table);

}  // namespace qar::format
