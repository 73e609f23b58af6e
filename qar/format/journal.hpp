// The rollback journal that makes an interrupted update of an archive recoverable, and the
// lock on the archive that every run holds while it looks at the journal and the archive.
//
// Before an update overwrites any byte of the archive as it stands, it saves the old bytes in
// a journal beside the archive (the archive's path followed by ".journal") and makes the
// journal durable; bytes written past the archive's original length need no copy, since
// rolling back cuts them off. Once the archive holds its new tables and is durable itself,
// deleting the journal commits the update. Until then, applying the journal gives back the
// archive exactly as it was before the update began.
//
// Layout, integers little-endian:
//   header, 32 bytes: "QARJ", u32 version 2, u64 the archive's original length,
//                     u64 device and u64 index of the archive file (tarvo::FileIdentity)
//   records, back to back: u64 offset, u64 length, the `length` old bytes that stood at
//                     `offset`, which lie wholly below the original length
//   seal, 12 bytes:   u64 the number of records, u32 CRC-32 of every byte before it
// The journal is written in one go under a temporary name, made durable and only then renamed,
// so a journal that stands beside an archive is whole: one whose header, records or seal fail
// their checks, that ends early or goes on after its seal is damaged and is never applied,
// not even in part. Nor is one whose archive is another file, or shorter than the original
// length: its records would land on bytes they were never taken from. Records are applied
// last to first, so where two cover one byte the older copy wins.
//
// Locks: a run that reads the archive holds a shared lock on it, a run that writes it an
// exclusive one, from before it first looks at the journal to its end; only the holder of the
// exclusive lock applies or deletes a journal. Nobody waits: a lock that is taken stops the run.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/file.hpp"
#include "common/file_lock.hpp"

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

    // Marks [offset, offset + length) to be saved by commit_saved(); only the part below the
    // original length counts. Overlapping marks are saved once.
    void save(std::uint64_t offset, std::uint64_t length);

    // Copies the old bytes of every marked range from the archive into the journal, in one
    // pass, seals it, makes it durable and publishes it. Once per writer: the seal closes the
    // journal. Only after it returns may those ranges be overwritten.
    void commit_saved(tarvo::File& archive);

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
    bool written_ = false;
    bool published_ = false;
};

// For a caller that holds the exclusive lock, before it opens the archive: when an interrupted
// update left a journal beside it, restores the archive to its state before that update,
// deletes the journal, prints `Recovered interrupted update of "PATH"` and returns true. A
// journal that can't be applied throws wruntime_error and leaves the archive and the journal
// as they are.
bool recover_interrupted_update(const std::wstring& archive_path);

// What the journal beside an archive would do, found without applying it (a temporary journal
// alone guarded nothing and counts as none).
enum class JournalFinding {
    none,     // no journal
    pending,  // an interrupted update that the next run of -u, -r or -a restores
    damaged,  // a journal that will never be applied
    foreign,  // the journal of another archive, or of this one before it was cut shorter
};
JournalFinding inspect_journal(const std::wstring& archive_path);

// For a writer that replaces the archive as a whole: a journal beside it belongs to the
// archive that is about to go and must never be applied to the new one.
void discard_journal(const std::wstring& archive_path);

// The lock a mode keeps alive to its end, taken before it looks at the journal. Each throws
// `Archive "PATH" is in use by another process` when another run holds a lock in the way,
// `Cannot lock archive "PATH": the file system does not support locks` where a lock the run
// needs can't be had there, and `Cannot lock archive "PATH"` when the lock fails otherwise.
// An archive that can't be opened gets no lock and no recovery: the mode's own open then
// reports it as it always has. A FIFO or a socket at the archive's or the journal's path is
// refused first, with `Cannot open input file "PATH"` (create: `Cannot open output file
// "PATH"` for the archive), before anything opens it.
//
// Check: a shared lock, or none where the file system has no locks; never recovery.
tarvo::FileLock lock_for_checking(const std::wstring& archive_path);
// Unpack: as the check, but when a journal or its temporary file is there, the exclusive lock
// instead, and recovery; without locks, a journal stops the run.
tarvo::FileLock lock_for_reading(const std::wstring& archive_path);
// Update: the exclusive lock, and recovery.
tarvo::FileLock lock_for_update(const std::wstring& archive_path);
// Create: the exclusive lock, on a file created empty when there is none yet (removed again
// when it gets no lock and no other run holds one), and any journal of the archive it
// replaces discarded. Before the archive is truncated.
tarvo::FileLock lock_for_create(const std::wstring& archive_path);

}  // namespace qar::format
