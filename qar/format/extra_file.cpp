// The extra file's image and records, and loading it from an archive.
#include "qar/format/extra_file.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "common/byte_order.hpp"
#include "common/console.hpp"
#include "common/error.hpp"
#include "common/text.hpp"
#include "qar/format/md5.hpp"

namespace qar::format {
namespace {

constexpr std::array<std::uint8_t, 4> kSignature{'Q', 'A', 'R', 'E'};
static_assert(kSignature.size() == kVersionField);

std::wstring extra_name() { return std::wstring(kExtraFileNameWide); }

[[noreturn]] void refuse_invalid()
{
    throw tarvo::wruntime_error(L"Invalid " + extra_name() + L" file. Aborting.");
}

std::size_t record_position(std::size_t index) { return kExtraHeaderSize + index * kRegionRecordSize; }

}  // namespace

ExtraFile ExtraFile::fresh()
{
    std::vector<std::uint8_t> image(kExtraFileSize, 0);
    std::memcpy(image.data(), kSignature.data(), kSignature.size());
    tarvo::put_le<std::uint32_t>(image.data() + kVersionField, kExtraFileVersion);
    return ExtraFile(std::move(image));
}

bool ExtraFile::has_signature() const { return std::memcmp(image_.data(), kSignature.data(), kSignature.size()) == 0; }

std::uint32_t ExtraFile::version() const { return tarvo::get_le<std::uint32_t>(image_.data() + kVersionField); }

bool stored_in_one_piece(const FileEntry& entry, std::span<const std::uint16_t> block_sizes)
{
    return entry.size == kExtraFileSize && block_sizes.size() == kExtraFileBlocks &&
           std::all_of(block_sizes.begin(), block_sizes.end(),
                       [](std::uint16_t stored_size) { return stored_length(stored_size) == kBlockSize; });
}

std::uint64_t ExtraFile::record_count() const
{
    return tarvo::get_le<std::uint64_t>(image_.data() + kRecordCountField);
}

std::uint64_t ExtraFile::reserve_end() const { return tarvo::get_le<std::uint64_t>(image_.data() + kReserveEndField); }

void ExtraFile::set_reserve_end(std::uint64_t offset)
{
    tarvo::put_le<std::uint64_t>(image_.data() + kReserveEndField, offset);
}

RegionRecord ExtraFile::record(std::size_t index) const
{
    const std::uint8_t* at = image_.data() + record_position(index);
    return RegionRecord{tarvo::get_le<std::uint64_t>(at), tarvo::get_le<std::uint64_t>(at + kCapacityField)};
}

void ExtraFile::put_record(std::size_t index, const RegionRecord& record)
{
    if (index >= kMaxRegionRecords) throw std::logic_error("region record index past the table");
    std::uint8_t* at = image_.data() + record_position(index);
    tarvo::put_le<std::uint64_t>(at, record.offset);
    tarvo::put_le<std::uint64_t>(at + kCapacityField, record.capacity);
}

std::optional<std::size_t> ExtraFile::find_region(std::uint64_t offset) const
{
    const auto count = static_cast<std::size_t>(record_count());
    for (std::size_t i = 0; i < count; ++i) {
        if (tarvo::get_le<std::uint64_t>(image_.data() + record_position(i)) == offset) return i;
    }
    return std::nullopt;
}

void ExtraFile::append_record(const RegionRecord& record)
{
    const auto index = static_cast<std::size_t>(record_count());
    put_record(index, record);
    tarvo::put_le<std::uint64_t>(image_.data() + kRecordCountField, index + 1);
}

void ExtraFile::replace_record(std::size_t index, const RegionRecord& record)
{
    if (index >= record_count()) throw std::logic_error("replacing a region record not in use");
    put_record(index, record);
}

ExtraFile load_extra_file(tarvo::File& archive, const FileEntry& entry,
                          std::span<const std::uint16_t> block_sizes)
{
    archive.seek(entry.data_offset);
    if (entry.size != kExtraFileSize)
        throw tarvo::wruntime_error(extra_name() + L" size mismatch. File may be broken. Aborting.");
    // The image is read and written as one stretch at data_offset; that is only its own room
    // when all its blocks are stored raw. Anything else would be written over the next files.
    if (!stored_in_one_piece(entry, block_sizes)) refuse_invalid();
    std::vector<std::uint8_t> image(kExtraFileSize);
    if (!archive.read_exact(image.data(), image.size())) refuse_invalid();
    ExtraFile extra(std::move(image));
    if (!extra.has_signature()) refuse_invalid();
    // An established message, spelling included: users and their scripts look for it exactly.
    if (extra.version() != kExtraFileVersion) throw tarvo::wruntime_error(L"Usupoorted " + extra_name() + L" version. Aborting.");
    // A count past the table would make every later look-up read beyond the image.
    if (extra.record_count() > kMaxRegionRecords) refuse_invalid();
    return extra;
}

}  // namespace qar::format
