// File streams on top of the C runtime, with 64-bit seeks on both platforms.
#include "common/file.hpp"

#include <utility>

#ifdef TARVO_FAULT_INJECTION
#include <atomic>
#endif

#include "common/error.hpp"
#include "common/platform.hpp"
#include "common/text.hpp"

#ifdef _WIN32
#include <io.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>
#endif

namespace tarvo {
namespace {

constexpr std::size_t kStreamBuffer = 1 << 20;  // large sequential writes, few system calls

const wchar_t* mode_text(File::Mode mode)
{
    switch (mode) {
    case File::Mode::read: return L"rb";
    case File::Mode::write_new: return L"wb";
    case File::Mode::read_write: return L"r+b";
    case File::Mode::read_write_new: return L"w+b";
    }
    return L"rb";
}

std::FILE* open_file(const std::wstring& path, File::Mode mode)
{
#ifdef _WIN32
    return _wfopen(system_path(path).c_str(), mode_text(mode));
#else
    const std::string narrow_mode = to_utf8(mode_text(mode));
    return std::fopen(system_path(path).c_str(), narrow_mode.c_str());
#endif
}

int seek_to(std::FILE* f, std::int64_t offset, int origin)
{
#ifdef _WIN32
    return _fseeki64(f, offset, origin);
#else
    return fseeko(f, static_cast<off_t>(offset), origin);
#endif
}

std::int64_t tell_of(std::FILE* f)
{
#ifdef _WIN32
    return _ftelli64(f);
#else
    return static_cast<std::int64_t>(ftello(f));
#endif
}

}  // namespace

#ifdef TARVO_FAULT_INJECTION
namespace fault_injection {
namespace {

// Atomics: worker threads of the unpack mode write files too.
std::atomic<std::uint64_t> g_count{0};
std::atomic<std::uint64_t> g_target{0};  // 0: disarmed
std::atomic<bool> g_from_on{false};

}  // namespace

void arm(std::uint64_t k, Failure failure)
{
    g_count = 0;
    g_from_on = failure == Failure::from_on;
    g_target = k;
}

void disarm() { g_target = 0; }
std::uint64_t operations() { return g_count; }

// Counts one write-side operation and tells whether it is to fail.
bool next_fails()
{
    const std::uint64_t n = ++g_count;
    const std::uint64_t target = g_target;
    return target != 0 && (n == target || (n > target && g_from_on));
}

}  // namespace fault_injection

namespace {
bool injected_failure() { return fault_injection::next_fails(); }
}  // namespace
#else
namespace {
constexpr bool injected_failure() { return false; }
}  // namespace
#endif

File::File(const std::wstring& path, Mode mode) : path_(path), writable_(mode != Mode::read)
{
    handle_.reset(open_file(path, mode));
    if (handle_ != nullptr) std::setvbuf(handle_.get(), nullptr, _IOFBF, kStreamBuffer);
}

// The C streams need a positioning call between a write and a read that follows it.
void File::switch_to(LastOp op)
{
    if (last_op_ != LastOp::none && last_op_ != op) seek_to(handle_.get(), 0, SEEK_CUR);
    last_op_ = op;
}

void File::write_failed() const { throw wruntime_error(quoted(L"Cannot write output file ", path_)); }

void File::seek_failed() const
{
    throw wruntime_error(quoted(writable_ ? L"Cannot write output file " : L"Cannot read input file ", path_));
}

std::size_t File::read(void* data, std::size_t size)
{
    switch_to(LastOp::read);
    return std::fread(data, 1, size, handle_.get());
}

void File::read_all(void* data, std::size_t size)
{
    if (!read_exact(data, size)) throw wruntime_error(quoted(L"Cannot read input file ", path_));
}

void File::write(const void* data, std::size_t size)
{
    if (size == 0) return;
    switch_to(LastOp::write);
    if (injected_failure()) {
        // A write that lies within the file's first 16 bytes reaches storage whole or not at all.
        constexpr std::uint64_t kUntornStart = 16;
        if (tell() + size > kUntornStart) {
            const std::size_t torn = std::fwrite(data, 1, size / 2, handle_.get());
            static_cast<void>(torn);
        }
        write_failed();
    }
    if (std::fwrite(data, 1, size, handle_.get()) != size) write_failed();
}

void File::seek(std::uint64_t position)
{
    if (seek_to(handle_.get(), static_cast<std::int64_t>(position), SEEK_SET) != 0) seek_failed();
    last_op_ = LastOp::none;
}

void File::seek_end()
{
    if (seek_to(handle_.get(), 0, SEEK_END) != 0) seek_failed();
    last_op_ = LastOp::none;
}

std::uint64_t File::tell() { return static_cast<std::uint64_t>(tell_of(handle_.get())); }

std::uint64_t File::length()
{
    const std::int64_t here = tell_of(handle_.get());
    seek_to(handle_.get(), 0, SEEK_END);
    const std::int64_t end = tell_of(handle_.get());
    seek_to(handle_.get(), here, SEEK_SET);
    last_op_ = LastOp::none;
    return static_cast<std::uint64_t>(end);
}

void File::flush()
{
    if (injected_failure() || std::fflush(handle_.get()) != 0) write_failed();
}

void File::sync()
{
    flush();
#ifdef _WIN32
    if (injected_failure() || _commit(_fileno(handle_.get())) != 0) write_failed();
#else
    // The data and what reading it back needs (the length), not the times.
    if (injected_failure() || ::fdatasync(fileno(handle_.get())) != 0) write_failed();
#endif
}

void File::truncate(std::uint64_t new_length)
{
    flush();
#ifdef _WIN32
    if (injected_failure() || _chsize_s(_fileno(handle_.get()), static_cast<long long>(new_length)) != 0) write_failed();
#else
    if (injected_failure() || ::ftruncate(fileno(handle_.get()), static_cast<off_t>(new_length)) != 0) write_failed();
#endif
}

void File::close()
{
    if (handle_ == nullptr) return;
    const bool injected = writable_ && injected_failure();
    const bool flushed = std::fflush(handle_.get()) == 0 && !injected;
    const bool closed = std::fclose(handle_.release()) == 0;
    if (!flushed || !closed) write_failed();
}

void sync_directory_of(const std::wstring& path)
{
#ifdef _WIN32
    // NTFS makes its own directory changes durable; there is nothing to ask for.
    (void)path;
#else
    std::string directory = system_path(path);
    const std::size_t slash = directory.find_last_of('/');
    directory = slash == std::string::npos ? "." : slash == 0 ? "/" : directory.substr(0, slash);
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) throw wruntime_error(quoted(L"Cannot write output file ", path));
    // Some file systems can't sync a directory and say so with EINVAL; they need no more.
    const bool synced = ::fsync(fd) == 0 || errno == EINVAL;
    ::close(fd);
    if (!synced) throw wruntime_error(quoted(L"Cannot write output file ", path));
#endif
}

}  // namespace tarvo
