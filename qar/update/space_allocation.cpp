// The capacity rule, in-place rewrites, relocations and additions, and their region records.
#include "qar/update/space_allocation.hpp"

#include <algorithm>
#include <array>

#include "common/console.hpp"
#include "common/text.hpp"
#include "qar/format/block_writer.hpp"
#include "qar/format/md5.hpp"

namespace qar::update {
namespace {

// Zeros behind the data just written, then the 16 bytes that stand in for the trailer digest
// until the metadata is written. Returns the length of the region: data plus slack.
std::uint64_t finish_append(tarvo::File& archive, std::uint64_t placed)
{
    static constexpr std::array<std::uint8_t, kZeroBuffer> kZeros{};
    for (std::uint64_t written = 0; written < kSlack; written += kZeros.size()) archive.write(kZeros.data(), kZeros.size());
    const std::uint64_t region = archive.tell() - placed;
    std::array<std::uint8_t, format::kTrailerSize> placeholder{};
    placeholder[0] = kPlacementPlaceholder;
    archive.write(placeholder.data(), placeholder.size());
    return region;
}

}  // namespace

std::vector<std::uint64_t> used_bytes(const WorkingTables& tables, std::uint64_t end_position)
{
    std::vector<std::uint64_t> used;
    std::uint64_t end = end_position;
    for (std::size_t k = 0; k < tables.size(); ++k) {
        if (tables.block_lists[k].empty()) continue;  // an empty file uses no byte
        used.push_back(tables.entries[k].data_offset);
        end = std::max(end, used.back() + format::stored_total(tables.block_lists[k]));
    }
    used.push_back(end);
    std::sort(used.begin(), used.end());
    return used;
}

Capacity file_capacity(const Books& books, const std::vector<std::uint64_t>& used, std::size_t k)
{
    const format::FileEntry& entry = books.tables.entries[k];
    if (entry.size == 0) return Capacity{};
    Capacity capacity;
    capacity.record = books.extra.find_region(entry.data_offset);
    if (capacity.record) capacity.bytes = books.extra.record(*capacity.record).capacity;
    if (capacity.bytes == 0) capacity.bytes = format::stored_total(books.tables.block_lists[k]);
    // A record can only be trusted as far as the next used byte: another file's data, the
    // extra file or, past the last of them, the trailer.
    const auto next = std::upper_bound(used.begin(), used.end(), entry.data_offset);
    const std::uint64_t limit = next == used.end() ? used.back() : *next;
    const std::uint64_t room = entry.data_offset < limit ? limit - entry.data_offset : 0;
    if (capacity.bytes > room) capacity.bytes = room;
    return capacity;
}

void patch_entry(tarvo::File& archive, format::DeflateWorkers& deflaters, Books& books, std::size_t k,
                 const std::wstring& path, std::uint64_t size, const Capacity& capacity)
{
    format::FileEntry& entry = books.tables.entries[k];
    const std::uint64_t old = entry.data_offset;
    format::BlockSizeList blocks;
    const format::BlockPlacement placement = format::place_file(path, size, archive, old, capacity.bytes, blocks, deflaters);
    entry.size = size;
    if (placement.restarted) {
        tarvo::console::out(L"Not enough space, file has been relocated to " + tarvo::to_hex(placement.offset) +
                            L"...");
        entry.data_offset = placement.offset;
        // The old region is forgotten: no record keeps it and nothing reuses it.
        const RegionRecord region{placement.offset, finish_append(archive, placement.offset)};
        if (capacity.record) {
            books.extra.replace_record(*capacity.record, region);
        } else {
            books.extra.append_record(region);
        }
    } else if (!capacity.record && capacity.bytes != 0) {
        // The entry keeps its whole present room for later versions, even when this one is shorter.
        books.extra.append_record(RegionRecord{old, capacity.bytes});
    }
    books.tables.block_lists[k] = std::move(blocks);
}

void add_entry(tarvo::File& archive, format::DeflateWorkers& deflaters, Books& books, const std::wstring& path,
               std::uint64_t size, const std::string& name)
{
    format::BlockSizeList blocks;
    const format::BlockPlacement placement =
        format::place_file(path, size, archive, format::kAppend, 0, blocks, deflaters);
    tarvo::console::out(L"New file placed at " + tarvo::to_hex(placement.offset) + L"...");
    const format::FileEntry entry{0, 0, size, placement.offset, 0};
    books.extra.append_record(RegionRecord{placement.offset, finish_append(archive, placement.offset)});
    books.tables.append_entry(format::name_digest(name), entry, name, std::move(blocks));
}

}  // namespace qar::update
