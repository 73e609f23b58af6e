// The update's writes, and the stretches of the archive they may overwrite.
#include "qar/update/update_writes.hpp"

#include <algorithm>

#include "common/console.hpp"

namespace qar::update {

void save_overwritten_ranges(const UpdatePlan& plan, const Books& books, std::uint64_t archive_length,
                             format::JournalWriter& journal)
{
    journal.save(0, plan.metadata_size);
    std::uint64_t written = 0;
    for (const LooseFile& file : plan.files) {
        if (file.action == LooseAction::add) ++written;
        if (file.action != LooseAction::patch) continue;
        ++written;
        // A rewrite in place stays inside the room, and its stored blocks are never longer than
        // the file; one that doesn't fit goes to the end.
        journal.save(books.tables.entries[file.entry].data_offset, std::min(file.capacity.bytes, file.size));
    }
    // The extra file's header and records in use, with one more record for each file written.
    journal.save(books.tables.entries[plan.extra_entry].data_offset,
                 books.extra.used_part().size() + written * kRegionRecordSize);
    journal.save(archive_length - format::kTrailerSize, format::kTrailerSize);
}

void apply_update(tarvo::File& archive, format::DeflateWorkers& deflaters, const UpdatePlan& plan, Books& books)
{
    if (plan.reserve) books.extra = write_reserve(archive, *plan.reserve);
    for (const LooseFile& file : plan.files) {
        switch (file.action) {
        case LooseAction::none:
            break;
        case LooseAction::skip_extra:
        case LooseAction::ignore:
            tarvo::console::out(L"Ignoring " + file.name);
            break;
        case LooseAction::patch:
            tarvo::console::out(L"Patching " + file.name);
            patch_entry(archive, deflaters, books, file.entry, file.path, file.size, file.capacity);
            break;
        case LooseAction::add:
            tarvo::console::out(L"Adding " + file.name);
            add_entry(archive, deflaters, books, file.path, file.size, file.utf8_name);
            break;
        }
    }
}

}  // namespace qar::update
