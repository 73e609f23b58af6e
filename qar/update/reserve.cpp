// Making the reserve on the first update: the tables' side, then the archive's.
#include "qar/update/reserve.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <stdexcept>
#include <string>

#include "common/console.hpp"
#include "common/error.hpp"
#include "common/text.hpp"
#include "qar/format/md5.hpp"

namespace qar::update {
namespace {

std::wstring extra_name() { return std::wstring(kExtraFileNameWide); }

// This text is an established message, wording included: users and their scripts look for it
// exactly. Keep it as it is.
[[noreturn]] void refuse_too_short()
{
    throw tarvo::wruntime_error(L"FIXME: file too short and may be damaged. Aborting.");
}

}  // namespace

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
    tables.append_entry(format::name_digest(kExtraFileName), extra_entry, std::string(kExtraFileName),
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
