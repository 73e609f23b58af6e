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

std::unique_ptr<WorkerPool::Wrapper> WorkerPool::take_task()
{
    std::lock_guard<std::mutex> guard(queue_lock_);
    if (queue_.empty()) return nullptr;
    std::unique_ptr<Wrapper> task = std::move(queue_.front());
    queue_.pop_front();
    return task;
}

void WorkerPool::worker_loop(int index)
{
    std::unique_ptr<Wrapper> task = take_task();
    for (;;) {
        while (task) {
            (*task)(index);
            task.reset();
            task = take_task();
        }
        {
            // The queue is tested under the pool lock before every wait, so a task queued
            // before this worker started waiting is never missed.
            std::unique_lock<std::mutex> lock(pool_lock_);
            wake_up_.wait(lock, [&] {
                task = take_task();
                return task != nullptr || done_.load();
            });
        }
        if (!task) return;
    }
}

void WorkerPool::shutdown()
{
    if (done_.exchange(true)) return;
    {
        std::lock_guard<std::mutex> guard(pool_lock_);
        wake_up_.notify_all();
    }
    for (std::thread& worker : workers_) {
        if (worker.joinable()) worker.join();
    }
    // Only a pool without workers can still hold tasks; their futures report a broken promise.
    for (;;) {
        std::unique_ptr<Wrapper> orphan = take_task();
        if (!orphan) break;
    }
    workers_.clear();
}

}  // namespace qar
