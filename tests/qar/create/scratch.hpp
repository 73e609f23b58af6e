// Test fixtures of archive creation: files made in code, a pool for the run, the one-by-one reference.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "common/file.hpp"
#include "qar/base/worker_pool.hpp"
#include "qar/create/block_compression.hpp"
#include "qar/create/deflate_workers.hpp"
#include "qar/create/file_storing.hpp"
#include "tests/support/archive_builder.hpp"
#include "tests/support/scratch.hpp"

namespace qar::create::testing {

using Bytes = std::vector<std::uint8_t>;
using tarvo::test::read_bytes;
using tarvo::test::write_bytes;

// Text-like unless told otherwise: most of a mod's files compress.
inline Bytes make_bytes(std::size_t size, std::uint32_t seed, char kind = 't') { return tarvo::test::random_bytes<Bytes>(size, seed, kind); }

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
