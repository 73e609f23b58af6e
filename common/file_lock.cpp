// File identities and advisory locks on both platforms.
#include "common/file_lock.hpp"

#include <utility>

#ifdef _WIN32
#include <windows.h>

#include "common/platform.hpp"
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/text.hpp"
#endif

namespace tarvo {

#ifdef _WIN32
namespace {

// The locked byte: the last offset a 64-bit signed position can name but one, which no
// archive reaches, so the lock never covers bytes that reads and writes touch.
constexpr DWORD kLockOffsetLow = 0xFFFFFFFEu;
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFFu;
constexpr DWORD kLockLength = 1;

HANDLE open_shared(const std::wstring& path, DWORD access, DWORD disposition, DWORD flags)
{
    return CreateFileW(system_path(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       disposition, flags, nullptr);
}

}  // namespace

std::optional<FileIdentity> file_identity(const std::wstring& path)
{
    // Backup semantics let directories be opened too; no access right is needed for the query.
    const HANDLE handle = open_shared(path, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    const BOOL ok = GetFileInformationByHandle(handle, &info);
    CloseHandle(handle);
    if (!ok) return std::nullopt;
    return FileIdentity{info.dwVolumeSerialNumber,
                        (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

FileLock::~FileLock()
{
    release();
    if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
}

FileLock::FileLock(FileLock&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), held_(std::exchange(other.held_, false)), kind_(other.kind_)
{
}

FileLock& FileLock::operator=(FileLock&& other) noexcept
{
    if (this != &other) {
        release();
        if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
        handle_ = std::exchange(other.handle_, nullptr);
        held_ = std::exchange(other.held_, false);
        kind_ = other.kind_;
    }
    return *this;
}

FileLock::Outcome FileLock::acquire(const std::wstring& path, Kind kind, bool create)
{
    *this = FileLock();
    const HANDLE handle = open_shared(path, GENERIC_READ, create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (handle == INVALID_HANDLE_VALUE) return Outcome::not_opened;
    handle_ = handle;
    return take(kind);
}

FileLock::Outcome FileLock::take(Kind kind)
{
    OVERLAPPED where{};  // a zeroed one would lock byte 0
    where.Offset = kLockOffsetLow;
    where.OffsetHigh = kLockOffsetHigh;
    DWORD flags = LOCKFILE_FAIL_IMMEDIATELY;
    if (kind == Kind::exclusive) flags |= LOCKFILE_EXCLUSIVE_LOCK;
    if (LockFileEx(static_cast<HANDLE>(handle_), flags, 0, kLockLength, 0, &where)) {
        held_ = true;
        kind_ = kind;
        return Outcome::locked;
    }
    const DWORD error = GetLastError();
    return error == ERROR_LOCK_VIOLATION || error == ERROR_SHARING_VIOLATION ? Outcome::in_use : Outcome::failed;
}

void FileLock::release() noexcept
{
    if (!held_) return;
    OVERLAPPED where{};
    where.Offset = kLockOffsetLow;
    where.OffsetHigh = kLockOffsetHigh;
    UnlockFileEx(static_cast<HANDLE>(handle_), 0, kLockLength, 0, &where);
    held_ = false;
}

#else

std::optional<FileIdentity> file_identity(const std::wstring& path)
{
    struct stat status {};
    if (::stat(to_utf8(path).c_str(), &status) != 0) return std::nullopt;
    return FileIdentity{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

FileLock::~FileLock()
{
    if (fd_ >= 0) ::close(fd_);  // closing the only descriptor of its description drops the lock
}

FileLock::FileLock(FileLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), held_(std::exchange(other.held_, false)), kind_(other.kind_)
{
}

FileLock& FileLock::operator=(FileLock&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        held_ = std::exchange(other.held_, false);
        kind_ = other.kind_;
    }
    return *this;
}

FileLock::Outcome FileLock::acquire(const std::wstring& path, Kind kind, bool create)
{
    *this = FileLock();
    constexpr mode_t kNewFileMode = 0666;  // narrowed by the user's umask, as any new file
    // flock belongs to this open file description alone, so no other descriptor of the file
    // that the run opens and closes can drop it (as any close drops a POSIX record lock).
    const int fd = ::open(to_utf8(path).c_str(), O_RDONLY | O_CLOEXEC | (create ? O_CREAT : 0), kNewFileMode);
    if (fd < 0) return Outcome::not_opened;
    fd_ = fd;
    return take(kind);
}

FileLock::Outcome FileLock::take(Kind kind)
{
    const int operation = (kind == Kind::exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    int rc;
    do {
        rc = ::flock(fd_, operation);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        held_ = true;
        kind_ = kind;
        return Outcome::locked;
    }
    return errno == EWOULDBLOCK ? Outcome::in_use : Outcome::failed;
}

void FileLock::release() noexcept
{
    if (!held_) return;
    ::flock(fd_, LOCK_UN);
    held_ = false;
}

#endif

FileLock::Outcome FileLock::change_to(Kind kind)
{
    release();
    return take(kind);
}

}  // namespace tarvo
