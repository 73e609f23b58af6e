// Placing a replaced or added file: over its old data when it fits its room, else at the
// end of the archive with slack behind it for later, larger versions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "qar/format/archive_format.hpp"
#include "qar/update/reserve.hpp"
#include "qar/update/update_state.hpp"

namespace qar::update {

// Zero bytes behind every file written at the end, counted in its region: a later version up to
// two blocks' worth longer (stored) is written over the old one instead of being relocated again.
inline constexpr std::uint64_t kSlack = 131072;
static_assert(kSlack == 2 * format::kBlockSize);
// The slack goes out as whole writes of the zero buffer.
static_assert(kSlack % kZeroBuffer == 0);

// First byte of the 16 bytes that stand in for the trailer digest behind an appended file until
// the metadata is written: the archive keeps ending in 16 bytes that aren't file data. ASCII
// 'B', where the reserve writes 'A', so a dump of an interrupted run shows which step wrote last.
inline constexpr std::uint8_t kPlacementPlaceholder = 0x42;
static_assert(kPlacementPlaceholder != kReservePlaceholder);

// The room entry k may use at its data_offset.
struct Capacity {
    std::uint64_t bytes = 0;
    std::optional<std::size_t> record;  // the region record found for the entry, if any
};

// The region record of entry k, if it may have one. An empty entry shares its data_offset
// with the file after it, so it looks up no record: the one there belongs to that file.
std::optional<std::size_t> entry_region(const UpdateState& state, std::size_t k);

// The capacity of the entry's region record when it has one that isn't 0, else its current
// stored length; empty entries have 0. Never reaches past the next used byte that
// mark_used_bytes noted.
Capacity file_capacity(UpdateState& state, std::size_t k);

// Notes where the data of every entry in the working tables starts, and where the data ends
// (the archive's end, or the end of the data that the reserve will move behind it).
void mark_used_bytes(UpdateState& state);

// Rewrites entry k from the loose file: in place within the capacity, else relocated to the
// end with slack, a region record and the trailer stand-in. Returns whether it was relocated.
bool patch_entry(UpdateState& state, std::size_t k, const std::wstring& path, std::uint64_t size,
                 const Capacity& capacity);

// Appends a new entry for the loose file at the end, with slack and a region record.
// Returns its data_offset.
std::uint64_t add_entry(UpdateState& state, const std::wstring& path, std::uint64_t size, const std::string& name);

}  // namespace qar::update
