// What the reference host records and offers, as the other tests rely on it.

#include <gtest/gtest.h>

#include "RefHost/Host.h"

namespace {

using RefHost::Outcome;

TEST(RefHostEvents, RecordsEventsInTheOrderTheyEndAndNotesMisuse)
{
    RefHost::HostContext context;
    auto* first = context.CreateDetectorEvent(nullptr, "First", 1, 1);
    auto* second = context.CreateEvent(nullptr, "Second", 2);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->GetTimestamp(), 1u);
    EXPECT_EQ(first->GetEventArgsAdjuster()->SetValue("Value", int32_t{4}), 0);
    context.RefuseValue("Refused");
    EXPECT_NE(first->GetEventArgsAdjuster()->SetValue("Refused", true), 0);
    second->Cancel();
    first->Commit();
    EXPECT_EQ(context.OpenEvents(), 0u);
    EXPECT_TRUE(context.Violations().empty());

    const auto events = context.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].name, "Second");
    EXPECT_EQ(events[0].outcome, Outcome::Cancelled);
    EXPECT_FALSE(events[0].phase.has_value());
    EXPECT_EQ(events[1].phase, 1);
    EXPECT_EQ(events[1].Int32("Value"), 4);
    ASSERT_EQ(events[1].values.size(), 2u);
    EXPECT_FALSE(events[1].values[1].accepted);
    EXPECT_EQ(events[1].Find("Refused"), nullptr);

    first->Commit();
    first->GetEventArgsAdjuster()->SetValue("Late", 1);
    EXPECT_EQ(context.Violations().size(), 3u);
}

TEST(RefHostEvents, HandedBuffersAreDestroyedWithTheirRecord)
{
    RefHost::TargetEnumeratorFactory targets;
    {
        RefHost::HostContext context;
        auto* event = context.CreateEvent(nullptr, "List", 1);
        event->GetEventArgsAdjuster()->SetMultimediaBuffer("List", targets.CreateTargetEnumeratorAdjuster(1));
        auto* open = context.CreateEvent(nullptr, "Open", 2);
        open->GetEventArgsAdjuster()->SetMultimediaBuffer("List", targets.CreateHumanBoneTargetList(2));
        event->Commit();
        EXPECT_EQ(targets.LiveLists(), 2u);
        context.Clear();  // open events stay
        EXPECT_EQ(targets.LiveLists(), 1u);
        EXPECT_EQ(context.OpenEvents(), 1u);
    }
    EXPECT_EQ(targets.LiveLists(), 0u);
}

TEST(RefHostTargets, EnumeratesAppendedTargetsFromTheStart)
{
    RefHost::TargetEnumeratorFactory factory;
    auto* list = factory.CreateTargetEnumeratorAdjuster(42);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->GetTimestamp(), 42u);
    auto* a = list->AppendTarget();
    auto* b = list->AppendTarget();
    EXPECT_EQ(list->Current(), nullptr);
    EXPECT_TRUE(list->MoveNext());
    EXPECT_EQ(list->Current(), static_cast<Kest8::IContract*>(a));
    EXPECT_TRUE(list->MoveNext());
    EXPECT_EQ(list->Current(), static_cast<Kest8::IContract*>(b));
    EXPECT_FALSE(list->MoveNext());
    EXPECT_EQ(list->Current(), nullptr);
    list->Reset();
    EXPECT_TRUE(list->MoveNext());
    EXPECT_EQ(list->Current(), static_cast<Kest8::IContract*>(a));

    factory.RefuseAppend();
    EXPECT_EQ(list->AppendTarget(), nullptr);
    factory.ReturnNoAdjuster();
    EXPECT_EQ(factory.CreateTargetEnumeratorAdjuster(43), nullptr);
    EXPECT_EQ(factory.AdjusterRequests(), (std::vector<uint64_t>{42, 43}));
    list->Destroy();
    EXPECT_EQ(factory.LiveLists(), 0u);
}

}  // namespace
