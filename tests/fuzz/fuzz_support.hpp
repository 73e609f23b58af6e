// What the harnesses share: a scratch directory of their own, the input as a file in it,
// and the way a broken promise is reported so that libFuzzer keeps the input.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "common/file.hpp"
#include "common/platform.hpp"

namespace tarvo::fuzz {

// A property the code promises doesn't hold: the input is a finding, exactly like a crash.
[[noreturn]] inline void finding(std::string_view what)
{
    std::fprintf(stderr, "FINDING: %.*s\n", static_cast<int>(what.size()), what.data());
    std::abort();
}

// One directory per process below the temporary directory (TMPDIR), emptied when it is first
// used and removed when the process ends normally; scripts/fuzz.sh removes what a crash leaves.
class ScratchRoot {
public:
    explicit ScratchRoot(std::string_view harness)
        : path_(std::filesystem::temp_directory_path() /
                ("tarvo-fuzz-" + std::string(harness) + "-" + std::to_string(::getpid())))
    {
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchRoot()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchRoot(const ScratchRoot&) = delete;
    ScratchRoot& operator=(const ScratchRoot&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::wstring wide(const std::filesystem::path& name) const { return from_fs_path(path_ / name); }

private:
    std::filesystem::path path_;
};

inline void write_input(const std::wstring& path, const std::uint8_t* data, std::size_t size)
{
    File file(path, File::Mode::write_new);
    if (!file.is_open()) finding("the scratch directory can't take the input file");
    file.write(data, size);
    file.close();
}

inline std::string_view as_text(const std::uint8_t* data, std::size_t size)
{
    return {reinterpret_cast<const char*>(data), size};
}

}  // namespace tarvo::fuzz
