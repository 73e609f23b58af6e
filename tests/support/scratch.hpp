// Fixtures every suite shares: a scratch directory, seeded data, whole files written and read,
// the message a call ends with.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/file.hpp"
#include "common/platform.hpp"

namespace tarvo::test {

// A fresh directory below the system's temporary directory, removed with everything in it.
struct ScratchDir {
    ScratchDir()
    {
        for (std::random_device seed; !std::filesystem::create_directory(path);)
            path = std::filesystem::temp_directory_path() / ("tarvo-test-" + std::to_string(seed()));
    }
    ~ScratchDir() { std::filesystem::remove_all(path, ignored); }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    // The wide path of a name below the scratch directory ("/" separators accepted).
    std::wstring operator/(const std::wstring& name) const { return join_path(from_fs_path(path), name); }

    std::filesystem::path path = std::filesystem::temp_directory_path() / "tarvo-test";
    std::error_code ignored;
};

// Seeded data of one kind: 'r' random (incompressible), 't' text-like, 'z' zeros.
template <class Bytes = std::string>
Bytes random_bytes(std::size_t size, std::uint32_t seed, char kind = 'r')
{
    using Byte = typename Bytes::value_type;
    static const char* const kWords[] = {"mesh ", "texture ", "bone ", "material ", "lod\n", "0.25 ", "shader "};
    std::mt19937 generator(seed);
    Bytes bytes;
    bytes.reserve(size + 16);
    while (bytes.size() < size) {
        if (kind != 't') bytes.push_back(kind == 'z' ? Byte(0) : static_cast<Byte>(generator()));
        for (const char* c = kind == 't' ? kWords[generator() % 7] : ""; *c != 0; ++c) bytes.push_back(static_cast<Byte>(*c));
    }
    bytes.resize(size);
    return bytes;
}

// Writes a file whole, making the directories it needs.
inline void write_bytes(const std::wstring& path, std::span<const std::uint8_t> bytes)
{
    std::filesystem::create_directories(to_fs_path(path).parent_path());
    File file(path, File::Mode::write_new);
    file.write(bytes);
    file.close();
}

inline void write_bytes(const std::wstring& path, std::string_view bytes)
{
    write_bytes(path, {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
}

// A file's bytes, or none when it can't be opened.
template <class Bytes = std::string>
Bytes read_bytes(const std::wstring& path)
{
    File file(path, File::Mode::read);
    Bytes bytes(file.is_open() ? static_cast<std::size_t>(file.length()) : 0, 0);
    if (!bytes.empty()) bytes.resize(file.read(bytes.data(), bytes.size()));
    return bytes;
}

// The message of the error a call ends with, or nothing when it returns.
template <class Call>
std::optional<std::wstring> error_of(Call&& call)
{
    try { call(); } catch (const wruntime_error& e) { return e.message(); }
    return std::nullopt;
}

}  // namespace tarvo::test
