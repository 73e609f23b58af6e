// Test fixtures of archive creation: a scratch directory, files made in code, a pool for the run.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "common/platform.hpp"
#include "common/error.hpp"
#include "common/file.hpp"
#include "qar/base/worker_pool.hpp"
#include "qar/create/block_compression.hpp"
#include "qar/create/deflate_workers.hpp"
#include "qar/create/file_storing.hpp"

namespace qar::create::testing {

using Bytes = std::vector<std::uint8_t>;

// A fresh directory below the system's temporary directory, removed with everything in it.
struct ScratchDir {
    ScratchDir()
    {
        for (std::random_device seed; !std::filesystem::create_directory(path);) {
            path = std::filesystem::temp_directory_path() / ("tarvo-create-" + std::to_string(seed()));
        }
    }
    ~ScratchDir() { std::filesystem::remove_all(path, ignored); }
    // The wide path of a name below the scratch directory ("/" separators accepted).
    std::wstring operator/(const std::wstring& name) const { return tarvo::join_path(root(), name); }
    std::wstring root() const { return tarvo::from_fs_path(path); }

    std::filesystem::path path = std::filesystem::temp_directory_path() / "tarvo-create";
    std::error_code ignored;
};

inline void write_file(const std::wstring& path, const Bytes& bytes)
{
    std::filesystem::create_directories(tarvo::to_fs_path(path).parent_path());
    std::ofstream out(tarvo::to_fs_path(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << "cannot write test file";
}

inline Bytes read_file(const std::wstring& path)
{
    std::ifstream in(tarvo::to_fs_path(path), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Seeded data of one kind: 'r' random (incompressible), 't' text-like, 'z' zeros.
inline Bytes make_bytes(std::size_t size, std::uint32_t seed, char kind = 't')
{
    static const char* const kWords[] = {"mesh ", "texture ", "bone ", "material ", "lod\n", "0.25 ", "shader "};
    std::mt19937 generator(seed);
    Bytes bytes;
    while (bytes.size() < size) {
        if (kind != 't') bytes.push_back(kind == 'z' ? 0 : static_cast<std::uint8_t>(generator()));
        for (const char* c = kind == 't' ? kWords[generator() % 7] : ""; *c != 0; ++c) bytes.push_back(std::uint8_t(*c));
    }
    bytes.resize(size);
    return bytes;
}

// A worker pool and a deflate state for each of its workers.
struct PoolScope {
    explicit PoolScope(int workers) : pool(workers), deflaters(pool) {}
    WorkerPool pool;
    DeflateWorkers deflaters;
};

// The reference the pipeline is compared with: one file after the other through
// compress_file_blocks, only the blocks of one file in flight.
inline void store_files_one_at_a_time(std::size_t file_count, const FileSource& files, tarvo::File& archive,
                                      DeflateWorkers& deflaters, const FileStored& stored)
{
    format::BlockSizeList block_sizes;
    for (std::size_t k = 0; k < file_count; ++k) {
        const FileToStore file = files(k);
        const std::uint64_t data_offset = archive.tell();
        const BlockPlacement placement =
            compress_file_blocks(file.path, file.size, archive, data_offset, kNoLimit, block_sizes, deflaters);
        if (placement.offset != data_offset) throw tarvo::wruntime_error(L"Couldn't compress file: unknown error");
        stored(k, data_offset, block_sizes);
    }
}

}  // namespace qar::create::testing
