// The extra file's image and records, loading it, and making the reserve on the first update.
#include "qar/update/extra_file.hpp"

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

namespace qar::update {
namespace {

// The header's fields, back to back.
constexpr std::array<std::uint8_t, 4> kSignature{'Q', 'A', 'R', 'E'};
constexpr std::size_t kVersionField = kSignature.size();
constexpr std::size_t kRecordCountField = kVersionField + sizeof(std::uint32_t);
constexpr std::size_t kReserveEndField = kRecordCountField + sizeof(std::uint64_t);
static_assert(kReserveEndField + 2 * sizeof(std::uint64_t) == kExtraHeaderSize);  // reserve_end, reserved
constexpr std::size_t kCapacityField = sizeof(std::uint64_t);  // a record's offset comes first

std::wstring extra_name() { return std::wstring(kExtraFileNameWide); }

[[noreturn]] void refuse_invalid()
{
    throw tarvo::wruntime_error(L"Invalid " + extra_name() + L" file. Aborting.");
}

// This text and the "Usupoorted ... version" one below are established messages, wording and
// spelling included: users and their scripts look for them exactly. Keep them as they are.
[[noreturn]] void refuse_too_short()
{
    throw tarvo::wruntime_error(L"FIXME: file too short and may be damaged. Aborting.");
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

ExtraFile load_extra_file(tarvo::File& archive, const format::FileEntry& entry,
                          std::span<const std::uint16_t> block_sizes)
{
    archive.seek(entry.data_offset);
    if (entry.size != kExtraFileSize)
        throw tarvo::wruntime_error(extra_name() + L" size mismatch. File may be broken. Aborting.");
    // The image is read and written as one stretch at data_offset; that is only its own room
    // when all its blocks are stored raw. Anything else would be written over the next files.
    if (block_sizes.size() != kExtraFileBlocks) refuse_invalid();
    for (std::uint16_t stored_size : block_sizes) {
        if (format::stored_length(stored_size) != format::kBlockSize) refuse_invalid();
    }
    std::vector<std::uint8_t> image(kExtraFileSize);
    if (!archive.read_exact(image.data(), image.size())) refuse_invalid();
    if (std::memcmp(image.data(), kSignature.data(), kSignature.size()) != 0) refuse_invalid();
    if (tarvo::get_le<std::uint32_t>(image.data() + kVersionField) != kExtraFileVersion)
        throw tarvo::wruntime_error(L"Usupoorted " + extra_name() + L" version. Aborting.");  // spelt so on purpose
    ExtraFile extra(std::move(image));
    // A count past the table would make every later look-up read beyond the image.
    if (extra.record_count() > kMaxRegionRecords) refuse_invalid();
    return extra;
}

ReservePlan reserve_tables(WorkingTables& tables, std::uint64_t end_position)
{
    // Work out how many leading entries go before touching anything: at least one entry has
    // to stay where it is, or the archive is too small to give up ten megabytes.
    const std::size_t n = tables.size();
    if (n == 0) refuse_too_short();
    std::size_t m = 0;
    std::uint64_t moved = 0;
    while (moved < kReserveTarget) {
        moved += format::stored_total(tables.block_lists[m]);
        ++m;
        if (m == n) refuse_too_short();
    }

    ReservePlan plan;
    plan.moved_entries = m;
    plan.first_moved_index = n - m;
    plan.moved_bytes = moved;
    plan.reserve_end = tables.entries[0].data_offset + moved;

    // The copies go behind every other entry, their data back to back from the old end on.
    std::uint64_t position = end_position;
    for (std::size_t i = 0; i < m; ++i) {
        const format::Digest digest = tables.digests[i];
        format::FileEntry entry = tables.entries[i];
        plan.moves.push_back(EntryMove{entry.data_offset, position, tables.block_lists[i]});
        entry.data_offset = position;
        position += format::stored_total(tables.block_lists[i]);
        tables.append_entry(digest, entry, tables.names[i], tables.block_lists[i]);
        // A repeated name ends up answered by the last of its moved copies.
        tables.name_index[tables.names[i]] = tables.size() - 1;
    }
    tables.remove_first(m);

    plan.extra_offset = position;
    plan.extra_entry = tables.size();
    const format::FileEntry extra_entry{0, 0, kExtraFileSize, position, 0};
    tables.append_entry(format::name_digest(extra_name()), extra_entry, std::string(kExtraFileName),
                        format::BlockSizeList(kExtraFileBlocks, 0));
    return plan;
}

ExtraFile write_reserve(tarvo::File& archive, const ReservePlan& plan)
{
    // Each file's stored blocks lie back to back, so they go over as one stretch, in large
    // pieces, as stored: nothing is inflated or compressed.
    const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kMoveBuffer);
    std::uint64_t position = plan.moves.empty() ? plan.extra_offset : plan.moves.front().to;
    for (const EntryMove& move : plan.moves) {
        if (move.to != position) throw std::logic_error("moved data out of step with the plan");
        const std::uint64_t total = format::stored_total(move.blocks);
        for (std::uint64_t copied = 0; copied < total;) {
            const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(kMoveBuffer, total - copied));
            archive.seek(move.from + copied);
            // The update checked that every entry's data lies inside the archive, so a short
            // read here is the device failing.
            if (!archive.read_exact(buffer.get(), length))
                throw tarvo::wruntime_error(L"Invalid QAR file format");
            archive.seek(position);
            archive.write(buffer.get(), length);
            copied += length;
            position += length;
        }
    }
    if (position != plan.extra_offset) throw std::logic_error("moved data out of step with the plan");

    ExtraFile extra = ExtraFile::fresh();
    extra.set_reserve_end(plan.reserve_end);
    archive.seek(position);
    archive.write(extra.image());
    std::array<std::uint8_t, format::kTrailerSize> placeholder{};
    placeholder[0] = kReservePlaceholder;
    archive.write(placeholder.data(), placeholder.size());

    tarvo::console::out(L"Freed " + std::to_wstring(plan.moved_bytes) + L" bytes, " + extra_name() +
                        L" written at 0x" + tarvo::to_hex(plan.extra_offset));
    return extra;
}

}  // namespace qar::update
