// Test fixtures of archive creation: a scratch directory, files made in code, a pool for the run.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "common/file.hpp"
#include "common/platform.hpp"
#include "qar/cli/worker_pool.hpp"
#include "qar/format/archive_format.hpp"

namespace qar::create::testing {

using Bytes = std::vector<std::uint8_t>;

// A fresh directory below the system's temporary directory, removed with everything in it.
class ScratchDir {
public:
    ScratchDir()
    {
        std::random_device seed;
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string stem = "tarvo-create-";
        if (test != nullptr) stem += std::string(test->name()).substr(0, 40) + "-";
        for (;;) {
            path_ = std::filesystem::temp_directory_path() / (stem + std::to_string(seed()));
            if (std::filesystem::create_directory(path_)) break;
        }
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // The wide path of a name below the scratch directory ("/" separators accepted).
    std::wstring operator/(const std::wstring& name) const { return tarvo::join_path(root(), name); }
    std::wstring root() const { return tarvo::from_fs_path(path_); }

private:
    std::filesystem::path path_;
};

inline void write_file(const std::wstring& path, const Bytes& bytes)
{
    const std::filesystem::path fs_path = tarvo::to_fs_path(path);
    std::filesystem::create_directories(fs_path.parent_path());
    std::ofstream out(fs_path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << "cannot write test file";
}

inline void write_text(const std::wstring& path, const std::string& text) { write_file(path, Bytes(text.begin(), text.end())); }

inline Bytes read_file(const std::wstring& path)
{
    std::ifstream in(tarvo::to_fs_path(path), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Data that no compressor shortens (seeded, so every run sees the same bytes).
inline Bytes random_bytes(std::size_t size, std::uint32_t seed)
{
    std::mt19937 generator(seed);
    Bytes bytes(size);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(generator());
    return bytes;
}

// Text-like data that compresses well but not to nothing.
inline Bytes text_bytes(std::size_t size, std::uint32_t seed)
{
    static const char* const kWords[] = {"mesh ", "texture ", "bone ", "material ", "lod\n", "0.25 ", "shader "};
    std::mt19937 generator(seed);
    Bytes bytes;
    bytes.reserve(size);
    while (bytes.size() < size) {
        const std::string word = kWords[generator() % 7];
        for (char c : word) {
            if (bytes.size() < size) bytes.push_back(static_cast<std::uint8_t>(c));
        }
    }
    return bytes;
}

// A worker pool that is the run's pool for the life of the object.
class PoolScope {
public:
    explicit PoolScope(int workers) : pool_(workers) { worker_pool = &pool_; }
    ~PoolScope() { worker_pool = nullptr; }
    PoolScope(const PoolScope&) = delete;
    PoolScope& operator=(const PoolScope&) = delete;

private:
    WorkerPool pool_;
};

// The tables of an archive file, read and checked by the format library.
inline format::ArchiveMetadata metadata_of(const std::wstring& path)
{
    tarvo::File archive(path, tarvo::File::Mode::read);
    return format::read_metadata(archive);
}

}  // namespace qar::create::testing
