// Shared by the harnesses: a scratch directory for the input; a finding aborts, so libFuzzer keeps it.
#pragma once

#include <unistd.h>

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

[[noreturn]] inline void finding(const char* what)
{
    std::fprintf(stderr, "FINDING: %s\n", what);
    std::abort();
}

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) { return {reinterpret_cast<const char*>(data), size}; }

// One directory per process below TMPDIR, emptied first and removed at a normal exit.
struct ScratchRoot {
    explicit ScratchRoot(const char* harness)
        : path(std::filesystem::temp_directory_path() / ("tarvo-fuzz-" + std::string(harness) + "-" + std::to_string(::getpid())))
    {
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
    }
    ~ScratchRoot() { std::filesystem::remove_all(path, ignored); }

    std::wstring write_input(const char* name, std::string_view input) const
    {
        File file(from_fs_path(path / name), File::Mode::write_new);
        if (!file.is_open()) finding("the scratch directory can't take the input file");
        file.write(input.data(), input.size());
        file.close();
        return file.path();
    }

    std::filesystem::path path;
    std::error_code ignored;
};

}  // namespace tarvo::fuzz
