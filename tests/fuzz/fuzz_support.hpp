// What the harnesses share: a scratch directory with the input as a file in it, lines as the
// readers should see them, and a broken promise reported so that libFuzzer keeps the input.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

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

    // Writes the input as the file `name` and returns its path.
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

// The input split at line feeds, a last line only when bytes follow the last line feed; in text
// mode a carriage return right before a line feed is dropped.
inline std::vector<std::string> split_lines(std::string_view input, bool text_mode)
{
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < input.size();) {
        const std::size_t feed = std::min(input.find('\n', start), input.size());
        std::string_view line = input.substr(start, feed - start);
        if (text_mode && feed < input.size() && line.ends_with('\r')) line.remove_suffix(1);
        lines.emplace_back(line);
        start = feed + 1;
    }
    return lines;
}

}  // namespace tarvo::fuzz
