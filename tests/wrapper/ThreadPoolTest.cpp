// Our worker pool.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "KestCv/DynamicThreadPool.h"

namespace {

using KestCvUtils::CreateDynamicThreadPool;

TEST(ThreadPool, RunsTasksOnItsOwnThreadsAndReturnsTheirResults)
{
    auto pool = CreateDynamicThreadPool(nullptr, "test", 4, 1, 1, true);
    auto id = pool->PostTask([] { return std::this_thread::get_id(); });
    EXPECT_NE(id.get(), std::this_thread::get_id());
    EXPECT_EQ(pool->PostTask([] { return 6 * 7; }).get(), 42);
    auto failing = pool->PostTask([]() -> int { throw std::runtime_error("task failed"); });
    EXPECT_THROW(failing.get(), std::runtime_error);
    // The thread that ran the failing task still serves.
    EXPECT_EQ(pool->PostTask([] { return 1; }).get(), 1);
    EXPECT_FALSE(pool->Post(KestCvUtils::IDynamicThreadPool::Task()));
}

TEST(ThreadPool, GrowsWhenEveryThreadIsBusy)
{
    auto pool = CreateDynamicThreadPool(nullptr, "test", 4, 1, 1, true);
    std::mutex mutex;
    std::condition_variable changed;
    bool release = false;
    auto blocked = pool->PostTask([&] {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return release; });
    });
    // Would wait forever behind the first task without a second thread.
    EXPECT_EQ(pool->PostTask([] { return 5; }).get(), 5);
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    changed.notify_all();
    blocked.get();
}

TEST(ThreadPool, DestructionFinishesQueuedTasksAndRefusesNewOnes)
{
    std::atomic<int> done{0};
    std::atomic<bool> refused{false};
    std::atomic<bool> destroying{false};
    std::string refusal;
    {
        auto pool = CreateDynamicThreadPool(nullptr, "test", 1, 1, 1, false);
        KestCvUtils::IDynamicThreadPool* raw = pool.get();
        auto first = pool->PostTask([&] {
            while (!destroying) std::this_thread::yield();
            // Once destruction has begun, posting is refused.
            for (;;) {
                try {
                    raw->PostTask([] {});
                } catch (const KestCvUtils::XDynamicThreadPoolError& e) {
                    refusal = e.what();
                    refused = true;
                    return;
                }
                std::this_thread::yield();
            }
        });
        for (int i = 0; i < 10; ++i) pool->PostTask([&] { ++done; });
        destroying = true;
        pool.reset();
    }
    EXPECT_EQ(done.load(), 10);
    EXPECT_TRUE(refused);
    EXPECT_EQ(refusal, "unable to post a task into the pool");
}

TEST(ThreadPool, APoolReleasedByItsOwnTaskEndsCleanly)
{
    auto pool = CreateDynamicThreadPool(nullptr, "test", 2, 1, 1, true);
    std::promise<void> posted;
    std::promise<void> ended;
    auto postedFuture = posted.get_future().share();
    auto endedFuture = ended.get_future();
    auto* holder = new std::shared_ptr<KestCvUtils::IDynamicThreadPool>(pool);
    pool.reset();
    ASSERT_TRUE((*holder)->Post([holder, postedFuture, &ended] {
        postedFuture.wait();
        delete holder;  // the last owner goes on the pool's own thread
        ended.set_value();
    }));
    posted.set_value();
    endedFuture.wait();
}

}  // namespace
