// Planning and checking an update before its first write, and applying it.
#include "qar/update/update_plan.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "common/console.hpp"
#include "common/error.hpp"
#include "common/platform.hpp"
#include "common/text.hpp"
#include "qar/format/name_clash.hpp"
#include "qar/format/own_files.hpp"
#include "qar/base/safe_name.hpp"
#include "qar/update/backups.hpp"
#include "qar/update/space_allocation.hpp"

namespace qar::update {
namespace {

void check_opens(const LooseFile& file)
{
    const tarvo::File input(file.path, tarvo::File::Mode::read);
    if (!input.is_open()) throw tarvo::wruntime_error(tarvo::quoted(L"Cannot open input file ", file.path));
}

// The metadata written at the end must not reach the data of any entry that keeps its
// place, nor the data this run appends from the old end on. Its size is known now: block
// counts depend only on sizes. Returns it.
std::uint64_t check_tables_fit(const UpdateState& state, const std::vector<LooseFile>& files, std::uint64_t end_position)
{
    const WorkingTables& tables = state.tables;
    std::uint64_t first_data = end_position;
    for (std::size_t i = 0; i < tables.size(); ++i) {
        if (!tables.block_lists[i].empty()) first_data = std::min(first_data, tables.entries[i].data_offset);
    }
    TableTotals totals = tables.totals();
    for (const LooseFile& file : files) {
        if (file.action == LooseAction::patch)
            totals.blocks = totals.blocks - tables.block_lists[file.entry].size() + format::block_count_u64(file.size);
        if (file.action == LooseAction::add) totals.add(file.utf8_name.size(), format::block_count_u64(file.size));
    }
    const std::uint32_t size = totals.metadata_size();
    if (size > first_data) throw tarvo::wruntime_error(L"Not enough room for the new tables. Aborting.");
    return size;
}

// Each write that doesn't find a record for its entry adds one; a relocation of an entry that
// has one replaces it.
void check_record_room(const UpdateState& state, const std::vector<LooseFile>& files)
{
    std::uint64_t needed = 0;
    for (const LooseFile& file : files) {
        if (file.action == LooseAction::add) {
            ++needed;
        } else if (file.action == LooseAction::patch) {
            const format::FileEntry& entry = state.tables.entries[file.entry];
            if (entry.size == 0) {
                if (file.size != 0) ++needed;  // relocated, since an empty entry has no room
            } else if (!entry_region(state, file.entry)) {
                ++needed;
            }
        }
    }
    if (needed > state.extra.free_records())
        throw tarvo::wruntime_error(std::wstring(kExtraFileNameWide) +
                                    L" has no room for more region records. Aborting.");
}

LooseFile classify(const UpdateState& state, const std::optional<ReservePlan>& reserve, const format::OwnFiles& own,
                   const std::wstring& name, std::uint64_t size, const UpdateOptions& options)
{
    LooseFile file;
    file.name = name;
    file.size = size;
    file.path = tarvo::join_path(options.source_dir, name);
    // The archive itself and its journal, when they lie among the loose files, are read and
    // written by this very run: never their own input.
    if (name == kExtraFileNameWide || format::is_own_file(own, file.path)) {
        file.action = LooseAction::skip_extra;
        return file;
    }
    file.utf8_name = tarvo::to_utf8(name);
    const auto found = state.tables.name_index.find(file.utf8_name);
    if (found != state.tables.name_index.end()) {
        file.action = LooseAction::patch;
        file.entry = found->second;
        file.original = state.tables.entries[file.entry];
        file.original.first_block = 0;
        file.original.first_block_copy = 0;
        // An entry the reserve is about to move is still at its old place while backups are made.
        if (reserve && file.entry >= reserve->first_moved_index &&
            file.entry < reserve->first_moved_index + reserve->moved_entries) {
            file.original.data_offset = reserve->moves[file.entry - reserve->first_moved_index].from;
        }
    } else if (!options.add_files) {
        file.action = LooseAction::none;
    } else if ((options.ignore != nullptr && matches(name, *options.ignore)) ||
               name_refusal(name) != NameRefusal::none) {
        // A new name that either platform's unpack refuses would make the archive refused there.
        file.action = LooseAction::ignore;
    } else {
        file.action = LooseAction::add;
    }
    return file;
}

// A new name and an entry that can't both be files would stop the unpack on Windows, which
// ignores the case of ASCII letters, and the entry can't be taken out again: refused here.
void check_added_names_apart(const WorkingTables& tables, const std::vector<LooseFile>& files)
{
    format::NameTree tree(/*ignore_case=*/true);
    std::vector<std::wstring> names;  // by id: the entries', then the added ones'
    for (std::size_t i = 0; i < tables.size(); ++i) {
        tree.add(tables.names[i], i);
        try {
            names.push_back(tarvo::from_utf8(tables.names[i]));
        } catch (const std::range_error&) {
            names.push_back(tarvo::widen_bytes(tables.names[i]));
        }
    }
    for (const LooseFile& file : files) {
        if (file.action != LooseAction::add) continue;
        const std::wstring cannot_add = tarvo::quoted(L"Cannot add ", file.name) + L": ";
        if (const auto file_above = tree.file_above(file.utf8_name))
            throw tarvo::wruntime_error(cannot_add + tarvo::quoted(L"", names[*file_above]) + L" is a file in the archive");
        if (tree.name_below(file.utf8_name)) throw tarvo::wruntime_error(cannot_add + L"it is a directory in the archive");
        tree.add(file.utf8_name, names.size());
        names.push_back(file.name);
    }
}

}  // namespace

UpdatePlan plan_update(UpdateState& state, const FileSizeMap& loose_files, const UpdateOptions& options)
{
    if (!options.backup_dir.empty()) check_backup_dir_apart(options.backup_dir, options.source_dir);
    UpdatePlan plan;
    const std::uint64_t end_position = state.end_position();
    BuiltTables built = build_working_tables(state.metadata);
    state.tables = std::move(built.tables);
    if (built.extra_entry) {
        state.extra_entry = *built.extra_entry;
        state.extra = load_extra_file(state.archive, state.tables.entries[state.extra_entry],
                                      state.tables.block_lists[state.extra_entry]);
    } else {
        tarvo::console::out(std::wstring(kExtraFileNameWide) + L" not found. Creating and moving files around.");
        plan.reserve = reserve_tables(state.tables, end_position);
        state.extra_entry = plan.reserve->extra_entry;
        state.extra = ExtraFile::fresh();
    }

    mark_used_bytes(state);

    const format::OwnFiles own = format::own_files_of(state.archive_path);
    for (const auto& [name, size] : loose_files) plan.files.push_back(classify(state, plan.reserve, own, name, size, options));
    check_added_names_apart(state.tables, plan.files);
    for (const LooseFile& file : plan.files) {
        if (file.action == LooseAction::patch || file.action == LooseAction::add) check_opens(file);
    }
    plan.metadata_size = check_tables_fit(state, plan.files, end_position);
    check_record_room(state, plan.files);
    if (!options.backup_dir.empty()) check_backups(options.backup_dir, plan.files);
    return plan;
}

void save_overwritten_ranges(UpdateState& state, const UpdatePlan& plan, format::JournalWriter& journal)
{
    const std::uint64_t length = state.metadata.archive_length;
    journal.save(0, plan.metadata_size);

    std::uint64_t written = 0;
    for (const LooseFile& file : plan.files) {
        if (file.action == LooseAction::add) ++written;
        if (file.action != LooseAction::patch) continue;
        ++written;
        // A rewrite in place stays inside the room, and its stored blocks are never longer than
        // the file; one that doesn't fit goes to the end.
        journal.save(state.tables.entries[file.entry].data_offset,
                     std::min(file_capacity(state, file.entry).bytes, file.size));
    }
    // The extra file's header and records in use, with one more record for each file written.
    journal.save(state.tables.entries[state.extra_entry].data_offset,
                 state.extra.used_part().size() + written * kRegionRecordSize);

    journal.save(length - format::kTrailerSize, format::kTrailerSize);
}

void apply_update(UpdateState& state, const UpdatePlan& plan)
{
    if (plan.reserve) state.extra = write_reserve(state.archive, *plan.reserve);
    for (const LooseFile& file : plan.files) {
        switch (file.action) {
        case LooseAction::none:
            break;
        case LooseAction::skip_extra:
            tarvo::console::out(L"Ignoring " + file.name);
            break;
        case LooseAction::ignore:
            tarvo::console::out(L"Ignoring " + file.name);
            break;
        case LooseAction::patch:
            tarvo::console::out(L"Patching " + file.name);
            patch_entry(state, file.entry, file.path, file.size, file_capacity(state, file.entry));
            break;
        case LooseAction::add:
            tarvo::console::out(L"Adding " + file.name);
            add_entry(state, file.path, file.size, file.utf8_name);
            break;
        }
    }
}

}  // namespace qar::update
