// A binary file with 64-bit positions, one position for reading and writing, and
// write failures that are never silent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>

namespace tarvo {

class File {
public:
    enum class Mode {
        read,              // existing file, reading only
        write_new,         // created or truncated, writing only
        read_write,        // existing file, reading and writing
        read_write_new,    // created or truncated, reading and writing
    };

    File() = default;
    // Opens the path; is_open() tells whether it worked (each caller has its own message).
    File(const std::wstring& path, Mode mode);
    File(File&& other) noexcept = default;
    File& operator=(File&& other) noexcept = default;

    bool is_open() const { return handle_ != nullptr; }
    const std::wstring& path() const { return path_; }

    // Reads up to size bytes at the current position; returns how many arrived
    // (fewer only at the end of the file or on a read error).
    std::size_t read(void* data, std::size_t size);
    // Reads exactly size bytes or returns false.
    bool read_exact(void* data, std::size_t size) { return read(data, size) == size; }
    // Reads exactly size bytes or throws wruntime_error `Cannot read input file "PATH"`.
    void read_all(void* data, std::size_t size);
    // True once a read or write on the stream has failed (a short read alone is not a failure).
    bool has_error() const { return handle_ != nullptr && std::ferror(handle_.get()) != 0; }

    // Writes everything or throws wruntime_error `Cannot write output file "PATH"`.
    void write(const void* data, std::size_t size);
    void write(std::span<const std::uint8_t> bytes) { write(bytes.data(), bytes.size()); }

    // A failed seek throws like read_all(), or like write() on a file opened for writing.
    void seek(std::uint64_t position);
    void seek_end();
    std::uint64_t tell();
    std::uint64_t length();

    // Hands buffered data to the system; a failure throws like write().
    void flush();
    // flush() and then makes the data durable on the device.
    void sync();
    // Cuts or extends the file to the given length.
    void truncate(std::uint64_t new_length);
    // Flushes and closes; a failure throws like write(). The destructor closes silently.
    void close();

private:
    enum class LastOp { none, read, write };
    void switch_to(LastOp op);
    [[noreturn]] void write_failed() const;
    [[noreturn]] void seek_failed() const;

    struct Closer {
        void operator()(std::FILE* stream) const { std::fclose(stream); }  // silently, as the destructor does
    };
    std::unique_ptr<std::FILE, Closer> handle_;
    std::wstring path_;
    LastOp last_op_ = LastOp::none;
    bool writable_ = false;
};

// Makes the creation, renaming or removal of a file in the directory that holds `path`
// durable, where the system needs that asked for separately; a failure throws like
// File::write() for `path`.
void sync_directory_of(const std::wstring& path);

#ifdef TARVO_FAULT_INJECTION
// The fault-injection tests only: they compile file.cpp again with TARVO_FAULT_INJECTION, the
// programs never do. The one seam through which every write-side operation of a File passes
// (write, flush, sync, truncate, and close of a file opened for writing), so a test can make
// the k-th of them fail exactly as a full disk does.
// A failing write hands half of its bytes to the system first, as a torn write would, unless it
// lies within the file's first 16 bytes: storage never tears those (an archive's header).
namespace fault_injection {
enum class Failure {
    once,     // only the k-th operation fails; the ones after it work again
    from_on,  // the k-th and every later one fail, as if the process had died there
};
// Counts operations from zero again and fails the k-th from now on (k >= 1).
void arm(std::uint64_t k, Failure failure = Failure::once);
// No more failures; the count stays readable.
void disarm();
// Operations seen since the last arm().
std::uint64_t operations();
}  // namespace fault_injection
#endif

}  // namespace tarvo
