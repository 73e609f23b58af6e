// Worker pool: the worker loop, start-up and shutdown.
#include "qar/base/worker_pool.hpp"

namespace qar {

WorkerPool::WorkerPool(int count) : count_(count > 0 ? static_cast<std::size_t>(count) : 0)
{
    workers_.reserve(count_);
    try {
        for (std::size_t i = 0; i < count_; ++i) workers_.emplace_back(&WorkerPool::worker_loop, this, static_cast<int>(i));
    } catch (...) {
        // The workers already started must not outlive a pool that failed to come up.
        shutdown();
        throw;
    }
}

WorkerPool::~WorkerPool() { shutdown(); }

void WorkerPool::worker_loop(int index)
{
    for (;;) {
        std::function<void(int)> task;
        {
            // The queue is tested under the lock before every wait, so a task queued before
            // this worker started waiting is never missed; after shutdown the queue drains.
            std::unique_lock<std::mutex> lock(lock_);
            wake_up_.wait(lock, [&] { return !queue_.empty() || done_; });
            if (queue_.empty()) return;
            task = std::move(queue_.front());
            queue_.pop_front();
        }
        task(index);
    }
}

void WorkerPool::shutdown()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (done_) return;
        done_ = true;
    }
    wake_up_.notify_all();
    for (std::thread& worker : workers_) {
        if (worker.joinable()) worker.join();
    }
    workers_.clear();
    // Only a pool without workers can still hold tasks; their futures report a broken promise.
    queue_.clear();
}

}  // namespace qar
