// The rollback journal that makes an interrupted update of an archive recoverable, the mark
// that ties an archive in the middle of an update to its journal, and the lock on the archive
// that every run holds while it looks at the journal and the archive.
//
// Before an update overwrites any byte of the archive as it stands, it saves the old bytes in
// a journal beside the archive (the archive's path followed by ".journal") and makes the
// journal durable; bytes written past the archive's original length need no copy, since
// rolling back cuts them off. Then it puts its mark in place of the archive's 16-byte header
// and makes that durable, and only then writes anything else, never touching the first 16
// bytes again until the new header replaces the mark as the update's last write. Deleting the
// journal then commits the update. Until then, applying the journal gives back the archive
// exactly as it was before the update began.
//
// The mark travels with the archive's bytes, so a journal follows its archive through copies,
// moves, restores and drives that come back under another number, and a journal beside an
// archive without its mark is never applied: the update finished, never wrote, or another
// archive took the place of the one it was made for.
//
// Layout, integers little-endian:
//   header, 32 bytes: "QARJ", u32 version 3, u64 the archive's original length,
//                     12 bytes of the update's random id, 4 zero bytes
//   records, back to back: u64 offset, u64 length, the `length` old bytes that stood at
//                     `offset`, which lie wholly below the original length
//   seal, 12 bytes:   u64 the number of records, u32 CRC-32 of every byte before it
// The mark: "QARU" and the 12 id bytes, where the archive's header stands.
// A version-2 journal (release 1.0.0) has the same records and seal; its header holds the
// device and index of the archive file (tarvo::FileIdentity) in place of the id, and it is
// applied only to that file.
// The journal is written in one go under a temporary name, made durable and only then renamed,
// so a journal that stands beside an archive is whole: one whose header, records or seal fail
// their checks, that ends early or goes on after its seal is damaged and is never applied,
// not even in part. Records are applied last to first, so where two cover one byte the older
// copy wins; the bytes of the header go back last, in one write, so an archive keeps its mark
// until everything else is back.
//
// The journal of an archive reached through symbolic links stands beside the file they lead to.
//
// Locks: a run that reads the archive holds a shared lock on it, a run that writes it an
// exclusive one, from before it first looks at the journal to its end; only the holder of the
// exclusive lock applies or deletes a journal. Nobody waits: a lock that is taken stops the run.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/file.hpp"
#include "common/file_lock.hpp"

namespace qar::format {

// The file an archive path leads to: while its last component is a symbolic link, the link's
// target (a relative one taken from the link's folder); otherwise the path as it is.
std::wstring archive_file_path(const std::wstring& archive_path);

// The archive file's path followed by ".journal".
std::wstring journal_path(const std::wstring& archive_path);

// The name a journal is written under before it is published.
std::wstring journal_temporary_path(const std::wstring& archive_path);

// What an update's journal and its mark have in common, drawn at random for every update.
inline constexpr std::size_t kUpdateIdSize = 12;
using UpdateId = std::array<std::uint8_t, kUpdateIdSize>;
// The mark's first bytes, where an archive's magic stands otherwise; the update's id follows.
inline constexpr std::string_view kMarkMagic = "QARU";

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

    // Copies the old bytes of every marked range and of the header from the archive into the
    // journal, in one pass, seals it, makes it durable and publishes it; then puts the update's
    // mark in place of the header and makes the archive durable. Once per writer: the seal
    // closes the journal. Only after it returns may the marked ranges be overwritten, and the
    // first kHeaderSize bytes only by finish().
    void commit_saved(tarvo::File& archive);

    // The commit of the update, once the archive holds everything else of its new state and
    // has been made durable: writes the new header over the mark, makes it durable, closes the
    // archive and deletes the journal.
    void finish(tarvo::File& archive, std::span<const std::uint8_t> header);

    // Undoes the update after a failure: closes the archive's stream (whatever it still
    // buffered may go out first; the journal undoes that too), restores the saved bytes, cuts
    // the archive to its original length, puts the old header back over the mark, makes it
    // durable and deletes the journal. Returns false when that could not be done; the journal
    // then stays for the next open.
    bool roll_back(tarvo::File& archive) noexcept;

private:
    std::wstring archive_path_;
    std::wstring journal_path_;
    std::wstring temporary_path_;
    std::uint64_t original_length_;
    UpdateId id_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> marked_;  // [begin, end) below the original length
    bool written_ = false;
    bool published_ = false;
};

// For a caller that holds the exclusive lock, before it opens the archive: when an interrupted
// update left a journal beside it and the archive holds that update's mark, restores the
// archive to its state before that update, deletes the journal, prints `Recovered interrupted
// update of "PATH"` and returns true. A whole journal beside a whole archive without a mark is
// stale and goes silently. A journal that can't be applied, or a mark whose journal is gone,
// throws wruntime_error and leaves the archive and the journal as they are.
bool recover_interrupted_update(const std::wstring& archive_path);

// What the journal beside an archive would do, found without applying it (a temporary journal
// alone guarded nothing and counts as none).
enum class JournalFinding {
    none,     // no journal, or a stale one
    pending,  // an interrupted update that the next run of -u, -r or -a restores
    damaged,  // a journal that will never be applied
    foreign,  // the journal of another archive, or of this one before it was cut shorter
    missing,  // the archive holds an update's mark, but that update's journal is gone
};
struct JournalInspection {
    JournalFinding finding = JournalFinding::none;
    std::wstring journal;  // the journal's path
    // Nothing more of the archive can be read as it stands: it holds an update's mark, or it is
    // broken and the journal beside it is another archive's.
    bool final = false;
};
JournalInspection inspect_journal(const std::wstring& archive_path);

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
