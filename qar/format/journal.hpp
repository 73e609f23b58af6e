// The rollback journal that makes an interrupted update of an archive recoverable.
//
// Before an update overwrites any byte of the archive as it stands, it saves the old bytes in
// a journal beside the archive (the archive's path followed by ".journal") and makes the
// journal durable; bytes written past the archive's original length need no copy, since
// rolling back cuts them off. Once the archive holds its new tables and is durable itself,
// deleting the journal commits the update. Until then, applying the journal gives back the
// archive exactly as it was before the update began.
//
// Layout, integers little-endian:
//   header, 24 bytes: "QARJ", u32 version 1, u64 the archive's original length,
//                     u32 CRC-32 of the 16 bytes before it, u32 0
//   records, back to back: u64 offset, u64 length, the `length` old bytes that stood at
//                     `offset`, u32 CRC-32 of the offset and length fields and the bytes
// A record is torn when the journal ends inside it or its CRC fails: it belongs to a save that
// never became durable, so its overwrite never happened, and it and every record after it are
// ignored. Records are applied last to first, so where two cover one byte the older copy wins.
// A journal is published whole (written under a temporary name, made durable, then renamed),
// so one that stands beside an archive always has its header.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/file.hpp"

namespace qar::format {

// The archive's path followed by ".journal".
std::wstring journal_path(const std::wstring& archive_path);

// The name a journal is written under before it is published.
std::wstring journal_temporary_path(const std::wstring& archive_path);

// The update's side: saves the bytes it is about to overwrite, commits, or rolls back.
class JournalWriter {
public:
    JournalWriter(std::wstring archive_path, std::uint64_t original_length);
    // Removes a journal that was never published; a published one is left for recovery.
    ~JournalWriter();
    JournalWriter(const JournalWriter&) = delete;
    JournalWriter& operator=(const JournalWriter&) = delete;

    // Marks [offset, offset + length) to be saved by the next commit_saved(); only the part
    // below the original length counts. Overlapping marks are saved once.
    void save(std::uint64_t offset, std::uint64_t length);

    // Copies the old bytes of every range marked since the last commit from the archive into
    // the journal, in one pass, and makes the journal durable (publishing it on the first
    // call). Only after it returns may those ranges be overwritten.
    void commit_saved(tarvo::File& archive);

    bool published() const { return published_; }

    // The commit of the update: deletes the journal. Only once the archive holds its new
    // state and has been made durable.
    void finish();

    // Undoes the update after a failure: closes the archive's stream (whatever it still
    // buffered may go out first; the journal undoes that too), restores the saved bytes, cuts
    // the archive to its original length, makes it durable and deletes the journal. Returns
    // false when that could not be done; the journal then stays for the next open.
    bool roll_back(tarvo::File& archive) noexcept;

private:
    std::wstring archive_path_;
    std::wstring journal_path_;
    std::wstring temporary_path_;
    std::uint64_t original_length_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> marked_;  // [begin, end) below the original length
    bool published_ = false;
};

// Called before an archive is opened: when an interrupted update left a journal beside it,
// restores the archive to its state before that update, deletes the journal, prints
// `Recovered interrupted update of "PATH"` and returns true. A journal that can't be applied
// throws wruntime_error and leaves the archive and the journal as they are.
bool recover_interrupted_update(const std::wstring& archive_path);

// For a writer that replaces the archive as a whole: a journal beside it belongs to the
// archive that is about to go and must never be applied to the new one.
void discard_journal(const std::wstring& archive_path);

}  // namespace qar::format
