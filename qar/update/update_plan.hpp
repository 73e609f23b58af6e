// Everything an update decides and checks before its first write to the archive, so that a
// refused update leaves the archive exactly as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "qar/base/pattern_list.hpp"
#include "qar/base/source_tree.hpp"
#include "qar/format/archive_format.hpp"
#include "qar/update/reserve.hpp"
#include "qar/update/space_allocation.hpp"
#include "qar/update/update_state.hpp"

namespace qar::update {

enum class LooseAction {
    none,        // replace mode, and the archive doesn't hold the name
    patch,       // the archive holds the name: entry is rewritten
    add,         // add mode, a new name
    ignore,      // add mode, a new name that matches the ignore list or that an unpack refuses
    skip_extra,  // the update's own files (its bookkeeping file, the archive, its journal) are
                 // never taken from the loose files
};

struct LooseFile {
    std::wstring name;       // archive name
    std::string utf8_name;
    std::uint64_t size = 0;
    std::wstring path;       // the file below the source directory
    LooseAction action = LooseAction::none;
    std::size_t entry = 0;   // patch: entry number in the working tables
    // patch: the entry as it stands on disk before this run (for its backup), first_block 0
    // so that it reads through its own block list
    format::FileEntry original;
    Capacity capacity;       // patch: the room at the entry's place
};

struct UpdateOptions {
    std::wstring source_dir;
    std::wstring backup_dir;  // empty: no backups
    bool add_files = false;
    const PatternExpression* ignore = nullptr;  // add mode's ignore list, if any
};

struct UpdatePlan {
    std::optional<ReservePlan> reserve;  // set when this run creates the extra file
    std::vector<LooseFile> files;        // in FileSizeMap order
    std::uint64_t metadata_size = 0;     // of the tables the run will write
    std::size_t extra_entry = 0;         // where the extra file stands in the tables
};

// Loads the extra file (or plans the reserve, printing that it wasn't found), decides what
// happens to each loose file and checks, without writing anything, everything that could
// refuse the run: the extra file, room for the reserve, no added name and entry that can't both
// be files (`Cannot add "NAME": "OTHER" is a file in the archive`, or `Cannot add "NAME": it is
// a directory in the archive`), every loose file to be written opens,
// the new tables fit in front of the first file data that stays, the extra file has room for
// every record the run may add, and the backups can be made. Leaves state.books with the tables
// as they will be after the reserve and the extra file as loaded (or fresh). A backup directory
// that is the loose-file directory or lies inside it refuses the run before anything else.
UpdatePlan plan_update(UpdateState& state, const FileSizeMap& loose_files, const UpdateOptions& options);

}  // namespace qar::update
