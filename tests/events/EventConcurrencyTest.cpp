// Raisers destroyed or moved on one thread while their pending event is
// finished on another, and detectors reporting side by side.

#include <atomic>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "EventTestSupport.h"
#include "TargetsReportingHelper.h"

namespace {

using EventTests::EventTest;
using EventTests::FakeDetector;
using Kest8::Framework::CDetectorEvent;
using Kest8::Framework::CDetectorEventFactory;
using Raiser = Kest8::Framework::CLengthyDetectorEventRaiser;
using RefHost::Outcome;

constexpr int kRounds = 50;

class RaiserThreadsTest : public EventTest {};

void AwaitStart(const std::atomic<bool>& started)
{
    while (!started.load()) std::this_thread::yield();
}

TEST_F(RaiserThreadsTest, DestructionWaitsForABeginCommittedOnAnotherThread)
{
    for (int round = 0; round < kRounds; ++round) {
        auto raiser = std::make_unique<Raiser>(factory.CreateLengthyEventRaiser("Intrusion"));
        const std::string uuid = raiser->Uuid();
        CDetectorEvent begin = raiser->RaiseBegin(1000);
        std::atomic<bool> started{false};
        std::atomic<bool> destroyed{false};
        std::thread destroyer([&] {
            started = true;
            raiser.reset();
            destroyed = true;
        });
        AwaitStart(started);
        begin.SetValue("Zone", round);
        EXPECT_FALSE(destroyed.load());
        EXPECT_TRUE(begin.Commit());
        destroyer.join();

        const auto events = host.context.Events();
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(events[0].phase, 1);
        EXPECT_EQ(events[0].Int32("Zone"), round);
        EXPECT_EQ(events[1].phase, 2);
        EXPECT_EQ(events[1].outcome, Outcome::Committed);
        EXPECT_EQ(events[1].String("EventUuid"), uuid);
        host.context.Clear();
    }
}

TEST_F(RaiserThreadsTest, DestructionAfterACancelOnAnotherThreadSendsNothing)
{
    for (int round = 0; round < kRounds; ++round) {
        auto raiser = std::make_unique<Raiser>(factory.CreateLengthyEventRaiser("Intrusion"));
        CDetectorEvent begin = raiser->RaiseBegin(1000);
        std::atomic<bool> started{false};
        std::thread destroyer([&] {
            started = true;
            raiser.reset();
        });
        AwaitStart(started);
        begin.Cancel();
        destroyer.join();
        const auto events = host.context.Events();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].outcome, Outcome::Cancelled);
        host.context.Clear();
    }
}

TEST_F(RaiserThreadsTest, MoveWaitsForAnEndCancelledOnAnotherThread)
{
    for (int round = 0; round < kRounds; ++round) {
        Raiser source = factory.CreateLengthyEventRaiser("Intrusion");
        EXPECT_TRUE(source.RaiseBegin(1).Commit());
        CDetectorEvent end = source.RaiseEnd(2);
        std::atomic<bool> started{false};
        std::optional<Raiser> moved;
        std::thread mover([&] {
            started = true;
            moved.emplace(std::move(source));
        });
        AwaitStart(started);
        end.Cancel();
        mover.join();
        EXPECT_EQ(source.GetState(), Raiser::MovedFrom);
        ASSERT_TRUE(moved.has_value());
        EXPECT_EQ(moved->GetState(), Raiser::Begun);
        EXPECT_TRUE(moved->RaiseEnd(3).Commit());
        EXPECT_EQ(moved->GetState(), Raiser::Ended);
        host.context.Clear();
    }
}

TEST(EventConcurrency, DetectorsReportSideBySide)
{
    RefHost::Host host{0};
    constexpr int kDetectors = 2;
    constexpr uint64_t kFrames = 200;
    std::vector<std::thread> threads;
    FakeDetector detectors[kDetectors];
    for (int d = 0; d < kDetectors; ++d) {
        threads.emplace_back([&host, &detectors, d] {
            CDetectorEventFactory events(&detectors[d], &host.context, &host.logger, "Tracker");
            auto helper = Kest8::Framework::TargetsReportingHelper::Create(&host.targets, events, "Tracker", true);
            const QelWrapper::RelativeRect box{0, 0, 0.5, 0.5};
            for (uint64_t frame = 1; frame <= kFrames; ++frame) {
                auto report = helper->BeginReport(frame);
                const uint32_t track = static_cast<uint32_t>(frame / 10);
                const auto phase = frame % 10 == 0   ? Kest8::Framework::kTrackAppeared
                                   : frame % 10 == 9 ? Kest8::Framework::kTrackEnded
                                                     : Kest8::Framework::kTrackContinuing;
                report.AddTarget(track, 1, phase, &box);
            }
        });
    }
    for (auto& thread : threads) thread.join();

    for (int d = 0; d < kDetectors; ++d) {
        size_t lists = 0;
        size_t begins = 0;
        size_t ends = 0;
        for (const auto& event : host.context.Events()) {
            if (event.detector != &detectors[d]) continue;
            lists += event.name == "TargetList" ? 1 : 0;
            begins += event.name == "TargetLifeEvent" && event.phase == 1 ? 1 : 0;
            ends += event.name == "TargetLifeEvent" && event.phase == 2 ? 1 : 0;
        }
        EXPECT_EQ(lists, kFrames + 1);
        EXPECT_EQ(begins, kFrames / 10);
        EXPECT_EQ(ends, kFrames / 10);
    }
    EXPECT_TRUE(host.context.Violations().empty());
}

}  // namespace
