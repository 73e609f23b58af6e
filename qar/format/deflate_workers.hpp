// One reusable deflate state per worker of the pool, so small blocks don't pay for setting
// zlib up and tearing it down every time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "qar/base/worker_pool.hpp"

namespace qar::format {

// The run's pool and one state per worker of it. Worker i uses state i and no other, and only
// from inside a task that the pool runs on worker i; so no state is ever touched by two threads at once and no lock is needed. The
// owner creates the object before it submits the first task that uses it and destroys it
// only after it has waited for the last one.
class DeflateWorkers {
public:
    // One state per worker of the pool, each set up on its first use.
    explicit DeflateWorkers(WorkerPool& pool);
    ~DeflateWorkers();
    DeflateWorkers(const DeflateWorkers&) = delete;
    DeflateWorkers& operator=(const DeflateWorkers&) = delete;

    int worker_count() const { return static_cast<int>(states_.size()); }
    // The pool whose workers run the compression tasks.
    WorkerPool& pool() const { return pool_; }

    // Compresses source as one zlib stream into destination, exactly the bytes that zlib's
    // compress() gives at the default level. Returns the stream's length, or nothing when zlib
    // fails or destination is too small. Call only from the worker with this index.
    std::optional<std::size_t> compress(int worker, std::span<const std::uint8_t> source,
                                        std::span<std::uint8_t> destination);

private:
    struct State;
    WorkerPool& pool_;
    std::vector<std::unique_ptr<State>> states_;  // each on its own allocation: no false sharing
};

}  // namespace qar::format
