// The update's writes over the archive as it stands: first every stretch they may overwrite
// is marked for the journal, then the writes themselves, both as the plan has them.
#pragma once

#include <cstdint>

#include "common/file.hpp"
#include "qar/format/deflate_workers.hpp"
#include "qar/format/journal.hpp"
#include "qar/update/update_plan.hpp"

namespace qar::update {

// Marks in the journal every stretch of the archive as it stands (archive_length bytes) that
// the planned run may overwrite: the tables at the front, each patched entry's room, the extra
// file's image and the trailer. Everything else the run writes lies past the archive's end.
void save_overwritten_ranges(const UpdatePlan& plan, const Books& books, std::uint64_t archive_length,
                             format::JournalWriter& journal);

// The writes: the reserve when planned, then each loose file in order, with its progress lines.
void apply_update(tarvo::File& archive, format::DeflateWorkers& deflaters, const UpdatePlan& plan, Books& books);

}  // namespace qar::update
