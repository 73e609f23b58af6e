// The worker pool: order, concurrency bound, worker indexes, failures and shutdown.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/error.hpp"
#include "qar/cli/worker_pool.hpp"

namespace qar {
namespace {

using namespace std::chrono_literals;

TEST(WorkerPool, StartsTasksInSubmissionOrderWithOneWorker)
{
    WorkerPool pool(1);
    std::mutex lock;
    std::vector<int> started;
    std::vector<std::future<bool>> results;
    for (int i = 0; i < 50; ++i) {
        results.push_back(pool.submit([&, i](int) {
            std::lock_guard<std::mutex> guard(lock);
            started.push_back(i);
            return true;
        }));
    }
    for (auto& r : results) EXPECT_TRUE(r.get());
    ASSERT_EQ(started.size(), 50U);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(started[static_cast<std::size_t>(i)], i);
}

TEST(WorkerPool, RunsAtMostNAtOnceAndPassesWorkerIndexes)
{
    constexpr int kWorkers = 3;
    WorkerPool pool(kWorkers);
    EXPECT_EQ(pool.worker_count(), kWorkers);
    std::atomic<int> running{0};
    std::atomic<int> peak{0};
    std::atomic<bool> bad_index{false};
    std::vector<std::future<bool>> results;
    for (int i = 0; i < 30; ++i) {
        results.push_back(pool.submit([&](int index) {
            if (index < 0 || index >= kWorkers) bad_index = true;
            const int now = ++running;
            int seen = peak.load();
            while (now > seen && !peak.compare_exchange_weak(seen, now)) {
            }
            std::this_thread::sleep_for(2ms);
            --running;
            return index >= 0;
        }));
    }
    EXPECT_EQ(pool.worker_count(), kWorkers);  // busy or idle alike
    for (auto& r : results) EXPECT_TRUE(r.get());
    EXPECT_FALSE(bad_index.load());
    EXPECT_LE(peak.load(), kWorkers);
    EXPECT_GE(peak.load(), 1);
}

TEST(WorkerPool, DeliversResultsAndExceptionsThroughFutures)
{
    WorkerPool pool(2);
    auto failing = pool.submit([](int) -> bool { throw tarvo::wruntime_error(L"Problem compressing file..."); });
    auto negative = pool.submit([](int) { return false; });
    auto after = pool.submit([](int) { return true; });
    try {
        failing.get();
        ADD_FAILURE() << "no exception";
    } catch (const tarvo::wruntime_error& e) {
        EXPECT_EQ(e.message(), L"Problem compressing file...");
    }
    EXPECT_FALSE(negative.get());
    EXPECT_TRUE(after.get());  // the pool keeps working after a task threw
}

TEST(WorkerPool, ShutdownRunsEverythingQueuedAndMayBeRepeated)
{
    WorkerPool pool(2);
    std::atomic<int> done{0};
    std::vector<std::future<bool>> results;
    for (int i = 0; i < 20; ++i) {
        results.push_back(pool.submit([&](int) {
            std::this_thread::sleep_for(1ms);
            ++done;
            return true;
        }));
    }
    pool.shutdown();
    EXPECT_EQ(done.load(), 20);
    for (auto& r : results) {
        ASSERT_EQ(r.wait_for(0s), std::future_status::ready);
        EXPECT_TRUE(r.get());
    }
    pool.shutdown();  // returns at once
}

TEST(WorkerPool, WithoutWorkersQueuedTasksEndAsBrokenPromises)
{
    auto result = [] {
        WorkerPool pool(0);
        return pool.submit([](int) { return true; });
    }();
    try {
        result.get();
        ADD_FAILURE() << "no future error";
    } catch (const std::future_error& e) {
        EXPECT_EQ(e.code(), std::future_errc::broken_promise);
    }
}

}  // namespace
}  // namespace qar
