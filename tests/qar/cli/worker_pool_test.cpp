// The worker pool: order, concurrency bound, worker indexes, failures and shutdown.
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

TEST(WorkerPool, RunsTasksInOrderAtMostNAtOnceAndDeliversResultsAndExceptions)
{
    for (int workers : {1, 3}) {
        WorkerPool pool(workers);
        EXPECT_EQ(pool.worker_count(), workers);
        std::atomic<int> running{0}, peak{0}, next{0};
        std::atomic<bool> out_of_order{false}, bad_index{false};
        std::vector<std::future<bool>> results;
        for (int i = 0; i < 30; ++i) {
            results.push_back(pool.submit([&, i](int index) {
                bad_index = bad_index || index < 0 || index >= workers;
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
        EXPECT_THROW(results[7].get(), tarvo::wruntime_error);
        for (int i = 8; i < 30; ++i) EXPECT_EQ(results[static_cast<std::size_t>(i)].get(), i != 8);  // goes on after a throw
        EXPECT_FALSE(out_of_order || bad_index);
        EXPECT_TRUE(peak >= 1 && peak <= workers) << peak.load();
    }
}

TEST(WorkerPool, ShutdownRunsEverythingQueuedAndWithoutWorkersTasksEndAsBrokenPromises)
{
    WorkerPool pool(2);
    std::atomic<int> done{0};
    std::vector<std::future<bool>> results;
    for (int i = 0; i < 20; ++i) {
        results.push_back(pool.submit([&](int) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return ++done > 0;
        }));
    }
    pool.shutdown();
    EXPECT_EQ(done.load(), 20);
    for (auto& r : results) EXPECT_EQ(r.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    pool.shutdown();  // returns at once

    auto orphan = [] { return WorkerPool(0).submit([](int) { return true; }); }();
    EXPECT_THROW(orphan.get(), std::future_error);  // a broken promise, not a hang
}

}  // namespace
}  // namespace qar
