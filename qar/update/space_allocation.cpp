// The capacity rule, in-place rewrites, relocations and additions, and their region records.
#include "qar/update/space_allocation.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <stdexcept>

#include "common/console.hpp"
#include "common/text.hpp"
#include "qar/format/block_writer.hpp"
#include "qar/format/md5.hpp"

namespace qar::update {
namespace {

// Zeros behind the data just written, then the 16 bytes that stand in for the trailer digest
// until the metadata is written. Returns the length of the region: data plus slack.
std::uint64_t finish_append(UpdateState& state, std::uint64_t placed)
{
    for (std::uint64_t written = 0; written < kSlack; written += state.zeros.size())
        state.archive.write(state.zeros.data(), state.zeros.size());
    const std::uint64_t region = state.archive.tell() - placed;
    std::array<std::uint8_t, format::kTrailerSize> placeholder{};
    placeholder[0] = kPlacementPlaceholder;
    state.archive.write(placeholder.data(), placeholder.size());
    return region;
}

format::DeflateWorkers& deflaters_of(UpdateState& state)
{
    if (!state.deflaters) throw std::logic_error("an update that writes files needs the run's deflate states");
    return *state.deflaters;
}

}  // namespace

std::optional<std::size_t> entry_region(const UpdateState& state, std::size_t k)
{
    const format::FileEntry& entry = state.tables.entries[k];
    if (entry.size == 0) return std::nullopt;
    return state.extra.find_region(entry.data_offset);
}

Capacity file_capacity(UpdateState& state, std::size_t k)
{
    const format::FileEntry& entry = state.tables.entries[k];
    if (entry.size == 0) return Capacity{};
    Capacity capacity;
    capacity.record = entry_region(state, k);
    if (capacity.record) capacity.bytes = state.extra.record(*capacity.record).capacity;
    if (capacity.bytes == 0) capacity.bytes = format::stored_total(state.tables.block_lists[k]);
    // A record can only be trusted as far as the next used byte: another file's data, the
    // extra file or, past the last of them, the trailer.
    const auto next = std::upper_bound(state.used_starts.begin(), state.used_starts.end(), entry.data_offset);
    const std::uint64_t limit = next == state.used_starts.end() ? state.used_end : *next;
    const std::uint64_t room = entry.data_offset < limit ? limit - entry.data_offset : 0;
    if (capacity.bytes > room) capacity.bytes = room;
    return capacity;
}

void mark_used_bytes(UpdateState& state)
{
    state.used_starts.clear();
    state.used_end = state.end_position();
    for (std::size_t k = 0; k < state.tables.size(); ++k) {
        if (state.tables.block_lists[k].empty()) continue;  // an empty file uses no byte
        const std::uint64_t offset = state.tables.entries[k].data_offset;
        state.used_starts.push_back(offset);
        state.used_end = std::max(state.used_end, offset + format::stored_total(state.tables.block_lists[k]));
    }
    std::sort(state.used_starts.begin(), state.used_starts.end());
}

bool patch_entry(UpdateState& state, std::size_t k, const std::wstring& path, std::uint64_t size,
                 const Capacity& capacity)
{
    format::FileEntry& entry = state.tables.entries[k];
    const std::uint64_t old = entry.data_offset;
    format::BlockSizeList blocks;
    const format::BlockPlacement placement =
        format::place_file(path, size, state.archive, old, capacity.bytes, blocks, deflaters_of(state));
    entry.size = size;
    if (placement.restarted) {
        tarvo::console::out(L"Not enough space, file has been relocated to " + tarvo::to_hex(placement.offset) +
                            L"...");
        entry.data_offset = placement.offset;
        // The old region is forgotten: no record keeps it and nothing reuses it.
        const RegionRecord region{placement.offset, finish_append(state, placement.offset)};
        if (capacity.record) {
            state.extra.replace_record(*capacity.record, region);
        } else {
            state.extra.append_record(region);
        }
    } else if (!capacity.record && capacity.bytes != 0) {
        // The entry keeps its whole present room for later versions, even when this one is shorter.
        state.extra.append_record(RegionRecord{old, capacity.bytes});
    }
    state.tables.block_lists[k] = std::move(blocks);
    return placement.restarted;
}

std::uint64_t add_entry(UpdateState& state, const std::wstring& path, std::uint64_t size, const std::string& name)
{
    format::BlockSizeList blocks;
    const format::BlockPlacement placement =
        format::place_file(path, size, state.archive, format::kAppend, 0, blocks, deflaters_of(state));
    tarvo::console::out(L"New file placed at " + tarvo::to_hex(placement.offset) + L"...");
    const format::FileEntry entry{0, 0, size, placement.offset, 0};
    state.extra.append_record(RegionRecord{placement.offset, finish_append(state, placement.offset)});
    state.tables.append_entry(format::name_digest(tarvo::from_utf8(name)), entry, name, std::move(blocks));
    return placement.offset;
}

}  // namespace qar::update
