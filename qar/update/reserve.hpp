// The reserve the first update makes: which leading files move to the end, and the move.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/file.hpp"
#include "qar/format/archive_format.hpp"
#include "qar/format/extra_file.hpp"
#include "qar/update/working_tables.hpp"

namespace qar::update {

using format::ExtraFile, format::RegionRecord, format::load_extra_file;
using format::kExtraFileName, format::kExtraFileNameWide, format::kExtraFileSize, format::kExtraFileBlocks;
using format::kExtraHeaderSize, format::kRegionRecordSize, format::kMaxRegionRecords;

// Stored bytes the first update moves to the end, so the tables can grow in place: room for
// about as many new entries as the record table can track, some 107 bytes each (48 of digest
// and entry, the rest for name and block sizes).
inline constexpr std::uint64_t kReserveTarget = 10 * 1024 * 1024;
static_assert(kReserveTarget / kMaxRegionRecords > format::kDigestSize + format::kEntrySize);
// Moved data goes over in pieces this large: few reads and writes, little memory.
inline constexpr std::size_t kMoveBuffer = std::size_t{2} << 20;
// First byte of the 16 bytes that stand in for the trailer digest behind the new extra file until
// the metadata is written: the archive keeps ending in 16 bytes that aren't file data. ASCII 'A',
// where an appended file writes 'B', so a dump of an interrupted run shows which step wrote last.
inline constexpr std::uint8_t kReservePlaceholder = 0x41;

// One entry's data as the reserve moves it.
struct EntryMove {
    std::uint64_t from = 0;  // data_offset before the move
    std::uint64_t to = 0;    // data_offset after it
    format::BlockSizeList blocks;
};

// What the first update does to make the reserve, worked out before anything is written.
struct ReservePlan {
    std::size_t moved_entries = 0;        // m, the leading entries that go to the end
    std::size_t first_moved_index = 0;    // where their copies stand in the working tables now
    std::uint64_t moved_bytes = 0;        // their stored bytes
    std::uint64_t reserve_end = 0;
    std::uint64_t extra_offset = 0;       // data_offset of the new extra file entry
    std::size_t extra_entry = 0;          // its entry number
    std::vector<EntryMove> moves;         // in entry order, back to back from end_position
};

// The table side of the reserve: moves the leading entries' copies behind the rest with the
// data offsets they will have, appends the extra file's entry and returns the plan. Refuses
// an archive too small for the reserve without changing the tables. end_position is the
// archive's length - 16, where the moved data will start.
ReservePlan reserve_tables(WorkingTables& tables, std::uint64_t end_position);

// The archive side: copies the moved blocks back to back from the plan's start, writes a fresh
// image (reserve_end set) and the trailer stand-in after it, prints the "Freed " line.
ExtraFile write_reserve(tarvo::File& archive, const ReservePlan& plan);

}  // namespace qar::update
