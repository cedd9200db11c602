// Routing of SDK result batches to the observers of their streams.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "BatchObserver.h"
#include "ObjectObserver.h"
#include "ObserverSupport.h"

namespace {

using namespace ObserverSupport;
using QelWrapper::BatchObserver;
using QelWrapper::FrameResult;
using QelWrapper::ObjectObserver;

std::vector<FrameResult> Drain(ObjectObserver& observer)
{
    std::vector<FrameResult> all;
    FrameResult result;
    while (observer.PopResult(result)) all.push_back(result);
    return all;
}

class BatchRouting : public ::testing::Test {
protected:
    void SetUp() override { Log().Lines().Clear(); }

    ObjectObserver first{Config()};
    ObjectObserver second{Config()};
    BatchObserver routing;
};

TEST_F(BatchRouting, EachStreamReachesOnlyItsObserverInTheGivenOrder)
{
    routing.Register(101, &first);
    routing.Register(102, &second);
    FakeBatch* batch = nullptr;
    auto ref = MakeBatch(batch);
    batch->Add(101, 6, 60);
    batch->Add(999, 1, 10);
    batch->Add(102, 7, 70);
    batch->Add(101, 5, 50);  // the SDK's order, not the numbers', counts
    routing.batchTrackingResult(ref);

    const auto mine = Drain(first);
    ASSERT_EQ(mine.size(), 2u);
    EXPECT_EQ(mine[0].frameId, 6u);
    EXPECT_EQ(mine[0].timestamp, 60u);
    EXPECT_EQ(mine[1].frameId, 5u);
    const auto theirs = Drain(second);
    ASSERT_EQ(theirs.size(), 1u);
    EXPECT_EQ(theirs[0].timestamp, 70u);

    const auto lost = Log().Lines().LinesWithText("Common observer for stream 999 is not found.");
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_EQ(lost[0].level, 3);
    EXPECT_EQ(lost[0].file, "Detectors/QelObjectTracker/SdkWrapper/Logger");
}

TEST_F(BatchRouting, TheLastRegistrationOfAnIdWins)
{
    routing.Register(101, &first);
    routing.Register(101, &second);
    routing.Unregister(555);  // absent: nothing changes
    FakeBatch* batch = nullptr;
    auto ref = MakeBatch(batch);
    batch->Add(101, 1, 10);
    routing.batchTrackingResult(ref);
    EXPECT_TRUE(Drain(first).empty());
    EXPECT_EQ(Drain(second).size(), 1u);

    routing.Unregister(101);
    routing.batchTrackingResult(ref);
    EXPECT_TRUE(Drain(second).empty());
    EXPECT_EQ(Log().Lines().LinesWithText("Common observer for stream 101 is not found.").size(), 1u);
}

TEST_F(BatchRouting, EmptyBatchesAndResultsWithoutOurDataAreDropped)
{
    routing.Register(101, &first);
    routing.batchTrackingResult(fsdk::Ref<tsdk::ITrackingResultBatch>());
    struct Foreign final : tsdk::AdditionalFrameData {};
    FakeBatch* batch = nullptr;
    auto ref = MakeBatch(batch);
    FakeFrame none;
    none.frameId = 1;
    batch->Add(101, std::move(none));
    FakeFrame foreign;
    foreign.frameId = 2;
    foreign.data = std::make_unique<Foreign>();
    batch->Add(101, std::move(foreign));
    batch->Add(101, 3, 30);
    routing.batchTrackingResult(ref);
    const auto results = Drain(first);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].frameId, 3u);
    EXPECT_TRUE(Log().Lines().LinesWithText("Common observer for stream 101 is not found.").empty());
}

TEST_F(BatchRouting, NoResultArrivesOnceUnregisterHasReturned)
{
    routing.Register(101, &first);
    routing.Register(102, &second);
    std::atomic<bool> stop{false};
    std::atomic<int> deliveredAfter{0};
    std::atomic<bool> unregistered{false};
    std::mutex mutex;
    std::condition_variable delivering;
    bool underWay = false;
    std::thread sdk([&] {
        uint32_t frame = 0;
        while (!stop) {
            FakeBatch* batch = nullptr;
            auto ref = MakeBatch(batch);
            batch->Add(102, frame, frame);
            batch->Add(101, frame, frame);
            ++frame;
            routing.batchTrackingResult(ref);
            if (frame == 1) {
                std::lock_guard<std::mutex> lock(mutex);
                underWay = true;
                delivering.notify_all();
            }
            if (unregistered && ++deliveredAfter >= 50) stop = true;
        }
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        delivering.wait(lock, [&] { return underWay; });
    }
    FrameResult result;
    EXPECT_TRUE(first.PopResult(result));  // the first batch is in
    routing.Unregister(101);
    unregistered = true;
    Drain(first);
    sdk.join();
    EXPECT_TRUE(Drain(first).empty());
    EXPECT_FALSE(Drain(second).empty());
}

}  // namespace
