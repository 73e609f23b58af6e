// The worker pool: order, concurrency bound, results and failures, and a shutdown that finishes the queue.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "common/error.hpp"
#include "qar/base/worker_pool.hpp"

namespace qar {
namespace {

TEST(WorkerPool, RunsTasksInOrderAtMostNAtOnceAndShutdownRunsEverythingQueued)
{
    for (int workers : {1, 3}) {
        WorkerPool pool(workers);
        std::atomic<int> running{0}, peak{0}, next{0};
        std::atomic<bool> out_of_order{false};
        std::vector<std::future<bool>> results;
        for (int i = 0; i < 30; ++i) {
            results.push_back(pool.submit([&, i](int) {
                out_of_order = out_of_order || (next++ != i && workers == 1);  // one worker keeps submission order
                const int now = ++running;
                for (int seen = peak.load(); now > seen && !peak.compare_exchange_weak(seen, now);) {
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                --running;
                if (i == 7) throw tarvo::wruntime_error(L"Problem compressing file...");
                return i != 8;
            }));
        }
        pool.shutdown();
        EXPECT_EQ(next.load(), 30);
        EXPECT_THROW(results[7].get(), tarvo::wruntime_error);
        for (int i = 8; i < 30; ++i) EXPECT_EQ(results[static_cast<std::size_t>(i)].get(), i != 8);  // goes on after a throw
        EXPECT_FALSE(out_of_order);
        EXPECT_GE(peak.load(), 1);
        EXPECT_LE(peak.load(), workers);
    }
}

}  // namespace
}  // namespace qar
