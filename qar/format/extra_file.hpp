// The extra file "qar_extra.bin" that an updated archive carries: its layout, its region records,
// and reading it from an archive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "common/file.hpp"
#include "qar/format/archive_format.hpp"

namespace qar::format {

inline constexpr std::string_view kExtraFileName = "qar_extra.bin";
inline constexpr std::wstring_view kExtraFileNameWide = L"qar_extra.bin";
// Fixed, so the image is rewritten where it lies, and large enough for the record table below.
inline constexpr std::uint64_t kExtraFileSize = 1572864;
// Whole blocks, every one stored raw: the image then lies in one piece at its data_offset.
static_assert(kExtraFileSize % kBlockSize == 0);
inline constexpr std::uint32_t kExtraFileBlocks = static_cast<std::uint32_t>(kExtraFileSize / kBlockSize);
static_assert(kExtraFileBlocks == 24);
// The one layout there has been; a later one gets a new number, which this program refuses.
inline constexpr std::uint32_t kExtraFileVersion = 1;
// signature, version, record_count, reserve_end, reserved
inline constexpr std::size_t kExtraHeaderSize = 32;
static_assert(kExtraHeaderSize == 4 + sizeof(std::uint32_t) + 3 * sizeof(std::uint64_t));
// The header's fields, back to back after the 4-byte signature.
inline constexpr std::size_t kVersionField = 4;
inline constexpr std::size_t kRecordCountField = kVersionField + sizeof(std::uint32_t);
inline constexpr std::size_t kReserveEndField = kRecordCountField + sizeof(std::uint64_t);
static_assert(kReserveEndField + 2 * sizeof(std::uint64_t) == kExtraHeaderSize);  // reserve_end, reserved
inline constexpr std::size_t kCapacityField = sizeof(std::uint64_t);  // a record's offset comes first
// offset, capacity
inline constexpr std::size_t kRegionRecordSize = 16;
static_assert(kRegionRecordSize == 2 * sizeof(std::uint64_t));
// Every record slot the image has after its header.
inline constexpr std::size_t kMaxRegionRecords = (kExtraFileSize - kExtraHeaderSize) / kRegionRecordSize;
static_assert(kMaxRegionRecords == 98302);
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

    // Whether the image starts with "QARE", and the layout version it gives.
    bool has_signature() const;
    std::uint32_t version() const;

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

// Whether the entry is the image stored as it must be: kExtraFileSize bytes in raw blocks, so
// that it lies in one piece at its data_offset and is rewritten there without touching the
// next file.
bool stored_in_one_piece(const FileEntry& entry, std::span<const std::uint16_t> block_sizes);

// Reads and checks the image of the extra file entry whose stored blocks are given. Refuses
// (before anything is written) a wrong size, an image not stored raw in one piece, a wrong
// signature or version, and a record count beyond the table.
ExtraFile load_extra_file(tarvo::File& archive, const FileEntry& entry,
                          std::span<const std::uint16_t> block_sizes);

}  // namespace qar::format
