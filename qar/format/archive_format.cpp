// Reading and checking an archive's metadata, and laying it out for writing.
#include "qar/format/archive_format.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "common/error.hpp"
#include <stdexcept>
#include <utility>
#include <vector>

namespace qar::format {
namespace {

// Everything in front of the names area is 16 + 48n bytes; the smallest archive adds the
// name_table_size field and the trailer digest to that.
constexpr std::uint64_t kPerEntryBytes = kDigestSize + kEntrySize;
constexpr std::uint64_t kFixedBytes = kHeaderSize + kNameTableSizeField + kTrailerSize;

[[noreturn]] void refuse(const char* why) { throw MalformedArchive(why); }

void read_or_refuse(tarvo::File& archive, void* data, std::size_t size, const char* what)
{
    if (!archive.read_exact(data, size)) refuse(what);
}

// Whether any two of the [begin, end) spans overlap; sorts them.
bool any_overlap(std::vector<std::pair<std::uint64_t, std::uint64_t>>& spans)
{
    std::sort(spans.begin(), spans.end());
    for (std::size_t k = 1; k < spans.size(); ++k) {
        if (spans[k].first < spans[k - 1].second) return true;
    }
    return false;
}

// No writer lets two entries share bytes: each file's data, its blocks and its name are its
// own, and data starts behind the tables. Tables that share them can make a small archive
// unpack to gigabytes, or make an update write one file over another, so they are refused.
// An empty file owns nothing: it shares its data_offset with the file after it.
void refuse_shared_bytes(const ArchiveMetadata& metadata, std::uint64_t tables_end)
{
    const std::size_t n = metadata.entries.size();
    std::vector<std::pair<std::uint64_t, std::uint64_t>> data, blocks, names;
    data.reserve(n);
    blocks.reserve(n);
    names.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const FileEntry& entry = metadata.entries[i];
        const std::uint64_t count = block_count_u64(entry.size);
        const std::uint64_t name_end = entry.name_offset + metadata.name_bytes(i).size() + 1;  // with its NUL
        names.emplace_back(entry.name_offset, name_end);
        if (count == 0) continue;
        const std::uint64_t stored = stored_total(metadata.blocks_of(i));
        if (entry.data_offset < tables_end) refuse("file data overlaps the tables");
        // A span that would pass 2^64 runs to the end: nothing can lie behind it.
        const std::uint64_t data_end = entry.data_offset > std::numeric_limits<std::uint64_t>::max() - stored
                                           ? std::numeric_limits<std::uint64_t>::max()
                                           : entry.data_offset + stored;
        data.emplace_back(entry.data_offset, data_end);
        blocks.emplace_back(entry.first_block, entry.first_block + count);
    }
    if (any_overlap(data)) refuse("two files share data");
    if (any_overlap(blocks)) refuse("two files share blocks");
    if (any_overlap(names)) refuse("two files share name bytes");
}

}  // namespace

std::string_view ArchiveMetadata::name_bytes(std::size_t i) const
{
    const auto* start = reinterpret_cast<const char*>(names.data()) + entries[i].name_offset;
    return std::string_view(start);  // read_metadata made sure a NUL follows inside the names area
}

std::span<const std::uint16_t> ArchiveMetadata::blocks_of(std::size_t i) const
{
    const std::uint64_t count = block_count_u64(entries[i].size);
    if (count == 0) return {};
    return std::span<const std::uint16_t>(block_table).subspan(entries[i].first_block, static_cast<std::size_t>(count));
}

std::optional<std::span<const std::uint16_t>> entry_blocks(const FileEntry& entry,
                                                           std::span<const std::uint16_t> block_table)
{
    const std::uint64_t count = block_count_u64(entry.size);
    if (count > std::numeric_limits<std::uint32_t>::max() || entry.first_block > block_table.size() ||
        count > block_table.size() - entry.first_block)
        return std::nullopt;
    const auto blocks = block_table.subspan(entry.first_block, static_cast<std::size_t>(count));
    const std::uint64_t reachable = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (entry.data_offset > reachable - stored_total(blocks)) return std::nullopt;
    return blocks;
}

ArchiveMetadata read_metadata(tarvo::File& archive)
{
    ArchiveMetadata metadata;
    archive.seek(0);
    const std::uint64_t length = archive.length();
    metadata.archive_length = length;

    std::uint8_t header[kHeaderSize];
    read_or_refuse(archive, header, sizeof header, "the header is cut short");
    metadata.header = decode_header(header);
    if (metadata.header.magic != kMagic) refuse("the magic is not SRYK");

    // file_count comes from the file: bound it by the archive's length before multiplying.
    const std::uint64_t n = metadata.header.file_count;
    if (length < kFixedBytes || n > (length - kFixedBytes) / kPerEntryBytes) refuse("the entry tables pass the end");
    const auto count = static_cast<std::size_t>(n);

    metadata.digests.resize(count);
    for (Digest& digest : metadata.digests) read_or_refuse(archive, digest.data(), digest.size(), "digest table cut short");

    std::vector<std::uint8_t> raw_entries(count * kEntrySize);
    read_or_refuse(archive, raw_entries.data(), raw_entries.size(), "entry table cut short");
    metadata.entries.reserve(count);
    for (std::size_t i = 0; i < count; ++i) metadata.entries.push_back(decode_entry(raw_entries.data() + i * kEntrySize));

    std::uint8_t name_table_size_field[kNameTableSizeField];
    read_or_refuse(archive, name_table_size_field, sizeof name_table_size_field, "name table cut short");
    const auto name_table_size = tarvo::get_le<std::uint32_t>(name_table_size_field);
    if (name_table_size < kNameTableSizeField) refuse("name_table_size is below 4");
    const std::uint64_t names_end = kHeaderSize + n * kPerEntryBytes + name_table_size;
    if (names_end > length - kTrailerSize) refuse("the names area passes the end");
    metadata.names.resize(name_table_size - kNameTableSizeField);
    read_or_refuse(archive, metadata.names.data(), metadata.names.size(), "names area cut short");

    // Block counts come from sizes in the file: stop adding as soon as the block table could
    // no longer fit in front of the trailer, so neither the sum nor the allocation can run away.
    const std::uint64_t block_table_room = (length - kTrailerSize - names_end) / kBlockSizeField;
    const std::uint64_t block_limit = std::min<std::uint64_t>(block_table_room, std::numeric_limits<std::uint32_t>::max());
    std::uint64_t total_blocks = 0;
    for (const FileEntry& entry : metadata.entries) {
        const std::uint64_t blocks = block_count_u64(entry.size);
        if (blocks > block_limit - total_blocks) refuse("the block table passes the end");
        total_blocks += blocks;
    }
    metadata.block_table.resize(static_cast<std::size_t>(total_blocks));
    std::vector<std::uint8_t> raw_blocks(metadata.block_table.size() * kBlockSizeField);
    read_or_refuse(archive, raw_blocks.data(), raw_blocks.size(), "block table cut short");
    for (std::size_t b = 0; b < metadata.block_table.size(); ++b)
        metadata.block_table[b] = tarvo::get_le<std::uint16_t>(raw_blocks.data() + b * kBlockSizeField);

    for (const FileEntry& entry : metadata.entries) {
        if (entry.name_offset >= metadata.names.size()) refuse("a name_offset lies outside the names area");
        const auto offset = static_cast<std::size_t>(entry.name_offset);
        if (std::memchr(metadata.names.data() + offset, 0, metadata.names.size() - offset) == nullptr)
            refuse("a name has no NUL inside the names area");
        // An empty file never looks at its first_block, so only files with blocks are held to it.
        const std::uint64_t blocks = block_count_u64(entry.size);
        if (blocks != 0 && entry.first_block + blocks > total_blocks) refuse("an entry's blocks lie outside the block table");
    }

    refuse_shared_bytes(metadata, names_end + total_blocks * kBlockSizeField);

    archive.seek(length - kTrailerSize);
    read_or_refuse(archive, metadata.trailer.data(), metadata.trailer.size(), "trailer digest cut short");
    return metadata;
}

std::uint64_t metadata_size_of(std::uint64_t n, std::uint64_t names_length, std::uint64_t blocks)
{
    return kHeaderSize + kPerEntryBytes * n + kNameTableSizeField + names_length + kBlockSizeField * blocks;
}

std::uint32_t checked_metadata_size(std::uint64_t n, std::uint64_t names_length, std::uint64_t blocks)
{
    constexpr std::uint64_t kField = std::numeric_limits<std::uint32_t>::max();
    if (names_length > kField - kNameTableSizeField)
        throw tarvo::wruntime_error(L"names area too large for a QAR archive");
    if (blocks > kField) throw tarvo::wruntime_error(L"block table too large for a QAR archive");
    // Neither term can wrap now, unless n does: bound it by what 32 bits could ever hold.
    if (n > kField / kPerEntryBytes || metadata_size_of(n, names_length, blocks) > kField)
        throw tarvo::wruntime_error(L"tables too large for a QAR archive");
    return static_cast<std::uint32_t>(metadata_size_of(n, names_length, blocks));
}

std::vector<std::uint8_t> serialize_metadata(const ArchiveHeader& header, std::span<const Digest> digests,
                                             std::span<const FileEntry> entries,
                                             std::span<const std::uint8_t> names,
                                             std::span<const std::uint16_t> block_table)
{
    checked_metadata_size(entries.size(), names.size(), block_table.size());
    std::vector<std::uint8_t> out(kHeaderSize + digests.size() * kDigestSize + entries.size() * kEntrySize +
                                  kNameTableSizeField + names.size() + block_table.size() * kBlockSizeField);
    std::uint8_t* p = out.data();
    encode_header(header, p);
    p += kHeaderSize;
    for (const Digest& digest : digests) {
        std::memcpy(p, digest.data(), digest.size());
        p += kDigestSize;
    }
    for (const FileEntry& entry : entries) {
        encode_entry(entry, p);
        p += kEntrySize;
    }
    tarvo::put_le<std::uint32_t>(p, static_cast<std::uint32_t>(names.size() + kNameTableSizeField));
    p += kNameTableSizeField;
    if (!names.empty()) std::memcpy(p, names.data(), names.size());
    p += names.size();
    for (std::uint16_t stored_size : block_table) {
        tarvo::put_le<std::uint16_t>(p, stored_size);
        p += kBlockSizeField;
    }
    return out;
}

}  // namespace qar::format
