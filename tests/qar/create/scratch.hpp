// Test fixtures of archive creation: files made in code, a pool for the run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qar/base/worker_pool.hpp"
#include "qar/format/deflate_workers.hpp"
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
    format::DeflateWorkers deflaters;
};

}  // namespace qar::create::testing
