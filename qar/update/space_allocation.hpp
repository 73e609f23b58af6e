// Placing a replaced or added file: over its old data when it fits its room, else at the
// end of the archive with slack behind it for later, larger versions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/file.hpp"
#include "qar/format/archive_format.hpp"
#include "qar/format/deflate_workers.hpp"
#include "qar/update/reserve.hpp"
#include "qar/update/update_state.hpp"

namespace qar::update {

inline constexpr std::size_t kZeroBuffer = 65536;  // slack is written from this many zero bytes at a time

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

// Where the data of each entry starts and, last, where all the data ends (end_position, the
// archive's length - 16, or the end of the data that the reserve will move behind it), sorted:
// no entry's room reaches past the next of these. Taken when the run is planned, so that room
// left behind by a file relocated during the run is never handed to another.
std::vector<std::uint64_t> used_bytes(const WorkingTables& tables, std::uint64_t end_position);

// The capacity of the entry's region record when it has one that isn't 0, else its current
// stored length; never past the next used byte. An empty entry shares its data_offset with the
// file after it, so it has capacity 0 and looks up no record: the one there is that file's.
Capacity file_capacity(const Books& books, const std::vector<std::uint64_t>& used, std::size_t k);

// Rewrites entry k from the loose file: in place within the capacity, else relocated to the
// end with slack, a region record and the trailer stand-in.
void patch_entry(tarvo::File& archive, format::DeflateWorkers& deflaters, Books& books, std::size_t k,
                 const std::wstring& path, std::uint64_t size, const Capacity& capacity);

// Appends a new entry for the loose file at the end, with slack and a region record.
void add_entry(tarvo::File& archive, format::DeflateWorkers& deflaters, Books& books, const std::wstring& path,
               std::uint64_t size, const std::string& name);

}  // namespace qar::update
