// File identities and advisory locks on both platforms.
#include "common/file_lock.hpp"

#include <filesystem>
#include <string_view>
#include <system_error>
#include <utility>

#include "common/platform.hpp"

#ifdef _WIN32
#include <windows.h>

#include "common/platform.hpp"
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/platform.hpp"
#include "common/text.hpp"
#endif

namespace tarvo {

#ifdef TARVO_LOCK_FAULTS
namespace lock_faults {
namespace {

int g_error = 0;  // 0: every lock call goes to the system
bool g_exclusive_through_reader = false;

}  // namespace

void fail_with(int error, bool exclusive_through_reader)
{
    g_error = error;
    g_exclusive_through_reader = exclusive_through_reader;
}

}  // namespace lock_faults

namespace {
// The error the lock call is to fail with instead of asking the system, or 0.
int injected_error(FileLock::Kind kind, bool for_writing)
{
    const bool applies = !lock_faults::g_exclusive_through_reader || (kind == FileLock::Kind::exclusive && !for_writing);
    return applies ? lock_faults::g_error : 0;
}
}  // namespace
#else
namespace {
constexpr int injected_error(FileLock::Kind, bool) { return 0; }
}  // namespace
#endif

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

FileLock::Outcome outcome_of(DWORD error)
{
    switch (error) {
    case ERROR_LOCK_VIOLATION:
    case ERROR_SHARING_VIOLATION:
        return FileLock::Outcome::in_use;
    // What file systems without locks answer (a WebDAV or FAT share, say).
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
        return FileLock::Outcome::unsupported;
    default:
        return FileLock::Outcome::failed;
    }
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

std::wstring final_link_target(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(system_path(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return path;
    const HANDLE handle = open_shared(path, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (handle == INVALID_HANDLE_VALUE) return path;
    std::wstring final(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(handle, final.data(), static_cast<DWORD>(final.size()), FILE_NAME_NORMALIZED);
    if (length >= final.size()) {
        final.resize(length);
        length = GetFinalPathNameByHandleW(handle, final.data(), static_cast<DWORD>(final.size()), FILE_NAME_NORMALIZED);
    }
    CloseHandle(handle);
    if (length == 0 || length >= final.size()) return path;
    final.resize(length);
    // The system answers in the long form; the short one reads as the user's paths do.
    constexpr std::wstring_view kUnc = L"\\\\?\\UNC\\", kLong = L"\\\\?\\";
    if (final.starts_with(kUnc)) return L"\\\\" + final.substr(kUnc.size());
    if (final.starts_with(kLong)) return final.substr(kLong.size());
    return final;
}

FileLock::~FileLock()
{
    release();
    if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
}

bool FileLock::open(const std::wstring& path, bool for_writing, bool create, bool& created)
{
    const DWORD access = for_writing ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
    const HANDLE handle = open_shared(path, access, create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (handle == INVALID_HANDLE_VALUE) return false;
    created = create && GetLastError() != ERROR_ALREADY_EXISTS;
    handle_ = handle;
    for_writing_ = for_writing;
    return true;
}

FileLock::Outcome FileLock::take(Kind kind)
{
    DWORD error = static_cast<DWORD>(injected_error(kind, for_writing_));
    if (error == 0) {
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
        error = GetLastError();
    }
    return outcome_of(error);
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

namespace {

FileLock::Outcome outcome_of(int error)
{
    if (error == EWOULDBLOCK) return FileLock::Outcome::in_use;
    // What file systems without locks answer (an NFS mount without its lock service, say).
    if (error == ENOLCK || error == EOPNOTSUPP || error == ENOSYS) return FileLock::Outcome::unsupported;
    return FileLock::Outcome::failed;
}

}  // namespace

std::optional<FileIdentity> file_identity(const std::wstring& path)
{
    struct stat status {};
    if (::stat(to_utf8(path).c_str(), &status) != 0) return std::nullopt;
    return FileIdentity{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

std::wstring final_link_target(const std::wstring& path)
{
    // Every link on the way resolved, as the system would open it: a relative target counts from
    // its link's folder, whatever links lead to that folder.
    std::error_code error;
    const std::filesystem::path link = to_fs_path(path);
    if (!std::filesystem::is_symlink(std::filesystem::symlink_status(link, error))) return path;
    const std::filesystem::path target = std::filesystem::canonical(link, error);
    return error ? path : from_fs_path(target);
}

FileLock::~FileLock()
{
    if (handle_ >= 0) ::close(handle_);  // closing the only descriptor of its description drops the lock
}

bool FileLock::open(const std::wstring& path, bool for_writing, bool create, bool& created)
{
    constexpr mode_t kNewFileMode = 0666;  // narrowed by the user's umask, as any new file
    // flock belongs to this open file description alone, so no other descriptor of the file
    // that the run opens and closes can drop it (as any close drops a POSIX record lock).
    const std::string narrow = to_utf8(path);
    const int access = (for_writing ? O_RDWR : O_RDONLY) | O_CLOEXEC;
    // Made here only when nothing, not even a link, stands at the path: only then is it ours.
    int fd = create ? ::open(narrow.c_str(), access | O_CREAT | O_EXCL, kNewFileMode) : -1;
    created = fd >= 0;
    if (fd < 0) fd = ::open(narrow.c_str(), access | (create ? O_CREAT : 0), kNewFileMode);
    if (fd < 0) return false;
    handle_ = fd;
    for_writing_ = for_writing;
    return true;
}

FileLock::Outcome FileLock::take(Kind kind)
{
    int error = injected_error(kind, for_writing_);
    if (error == 0) {
        const int operation = (kind == Kind::exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
        int rc;
        do {
            rc = ::flock(handle_, operation);
        } while (rc != 0 && errno == EINTR);
        if (rc == 0) {
            held_ = true;
            kind_ = kind;
            return Outcome::locked;
        }
        error = errno;
    }
    return outcome_of(error);
}

void FileLock::release() noexcept
{
    if (!held_) return;
    ::flock(handle_, LOCK_UN);
    held_ = false;
}

#endif

// A moved-from lock holds nothing; what the target held before is let go with the temporary.
FileLock::FileLock(FileLock&& other) noexcept { swap(other); }

FileLock& FileLock::operator=(FileLock&& other) noexcept
{
    FileLock(std::move(other)).swap(*this);
    return *this;
}

void FileLock::swap(FileLock& other) noexcept
{
    std::swap(handle_, other.handle_);
    std::swap(path_, other.path_);
    std::swap(for_writing_, other.for_writing_);
    std::swap(held_, other.held_);
    std::swap(kind_, other.kind_);
}

FileLock::Outcome FileLock::acquire(const std::wstring& path, Kind kind, bool create)
{
    *this = FileLock();
    bool created = false;
    if (!open(path, kind == Kind::exclusive, create, created)) return Outcome::not_opened;
    path_ = path;
    const Outcome outcome = take(kind);
    if (created && outcome != Outcome::locked && outcome != Outcome::in_use) {
        *this = FileLock();  // closed first: Windows removes no open file
        remove_file(path);
    }
    return outcome;
}

FileLock::Outcome FileLock::change_to(Kind kind)
{
    if (kind == Kind::exclusive && !for_writing_) {
        FileLock writer;
        bool created = false;
        if (!writer.open(path_, true, false, created)) return Outcome::not_opened;
        writer.path_ = path_;
        // The shared lock goes with the old handle: the two handles' locks would bar each other.
        *this = std::move(writer);
        return take(kind);
    }
    release();
    return take(kind);
}

}  // namespace tarvo
