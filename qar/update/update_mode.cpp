// The update mode's driver: read, scan, plan and check, back up, write, finish the metadata.
//
// Nothing is written to the archive until every check that could refuse the run has passed
// (plan_update), so a refused update leaves the archive as it was. Backups come next, still
// before the first write to the archive. Then the old bytes of every stretch the run may
// overwrite go into the rollback journal, which is durable before the first write, and the
// update's mark takes the header's place; then the reserve, the loose files and the metadata
// behind the header. The archive is made durable, the new header replaces the mark, and the
// journal is deleted: that is the commit. A failure on the way rolls the archive back through
// the journal before the error is reported; a run that dies leaves the journal and the mark for
// the next open.
#include "qar/update/update_mode.hpp"

#include <optional>
#include <span>
#include <vector>

#include "common/console.hpp"
#include "qar/base/file_lines.hpp"
#include "qar/base/pattern_list.hpp"
#include "qar/format/md5.hpp"
#include "qar/format/journal.hpp"
#include "qar/update/backups.hpp"
#include "qar/update/update_writes.hpp"

namespace qar::update {
namespace {

// The last writes of a successful update but one: the tables behind the header, the extra file
// image at its entry's data_offset (its header and records in use: the rest is on disk
// already), and the digest of the new metadata over the archive's last 16 bytes. Returns the
// new metadata, header included; its header is the update's very last write.
std::vector<std::uint8_t> write_metadata(tarvo::File& archive, Books& books, std::size_t extra_entry)
{
    std::vector<std::uint8_t> metadata = write_tables(books.tables, archive);
    archive.seek(books.tables.entries[extra_entry].data_offset);
    // The rest of the image is on disk as it was loaded or made, byte for byte; writing
    // only what can have changed keeps the commit's flush small.
    archive.write(books.extra.used_part());

    // From the tables in memory: the archive's first bytes hold the update's mark until the end.
    format::MD5 md5;
    md5.update(metadata.data(), static_cast<std::uint32_t>(metadata.size()));
    md5.finalize();
    format::Digest digest{};
    md5.get_digest(digest);
    archive.seek(archive.length() - format::kTrailerSize);
    archive.write(digest.data(), digest.size());
    return metadata;
}

}  // namespace

void update_archive(const std::wstring& source_dir, const std::wstring& archive_path,
                    const NameList& name_list, const std::wstring& backup_dir, bool add_files,
                    const std::wstring& ignore_patterns, WorkerPool& pool)
{
    std::optional<PatternExpression> ignore;
    if (add_files && !ignore_patterns.empty()) ignore = set_up_pattern_list(PatternListKind::ignore, ignore_patterns);

    // Held to the end: nobody else reads or writes the archive while it changes.
    const tarvo::FileLock lock = format::lock_for_update(archive_path);
    tarvo::console::out(L"Reading file structure...");
    UpdateState state = open_update_state(archive_path);
    // Made once for the run, so each worker sets its deflate state up once however many files it compresses.
    format::DeflateWorkers deflaters(pool);

    tarvo::console::out(L"Reading directory structure");
    FileSizeMap loose_files;
    scan_source_tree(source_dir, loose_files, source_dir.size(), name_list);
    for (const auto& [name, size] : loose_files) tarvo::console::out(listing_line(name, size));

    tarvo::console::out(L"Creating indexes");
    const UpdateOptions options{source_dir, backup_dir, add_files, ignore ? &*ignore : nullptr};
    const UpdatePlan plan = plan_update(state, loose_files, options);
    make_backups(state.archive, state.books.tables, pool, plan.files, backup_dir);

    format::JournalWriter journal(archive_path, state.metadata.archive_length);
    save_overwritten_ranges(plan, state.books, state.metadata.archive_length, journal);
    try {
        journal.commit_saved(state.archive);
        apply_update(state.archive, deflaters, plan, state.books);
        const std::vector<std::uint8_t> metadata = write_metadata(state.archive, state.books, plan.extra_entry);
        // Syncing reports a write that only failed when the stream's buffer went out. All but
        // the header is durable before the header replaces the mark.
        state.archive.sync();
        journal.finish(state.archive, std::span(metadata).first(format::kHeaderSize));
    } catch (...) {
        // The error line alone reports the failure: after a rollback the archive is as it was,
        // as after a refused run; a journal that could not be applied waits for the next open.
        journal.roll_back(state.archive);
        throw;
    }
    tarvo::console::out(L"Done!");
}

}  // namespace qar::update
