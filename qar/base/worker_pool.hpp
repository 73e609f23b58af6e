// A fixed set of worker threads that run submitted tasks in first-in, first-out order.
//
// Threads: the submitter (main thread) queues tasks and waits on their futures; n workers
// take tasks from the queue. One lock guards the queue and the shutdown flag; workers with
// nothing to do sleep on the wake-up condition under it. Tasks start in submission order.
// A task owns nothing but its callable; it works on memory its submitter keeps alive until
// it has waited for the task's future.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
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

    // Queues a task taking the index of the worker that runs it; the future carries what it
    // returns or the exception it threw.
    template <typename Task>
    std::future<std::invoke_result_t<Task&, int>> submit(Task task)
    {
        auto packaged = std::make_shared<std::packaged_task<std::invoke_result_t<Task&, int>(int)>>(std::move(task));
        auto result = packaged->get_future();
        {
            std::lock_guard<std::mutex> guard(lock_);
            queue_.emplace_back([packaged](int index) { (*packaged)(index); });
        }
        wake_up_.notify_one();
        return result;
    }

    // Runs what is queued, joins every worker; a second call returns at once.
    void shutdown();

private:
    void worker_loop(int index);

    std::size_t count_;
    std::vector<std::thread> workers_;
    std::deque<std::function<void(int)>> queue_;
    bool done_ = false;
    std::mutex lock_;
    std::condition_variable wake_up_;
};

}  // namespace qar
