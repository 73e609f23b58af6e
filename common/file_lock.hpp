// Which file a path names, and an advisory lock on a file that a run holds to its end.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tarvo {

// What tells one file apart from every other on the machine, whatever path reaches it: the
// device and inode on Linux, the volume serial number and file index on Windows.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t index = 0;
    bool operator==(const FileIdentity&) const = default;
};

// The identity of the file or directory at path, links followed; nothing when there is
// none or it can't be read.
std::optional<FileIdentity> file_identity(const std::wstring& path);

// Where a path leads when its last component is a symbolic link: the absolute path of the file
// at the end of the links (on Windows the final path of the file it opens). A path whose last
// component is no link, or a link that leads nowhere, comes back as it is.
std::wstring final_link_target(const std::wstring& path);

// A lock on a file, taken through a handle of its own that stays open while the lock lives,
// so that opening and closing the file elsewhere in the run never drops it. Many shared locks
// may stand together; an exclusive one stands alone. Nobody ever waits for a lock: a try
// either gets it at once or reports that another process holds it.
// An exclusive lock is taken through a handle opened for writing, a shared one through a
// handle that only reads: NFS grants an exclusive lock only to a writer.
// On Windows the lock covers one byte far past any real data: Windows locks are mandatory,
// and a lock on real bytes would block the run's own reads and writes through other handles.
class FileLock {
public:
    enum class Kind { shared, exclusive };
    enum class Outcome {
        locked,       // the lock is held
        in_use,       // another holder's lock stands in the way ("would block")
        not_opened,   // the file could not be opened (missing, say); nothing is held
        unsupported,  // the file system has no locks (a network share, say); nothing is held
        failed,       // the system refused the lock for another reason
    };

    FileLock() = default;
    ~FileLock();
    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Opens path on the lock's own handle (creating an empty file first when `create` is set
    // and nothing is there) and tries once to take the lock. Anything held before is released.
    // A file created here is removed again when it gets no lock, unless another process holds
    // one on it: a run that stops at its lock leaves nothing behind.
    Outcome acquire(const std::wstring& path, Kind kind, bool create);
    // Releases what is held and tries once to take a lock of the other kind. Neither platform
    // turns one kind into the other in one step, so for a moment none is held. An exclusive
    // lock after a shared one needs the file opened again for writing; when that open fails,
    // the shared lock stays and the outcome is not_opened.
    Outcome change_to(Kind kind);

    bool held() const { return held_; }
    Kind kind() const { return kind_; }

private:
    // Opens the lock's handle; false when the file could not be opened.
    bool open(const std::wstring& path, bool for_writing, bool create, bool& created);
    void release() noexcept;
    Outcome take(Kind kind);
    void swap(FileLock& other) noexcept;

#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int handle_ = -1;  // a file descriptor
#endif
    std::wstring path_;
    bool for_writing_ = false;
    bool held_ = false;
    Kind kind_ = Kind::shared;
};

#ifdef TARVO_LOCK_FAULTS
// The lock tests only: they compile file_lock.cpp again with TARVO_LOCK_FAULTS, the programs
// never do. Makes the system's lock call fail with `error` (an errno value on Linux, a Windows
// error code on Windows) from now on, as a file system without locks does; with
// `exclusive_through_reader`, only an exclusive lock taken through a handle that only reads
// fails, as on NFS. An error of 0 lets every lock through again.
namespace lock_faults {
void fail_with(int error, bool exclusive_through_reader = false);
}  // namespace lock_faults
#endif

}  // namespace tarvo
