// Planning an update: what happens to each loose file, and every check before the first write.
#include "qar/update/update_plan.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "common/console.hpp"
#include "common/error.hpp"
#include "common/platform.hpp"
#include "common/text.hpp"
#include "qar/base/safe_name.hpp"
#include "qar/format/name_clash.hpp"
#include "qar/format/own_files.hpp"
#include "qar/update/backups.hpp"

namespace qar::update {
namespace {

// The metadata written at the end must end by first_data: the data of the first entry that
// keeps its place, or the data this run appends from the old end on. Its size is known now
// (block counts depend only on sizes), counted as write_tables counts it. Returns it.
std::uint64_t check_tables_fit(const WorkingTables& tables, const std::vector<LooseFile>& files, std::uint64_t first_data)
{
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
// has one replaces it. An empty entry has no room and no record: anything longer moves.
void check_record_room(const ExtraFile& extra, const std::vector<LooseFile>& files)
{
    std::uint64_t needed = 0;
    for (const LooseFile& file : files) {
        if (file.action == LooseAction::add) ++needed;
        if (file.action == LooseAction::patch && (file.original.size == 0 ? file.size != 0 : !file.capacity.record))
            ++needed;
    }
    if (needed > extra.free_records())
        throw tarvo::wruntime_error(std::wstring(kExtraFileNameWide) +
                                    L" has no room for more region records. Aborting.");
}

LooseFile classify(const WorkingTables& tables, const std::optional<ReservePlan>& reserve, const format::OwnFiles& own,
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
    const auto found = tables.name_index.find(file.utf8_name);
    if (found != tables.name_index.end()) {
        file.action = LooseAction::patch;
        file.entry = found->second;
        file.original = tables.entries[file.entry];
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
    Books& books = state.books;
    if (!options.backup_dir.empty()) check_backup_dir_apart(options.backup_dir, options.source_dir);
    UpdatePlan plan;
    const std::uint64_t end_position = state.metadata.archive_length - format::kTrailerSize;
    BuiltTables built = build_working_tables(state.metadata);
    books.tables = std::move(built.tables);
    if (built.extra_entry) {
        plan.extra_entry = *built.extra_entry;
        books.extra = load_extra_file(state.archive, books.tables.entries[plan.extra_entry],
                                      books.tables.block_lists[plan.extra_entry]);
    } else {
        tarvo::console::out(std::wstring(kExtraFileNameWide) + L" not found. Creating and moving files around.");
        plan.reserve = reserve_tables(books.tables, end_position);
        plan.extra_entry = plan.reserve->extra_entry;
        books.extra = ExtraFile::fresh();
    }

    const std::vector<std::uint64_t> used = used_bytes(books.tables, end_position);
    const format::OwnFiles own = format::own_files_of(state.archive_path);
    for (const auto& [name, size] : loose_files) plan.files.push_back(classify(books.tables, plan.reserve, own, name, size, options));
    check_added_names_apart(books.tables, plan.files);
    for (LooseFile& file : plan.files) {
        if (file.action == LooseAction::patch) file.capacity = file_capacity(books, used, file.entry);
        const bool written = file.action == LooseAction::patch || file.action == LooseAction::add;
        if (written && !tarvo::File(file.path, tarvo::File::Mode::read).is_open())
            throw tarvo::wruntime_error(tarvo::quoted(L"Cannot open input file ", file.path));
    }
    plan.metadata_size = check_tables_fit(books.tables, plan.files, std::min(end_position, used.front()));
    check_record_room(books.extra, plan.files);
    if (!options.backup_dir.empty()) check_backups(options.backup_dir, plan.files);
    return plan;
}

}  // namespace qar::update
