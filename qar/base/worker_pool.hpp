// A fixed set of worker threads that run submitted tasks in first-in, first-out order.
//
// Threads: the submitter (main thread) queues tasks and waits on their futures; n workers
// take tasks from the queue. The queue lock guards only the queue; workers with nothing to
// do sleep on the wake-up condition under the pool lock. Lock order: the pool lock, then the
// queue lock inside it, never the reverse. Tasks start in submission order.
// A task owns nothing but its callable; it works on memory its submitter keeps alive until
// it has waited for the task's future.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace qar {

class WorkerPool {
public:
    // Starts `count` workers, worker i with index i.
    explicit WorkerPool(int count);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int worker_count() const { return static_cast<int>(count_); }

    // Queues a task taking the index of the worker that runs it; the future carries its
    // result or the exception it threw.
    template <typename Task>
    std::future<bool> submit(Task task)
    {
        auto packaged = std::make_shared<std::packaged_task<bool(int)>>(std::move(task));
        auto wrapper = std::make_unique<Wrapper>([packaged](int index) { (*packaged)(index); });
        {
            std::lock_guard<std::mutex> queue_guard(queue_lock_);
            queue_.push_back(std::move(wrapper));
        }
        std::lock_guard<std::mutex> pool_guard(pool_lock_);
        wake_up_.notify_one();
        return packaged->get_future();
    }

    // Runs what is queued, joins every worker; a second call returns at once.
    void shutdown();

private:
    using Wrapper = std::function<void(int)>;

    std::unique_ptr<Wrapper> take_task();
    void worker_loop(int index);

    std::size_t count_;
    std::vector<std::thread> workers_;
    std::deque<std::unique_ptr<Wrapper>> queue_;
    std::mutex queue_lock_;
    std::atomic<bool> done_{false};
    std::mutex pool_lock_;
    std::condition_variable wake_up_;
};

}  // namespace qar
