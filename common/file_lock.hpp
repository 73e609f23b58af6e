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
// On Windows the lock covers one byte far past any real data: Windows locks are mandatory,
// and a lock on real bytes would block the run's own reads and writes through other handles.
class FileLock {
public:
    enum class Kind { shared, exclusive };
    enum class Outcome {
        locked,      // the lock is held
        in_use,      // another holder's lock stands in the way ("would block")
        not_opened,  // the file could not be opened (missing, say); nothing is held
        failed,      // the system refused the lock for another reason
    };

    FileLock() = default;
    ~FileLock();
    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Opens path on the lock's own handle (creating an empty file first when `create` is set
    // and nothing is there) and tries once to take the lock. Anything held before is released.
    Outcome acquire(const std::wstring& path, Kind kind, bool create);
    // Releases what is held and tries once to take a lock of the other kind on the same handle.
    // Neither platform turns one kind into the other in one step, so for a moment none is held.
    Outcome change_to(Kind kind);

    bool held() const { return held_; }
    Kind kind() const { return kind_; }

private:
    void release() noexcept;
    Outcome take(Kind kind);

#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
    bool held_ = false;
    Kind kind_ = Kind::shared;
};

}  // namespace tarvo
