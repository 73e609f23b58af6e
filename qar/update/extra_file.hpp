// The extra file "qar_extra.bin" that an updated archive carries, and the reserve that the
// first update makes for growing metadata by moving the leading files to the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "common/file.hpp"
#include "qar/format/archive_format.hpp"
#include "qar/update/working_tables.hpp"

namespace qar::update {

inline constexpr std::string_view kExtraFileName = "qar_extra.bin";
inline constexpr std::wstring_view kExtraFileNameWide = L"qar_extra.bin";
// Fixed, so the image is rewritten where it lies, and large enough for the record table below.
inline constexpr std::uint64_t kExtraFileSize = 1572864;
// Whole blocks, every one stored raw: the image then lies in one piece at its data_offset.
static_assert(kExtraFileSize % format::kBlockSize == 0);
inline constexpr std::uint32_t kExtraFileBlocks = static_cast<std::uint32_t>(kExtraFileSize / format::kBlockSize);
static_assert(kExtraFileBlocks == 24);
// The one layout there has been; a later one gets a new number, which this program refuses.
inline constexpr std::uint32_t kExtraFileVersion = 1;
// signature, version, record_count, reserve_end, reserved
inline constexpr std::size_t kExtraHeaderSize = 32;
static_assert(kExtraHeaderSize == 4 + sizeof(std::uint32_t) + 3 * sizeof(std::uint64_t));
// offset, capacity
inline constexpr std::size_t kRegionRecordSize = 16;
static_assert(kRegionRecordSize == 2 * sizeof(std::uint64_t));
// Every record slot the image has after its header.
inline constexpr std::size_t kMaxRegionRecords = (kExtraFileSize - kExtraHeaderSize) / kRegionRecordSize;
static_assert(kMaxRegionRecords == 98302);
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

// A stretch of the archive that one entry's stored blocks may occupy.
struct RegionRecord {
    std::uint64_t offset = 0;    // equals the owning entry's data_offset
    std::uint64_t capacity = 0;  // bytes from offset on
};

// The 1,572,864-byte image, kept as bytes and read and written field by field.
class ExtraFile {
public:
    // A new image: zeros, "QARE", version 1, no records.
    static ExtraFile fresh();
    // An image as read from an archive; its header has been checked by load_extra_file.
    explicit ExtraFile(std::vector<std::uint8_t> image) : image_(std::move(image)) {}
    ExtraFile() : ExtraFile(fresh()) {}

    std::span<const std::uint8_t> image() const { return image_; }

    std::uint64_t record_count() const;
    std::uint64_t reserve_end() const;
    void set_reserve_end(std::uint64_t offset);
    RegionRecord record(std::size_t index) const;
    std::size_t free_records() const { return kMaxRegionRecords - static_cast<std::size_t>(record_count()); }
    // The header and the records in use: past them the image never changes once it is made.
    std::span<const std::uint8_t> used_part() const
    {
        return image().first(kExtraHeaderSize + static_cast<std::size_t>(record_count()) * kRegionRecordSize);
    }

    // The first record in use whose offset equals the given one.
    std::optional<std::size_t> find_region(std::uint64_t offset) const;
    // Stores the record at index record_count, which grows by one. The table must have room
    // (the update checks that before it writes anything).
    void append_record(const RegionRecord& record);
    void replace_record(std::size_t index, const RegionRecord& record);

private:
    void put_record(std::size_t index, const RegionRecord& record);

    std::vector<std::uint8_t> image_;
};

// Reads and checks the image of the extra file entry whose stored blocks are given. Refuses
// (before anything is written) a wrong size, an image not stored raw in one piece, a wrong
// signature or version, and a record count beyond the table.
ExtraFile load_extra_file(tarvo::File& archive, const format::FileEntry& entry,
                          std::span<const std::uint16_t> block_sizes);

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
