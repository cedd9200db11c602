// The begin/end state machine of one lengthy event, including what its
// destruction and moves send to the host.

#include <unistd.h>

#include <iostream>
#include <memory>
#include <new>

#include "EventTestSupport.h"

namespace {

using EventTests::EventTest;
using EventTests::IsUuid;
using EventTests::WallClockMs;
using Kest8::Framework::CDetectorEvent;
using Kest8::Framework::CDetectorEventFactory;
using Raiser = Kest8::Framework::CLengthyDetectorEventRaiser;
using RefHost::Outcome;

class RaiserTest : public EventTest {
protected:
    Raiser Make() { return factory.CreateLengthyEventRaiser("Intrusion"); }
};

TEST_F(RaiserTest, BeginAndEndWalkThroughEveryState)
{
    std::string uuid;
    {
        Raiser raiser = Make();
        uuid = raiser.Uuid();
        EXPECT_TRUE(IsUuid(uuid));
        EXPECT_EQ(raiser.GetState(), Raiser::Idle);
        CDetectorEvent begin = raiser.RaiseBegin(100);
        EXPECT_EQ(raiser.GetState(), Raiser::RaisingBegin);
        begin.SetValue("Zone", 2);
        EXPECT_TRUE(begin.Commit());
        EXPECT_EQ(raiser.GetState(), Raiser::Begun);
        CDetectorEvent end = raiser.RaiseEnd(200);
        EXPECT_EQ(raiser.GetState(), Raiser::RaisingEnd);
        EXPECT_TRUE(end.Commit());
        EXPECT_EQ(raiser.GetState(), Raiser::Ended);
    }
    const auto events = host.context.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].name, "Intrusion");
    EXPECT_EQ(events[0].phase, 1);
    EXPECT_EQ(events[0].timestamp, 100u);
    EXPECT_EQ(events[0].Names(), (std::vector<std::string>{"DetectorsGroup", "EventUuid", "Zone"}));
    EXPECT_EQ(events[1].phase, 2);
    EXPECT_EQ(events[1].timestamp, 200u);
    for (const auto& e : events) {
        EXPECT_EQ(e.String("EventUuid"), uuid);
        EXPECT_EQ(e.String("DetectorsGroup"), "Tracker");
    }
    EXPECT_EQ(host.logger.Count(), 0u);
}

TEST_F(RaiserTest, DestroyingABegunRaiserEndsTheEventAtTheCurrentTime)
{
    std::string uuid;
    uint64_t before = 0;
    {
        Raiser raiser = Make();
        uuid = raiser.Uuid();
        EXPECT_TRUE(raiser.RaiseBegin(100).Commit());
        before = WallClockMs();
    }
    const uint64_t after = WallClockMs();
    const auto events = host.context.Events();
    ASSERT_EQ(events.size(), 2u);
    const auto& end = events[1];
    EXPECT_EQ(end.phase, 2);
    EXPECT_EQ(end.outcome, Outcome::Committed);
    EXPECT_GE(end.timestamp, before);
    EXPECT_LE(end.timestamp, after);
    EXPECT_EQ(end.Names(), (std::vector<std::string>{"DetectorsGroup", "EventUuid"}));
    EXPECT_EQ(end.String("EventUuid"), uuid);
}

TEST_F(RaiserTest, CancelledOrDroppedBeginCanBeRaisedAgainWithTheSameUuid)
{
    Raiser raiser = Make();
    raiser.RaiseBegin(1).Cancel();
    EXPECT_EQ(raiser.GetState(), Raiser::Idle);
    {
        CDetectorEvent dropped = raiser.RaiseBegin(2);
    }
    EXPECT_EQ(raiser.GetState(), Raiser::Idle);
    host.context.RefuseValue("Zone");
    CDetectorEvent failed = raiser.RaiseBegin(3);
    failed.SetValue("Zone", 1);
    EXPECT_FALSE(failed.Commit());
    EXPECT_EQ(raiser.GetState(), Raiser::Idle);
    EXPECT_TRUE(raiser.RaiseBegin(4).Commit());
    EXPECT_TRUE(raiser.RaiseEnd(5).Commit());

    const auto events = host.context.Events();
    ASSERT_EQ(events.size(), 5u);
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].outcome, i < 3 ? Outcome::Cancelled : Outcome::Committed) << i;
        EXPECT_EQ(events[i].String("EventUuid"), raiser.Uuid());
    }
}

TEST_F(RaiserTest, CancelledEndCanBeRaisedAgain)
{
    Raiser raiser = Make();
    EXPECT_TRUE(raiser.RaiseBegin(1).Commit());
    raiser.RaiseEnd(2).Cancel();
    EXPECT_EQ(raiser.GetState(), Raiser::Begun);
    EXPECT_TRUE(raiser.RaiseEnd(3).Commit());
    EXPECT_EQ(raiser.GetState(), Raiser::Ended);
    EXPECT_EQ(host.context.Events().size(), 3u);
}

TEST_F(RaiserTest, MissingHostEventCountsAsCancelled)
{
    {
        Raiser raiser = Make();
        host.context.ReturnNoEvent();
        EXPECT_FALSE(raiser.RaiseBegin(1).Commit());
        EXPECT_EQ(raiser.GetState(), Raiser::Idle);
        host.context.ReturnNoEvent(false);
        EXPECT_TRUE(raiser.RaiseBegin(2).Commit());
        host.context.ReturnNoEvent();
        EXPECT_FALSE(raiser.RaiseEnd(3).Commit());
        EXPECT_EQ(raiser.GetState(), Raiser::Begun);
        host.context.ReturnNoEvent(false);
    }
    // The open event was ended as the raiser went.
    const auto events = host.context.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].timestamp, 2u);
    EXPECT_EQ(events[1].phase, 2);
}

TEST_F(RaiserTest, MovedRaiserKeepsTheOpenEventAndEndsItOnce)
{
    auto source = std::make_unique<Raiser>(Make());
    const std::string uuid = source->Uuid();
    EXPECT_TRUE(source->RaiseBegin(1).Commit());
    {
        Raiser moved(std::move(*source));
        EXPECT_EQ(moved.GetState(), Raiser::Begun);
        EXPECT_EQ(moved.Uuid(), uuid);
        EXPECT_EQ(source->GetState(), Raiser::MovedFrom);
    }
    source.reset();
    const auto events = host.context.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].phase, 2);
    EXPECT_EQ(events[1].String("EventUuid"), uuid);
}

TEST_F(RaiserTest, MoveAssignmentEndsTheEventItReplaces)
{
    Raiser kept = Make();
    Raiser incoming = Make();
    const std::string replacedUuid = kept.Uuid();
    const std::string incomingUuid = incoming.Uuid();
    EXPECT_TRUE(kept.RaiseBegin(1).Commit());
    EXPECT_TRUE(incoming.RaiseBegin(2).Commit());

    kept = std::move(incoming);
    EXPECT_EQ(kept.GetState(), Raiser::Begun);
    EXPECT_EQ(kept.Uuid(), incomingUuid);
    EXPECT_EQ(incoming.GetState(), Raiser::MovedFrom);
    EXPECT_TRUE(kept.RaiseEnd(9).Commit());

    const auto events = host.context.Events();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[2].phase, 2);
    EXPECT_EQ(events[2].String("EventUuid"), replacedUuid);
    EXPECT_EQ(events[3].phase, 2);
    EXPECT_EQ(events[3].timestamp, 9u);
    EXPECT_EQ(events[3].String("EventUuid"), incomingUuid);

    Raiser idle = Make();
    kept = std::move(idle);  // nothing left open: nothing sent
    EXPECT_EQ(host.context.Events().size(), 4u);
}

TEST_F(RaiserTest, RaiserWithoutUuidWritesNone)
{
    Raiser raiser(&factory, "Intrusion", "", factory.DetectorsGroup());
    EXPECT_TRUE(raiser.RaiseBegin(1).Commit());
    EXPECT_TRUE(raiser.RaiseEnd(2).Commit());
    for (const auto& e : host.context.Events()) EXPECT_EQ(e.Names(), std::vector<std::string>{"DetectorsGroup"});
}

TEST_F(RaiserTest, UnboundRaiserRaisesNothing)
{
    Raiser raiser;
    EXPECT_FALSE(raiser.RaiseBegin(1).Commit());
    EXPECT_EQ(raiser.GetState(), Raiser::Idle);
    EXPECT_EQ(host.context.Requests(), 0u);
}

// Out-of-order use is a programming error: logged, then the process aborts.
class RaiserDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

    struct Scene {
        RefHost::Host host{0};
        EventTests::FakeDetector detector;
        CDetectorEventFactory factory{&detector, &host.context, &host.logger, "Tracker"};
        Scene() { host.logger.EchoTo(&std::cerr); }
    };
};

TEST_F(RaiserDeathTest, EndBeforeBegin)
{
    EXPECT_DEATH(
        {
            Scene scene;
            Raiser raiser = scene.factory.CreateLengthyEventRaiser("Intrusion");
            raiser.RaiseEnd(1);
        },
        "\\[3\\] KestFramework/src/EventRaising:[0-9]+ setState: CLengthyDetectorEventRaiser: Unexpected state "
        "transition from 0 to 3 during raising 'end'");
}

TEST_F(RaiserDeathTest, SecondBeginWhileTheFirstIsPending)
{
    EXPECT_DEATH(
        {
            Scene scene;
            Raiser raiser = scene.factory.CreateLengthyEventRaiser("Intrusion");
            CDetectorEvent first = raiser.RaiseBegin(1);
            raiser.RaiseBegin(2);
        },
        "Unexpected state transition from 1 to 1 during raising 'begin'");
}

TEST_F(RaiserDeathTest, EndAfterTheEnd)
{
    EXPECT_DEATH(
        {
            Scene scene;
            Raiser raiser = scene.factory.CreateLengthyEventRaiser("Intrusion");
            raiser.RaiseBegin(1).Commit();
            raiser.RaiseEnd(2).Commit();
            raiser.RaiseEnd(3);
        },
        "Unexpected state transition from 4 to 3 during raising 'end'");
}

// A pending begin on the assigning thread itself can never settle: the
// assignment reports it instead of spinning (the alarm only ends a hang).
TEST_F(RaiserDeathTest, AssignmentOntoARaiserWithItsBeginPendingHere)
{
    EXPECT_DEATH(
        {
            alarm(10);
            Scene scene;
            Raiser raiser = scene.factory.CreateLengthyEventRaiser("Intrusion");
            CDetectorEvent pending = raiser.RaiseBegin(1);
            raiser = scene.factory.CreateLengthyEventRaiser("Intrusion");
        },
        "\\[3\\] KestFramework/src/EventRaising:[0-9]+ swapWhenSettled: CLengthyDetectorEventRaiser: Unexpected "
        "state transition from 1 to 6 during move assignment");
}

TEST_F(RaiserDeathTest, AssignmentFromARaiserWithItsEndPendingHere)
{
    EXPECT_DEATH(
        {
            alarm(10);
            Scene scene;
            Raiser source = scene.factory.CreateLengthyEventRaiser("Intrusion");
            source.RaiseBegin(1).Commit();
            CDetectorEvent pending = source.RaiseEnd(2);
            Raiser target = scene.factory.CreateLengthyEventRaiser("Intrusion");
            target = std::move(source);
        },
        "Unexpected state transition from 3 to 6 during move assignment");
}

TEST_F(RaiserDeathTest, SecondDestruction)
{
    EXPECT_DEATH(
        {
            Scene scene;
            alignas(Raiser) unsigned char storage[sizeof(Raiser)];
            auto* raiser = new (storage) Raiser(&scene.factory, "Intrusion", "", "Tracker");
            raiser->~Raiser();
            raiser->~Raiser();
        },
        "\\[3\\] KestFramework/src/EventRaising:[0-9]+ ~CLengthyDetectorEventRaiser: CLengthyDetectorEventRaiser: "
        "Unexpected state during destruction: 5");
}

}  // namespace
