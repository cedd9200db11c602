// Per-frame target reports and the life events of tracks.

#include <stdexcept>
#include <utility>

#include "EventTestSupport.h"
#include "TargetsReportingHelper.h"

namespace {

using EventTests::EventTest;
using EventTests::Names;
using EventTests::WallClockMs;
using Kest8::Framework::TargetsReportingHelper;
using Kest8::Framework::TrackPhase;
using RefHost::EventRecord;
using RefHost::Outcome;
using RefHost::TargetRecord;

constexpr TrackPhase kContinuing = Kest8::Framework::kTrackContinuing;
constexpr TrackPhase kAppeared = Kest8::Framework::kTrackAppeared;
constexpr TrackPhase kEnded = Kest8::Framework::kTrackEnded;
const QelWrapper::RelativeRect kBox{0.1, 0.2, 0.3, 0.4};

class ReportTest : public EventTest {
protected:
    std::shared_ptr<TargetsReportingHelper> Create(bool lifeEvents)
    {
        return TargetsReportingHelper::Create(&host.targets, factory, "Tracker", lifeEvents);
    }

    static void Report(TargetsReportingHelper& helper, uint64_t timestamp,
                       std::initializer_list<std::pair<uint32_t, TrackPhase>> tracks)
    {
        auto report = helper.BeginReport(timestamp);
        for (const auto& [id, phase] : tracks) report.AddTarget(id, 1, phase, &kBox);
    }

    std::vector<EventRecord> Lists() const { return host.context.Events("TargetList"); }
    std::vector<EventRecord> LifeEvents() const { return host.context.Events("TargetLifeEvent"); }

    static std::vector<TargetRecord> TargetsOf(const EventRecord& list)
    {
        const RefHost::EventValue* value = list.Find("TargetList");
        if (value == nullptr || value->Targets() == nullptr) {
            ADD_FAILURE() << "no target list in the event";
            return {};
        }
        return value->Targets()->Targets();
    }
};

TEST_F(ReportTest, TrackLifeWithLifeEvents)
{
    auto helper = Create(true);
    Report(*helper, 1000, {{5, kAppeared}});
    Report(*helper, 1040, {{5, kContinuing}});
    Report(*helper, 1080, {{5, kContinuing}});
    Report(*helper, 1120, {{5, kEnded}});

    EXPECT_EQ(Names(host.context.Events()), (std::vector<std::string>{"TargetLifeEvent", "TargetList", "TargetList",
                                                                      "TargetList", "TargetLifeEvent", "TargetList"}));
    const auto lists = Lists();
    ASSERT_EQ(lists.size(), 4u);
    const uint64_t times[] = {1000, 1040, 1080, 1120};
    const uint32_t phases[] = {1, 0, 0, 2};
    for (size_t frame = 0; frame < 4; ++frame) {
        SCOPED_TRACE(frame);
        EXPECT_EQ(lists[frame].timestamp, times[frame]);
        EXPECT_EQ(lists[frame].outcome, Outcome::Committed);
        const auto targets = TargetsOf(lists[frame]);
        ASSERT_EQ(targets.size(), 1u);
        EXPECT_EQ(targets[0].phase, phases[frame]);
        ASSERT_TRUE(targets[0].box.has_value());
        EXPECT_EQ(targets[0].box->left, 0.1);
        EXPECT_EQ(targets[0].box->top, 0.2);
        EXPECT_EQ(targets[0].box->width, 0.3);
        EXPECT_EQ(targets[0].box->height, 0.4);
        EXPECT_EQ(targets[0].Int32("ObjectId"), 5);
        EXPECT_EQ(targets[0].Int32("ObjectClassEnum"), 1);
        if (frame == 0)
            EXPECT_FALSE(targets[0].Has("TargetLifeTime"));
        else
            EXPECT_EQ(targets[0].Int32("TargetLifeTime"), static_cast<int32_t>(times[frame] - 1000));
    }

    const auto life = LifeEvents();
    ASSERT_EQ(life.size(), 2u);
    EXPECT_EQ(life[0].phase, 1);
    EXPECT_EQ(life[0].timestamp, 1000u);
    EXPECT_EQ(life[0].Names(), (std::vector<std::string>{"DetectorsGroup", "EventUuid", "TrackId", "ObjectId"}));
    EXPECT_EQ(life[1].phase, 2);
    EXPECT_EQ(life[1].timestamp, 1120u);
    EXPECT_EQ(life[1].Int32("TargetLifeTime"), 120);
    for (const auto& e : life) {
        EXPECT_EQ(e.outcome, Outcome::Committed);
        EXPECT_EQ(e.Int32("TrackId"), 5);
        EXPECT_EQ(e.Int32("ObjectId"), 5);
        EXPECT_EQ(e.String("DetectorsGroup"), "Tracker");
    }
    EXPECT_EQ(life[0].String("EventUuid"), life[1].String("EventUuid"));

    // Nothing is open any more: the last list carries no target.
    helper.reset();
    const auto all = Lists();
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(all[4].timestamp, 1120u);
    EXPECT_TRUE(TargetsOf(all[4]).empty());
    EXPECT_EQ(LifeEvents().size(), 2u);
    EXPECT_EQ(host.targets.LiveLists(), 5u);
}

TEST_F(ReportTest, WithoutLifeEventsOnlyTargetListsAreSent)
{
    auto helper = Create(false);
    Report(*helper, 10, {{5, kAppeared}, {6, kAppeared}});
    Report(*helper, 20, {{5, kContinuing}, {6, kEnded}});
    helper.reset();

    EXPECT_TRUE(LifeEvents().empty());
    const auto lists = Lists();
    ASSERT_EQ(lists.size(), 3u);
    for (const auto& list : lists)
        for (const auto& target : TargetsOf(list)) EXPECT_FALSE(target.Has("TargetLifeTime"));
    // Track 5 was still open and is closed as the helper goes.
    const auto last = TargetsOf(lists[2]);
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].Int32("ObjectId"), 5);
    EXPECT_EQ(last[0].phase, 2u);
}

TEST_F(ReportTest, TopBitOfTheTrackIdIsDroppedOnlyInValues)
{
    auto helper = Create(true);
    Report(*helper, 10, {{0x80000003u, kAppeared}, {3, kAppeared}});
    Report(*helper, 20, {{3, kEnded}});
    helper.reset();

    const auto targets = TargetsOf(Lists()[0]);
    ASSERT_EQ(targets.size(), 2u);
    EXPECT_EQ(targets[0].Int32("ObjectId"), 3);
    EXPECT_EQ(targets[1].Int32("ObjectId"), 3);
    // Two tracks: two begins, the end of track 3, then the close of the other.
    const auto life = LifeEvents();
    ASSERT_EQ(life.size(), 4u);
    EXPECT_NE(life[0].String("EventUuid"), life[1].String("EventUuid"));
    EXPECT_EQ(life[2].String("EventUuid"), life[1].String("EventUuid"));
    EXPECT_EQ(life[2].timestamp, 20u);
    EXPECT_EQ(life[3].String("EventUuid"), life[0].String("EventUuid"));
    for (const auto& e : life) EXPECT_EQ(e.Int32("TrackId"), 3);
}

TEST_F(ReportTest, EndOfAnUnknownTrackIsReportedWithoutLifeEvent)
{
    auto helper = Create(true);
    Report(*helper, 10, {{9, kEnded}});
    const auto targets = TargetsOf(Lists()[0]);
    ASSERT_EQ(targets.size(), 1u);
    EXPECT_EQ(targets[0].phase, 2u);
    EXPECT_FALSE(targets[0].Has("TargetLifeTime"));
    EXPECT_TRUE(LifeEvents().empty());
}

TEST_F(ReportTest, RepeatedAppearanceEndsTheEarlierLifeEventFirst)
{
    auto helper = Create(true);
    Report(*helper, 10, {{4, kAppeared}});
    Report(*helper, 25, {{4, kAppeared}});
    Report(*helper, 40, {{4, kEnded}});

    const auto life = LifeEvents();
    ASSERT_EQ(life.size(), 4u);
    EXPECT_EQ(life[0].phase, 1);
    EXPECT_EQ(life[1].phase, 2);
    EXPECT_EQ(life[1].timestamp, 25u);
    EXPECT_EQ(life[1].Int32("TargetLifeTime"), 15);
    EXPECT_EQ(life[1].String("EventUuid"), life[0].String("EventUuid"));
    EXPECT_EQ(life[2].phase, 1);
    EXPECT_EQ(life[2].timestamp, 25u);
    EXPECT_NE(life[2].String("EventUuid"), life[0].String("EventUuid"));
    EXPECT_EQ(life[3].timestamp, 40u);
    EXPECT_EQ(life[3].Int32("TargetLifeTime"), 15);
    EXPECT_EQ(life[3].String("EventUuid"), life[2].String("EventUuid"));

    const auto lists = Lists();
    EXPECT_EQ(TargetsOf(lists[1])[0].Int32("TargetLifeTime"), 15);
    EXPECT_EQ(TargetsOf(lists[2])[0].Int32("TargetLifeTime"), 15);
}

TEST_F(ReportTest, DroppingTheHelperClosesOpenTracksInIdOrder)
{
    auto helper = Create(true);
    Report(*helper, 400, {{7, kAppeared}});
    Report(*helper, 500, {{7, kContinuing}, {3, kAppeared}});
    host.context.Clear();
    helper.reset();

    EXPECT_EQ(Names(host.context.Events()),
              (std::vector<std::string>{"TargetLifeEvent", "TargetLifeEvent", "TargetList"}));
    const auto life = LifeEvents();
    EXPECT_EQ(life[0].Int32("TrackId"), 3);
    EXPECT_EQ(life[0].Int32("TargetLifeTime"), 0);
    EXPECT_EQ(life[1].Int32("TrackId"), 7);
    EXPECT_EQ(life[1].Int32("TargetLifeTime"), 100);
    for (const auto& e : life) {
        EXPECT_EQ(e.phase, 2);
        EXPECT_EQ(e.timestamp, 500u);
    }
    const auto list = Lists()[0];
    EXPECT_EQ(list.timestamp, 500u);
    const auto targets = TargetsOf(list);
    ASSERT_EQ(targets.size(), 2u);
    const int32_t ids[] = {3, 7};
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(targets[i].Int32("ObjectId"), ids[i]);
        EXPECT_EQ(targets[i].Int32("ObjectClassEnum"), 0);
        EXPECT_EQ(targets[i].phase, 2u);
        ASSERT_TRUE(targets[i].box.has_value());
        EXPECT_EQ(targets[i].box->left, 0.0);
        EXPECT_EQ(targets[i].box->top, 0.0);
        EXPECT_EQ(targets[i].box->width, 0.0);
        EXPECT_EQ(targets[i].box->height, 0.0);
    }
}

TEST_F(ReportTest, HelperLivesWhileAReportHoldsIt)
{
    auto helper = Create(true);
    auto report = helper->BeginReport(10);
    report.AddTarget(1, 1, kAppeared, &kBox);
    helper.reset();  // closes track 1 in a list of its own
    EXPECT_EQ(Lists().size(), 1u);
    report.AddTarget(2, 1, kAppeared, &kBox);
    {
        auto closing = std::move(report);
    }
    const auto lists = Lists();
    ASSERT_EQ(lists.size(), 2u);
    EXPECT_EQ(TargetsOf(lists[1]).size(), 2u);
    // Track 2 appeared after the close; its raiser ends it as the helper goes.
    const auto life = LifeEvents();
    ASSERT_EQ(life.size(), 4u);
    EXPECT_EQ(life[2].Int32("TrackId"), 2);
    EXPECT_EQ(life[3].phase, 2);
    EXPECT_EQ(life[3].String("EventUuid"), life[2].String("EventUuid"));
}

TEST_F(ReportTest, NoAdjusterFailsTheReportAndChangesNothing)
{
    auto helper = Create(true);
    Report(*helper, 100, {{7, kAppeared}});
    host.targets.ReturnNoAdjuster();
    try {
        helper->BeginReport(200);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Failed to allocate target enumerator adjuster");
    }
    host.targets.ReturnNoAdjuster(false);
    helper.reset();
    const auto lists = Lists();
    ASSERT_EQ(lists.size(), 2u);
    EXPECT_EQ(lists[1].timestamp, 100u);
    EXPECT_EQ(LifeEvents().back().timestamp, 100u);
}

TEST_F(ReportTest, WithoutAdjusterAtTheEndLifeEventsAreStillEnded)
{
    auto helper = Create(true);
    Report(*helper, 100, {{7, kAppeared}});
    host.targets.ReturnNoAdjuster();
    const uint64_t before = WallClockMs();
    EXPECT_NO_THROW(helper.reset());
    const uint64_t after = WallClockMs();

    EXPECT_EQ(Lists().size(), 1u);
    const auto life = LifeEvents();
    ASSERT_EQ(life.size(), 2u);
    EXPECT_EQ(life[1].phase, 2);
    EXPECT_GE(life[1].timestamp, before);
    EXPECT_LE(life[1].timestamp, after);
    EXPECT_EQ(life[1].String("EventUuid"), life[0].String("EventUuid"));
}

TEST_F(ReportTest, MissingFactoryOrBoxIsNoCrash)
{
    auto orphan = TargetsReportingHelper::Create(nullptr, factory, "Tracker", true);
    EXPECT_THROW(orphan->BeginReport(1), std::runtime_error);
    orphan.reset();

    auto helper = Create(false);
    helper->BeginReport(5).AddTarget(1, 1, kContinuing, nullptr);
    const auto targets = TargetsOf(Lists()[0]);
    ASSERT_EQ(targets.size(), 1u);
    ASSERT_TRUE(targets[0].box.has_value());
    EXPECT_EQ(targets[0].box->width, 0.0);
    EXPECT_TRUE(host.targets.Violations().empty());
}

TEST_F(ReportTest, RefusedAppendStillKeepsTheBookkeeping)
{
    auto helper = Create(true);
    host.targets.RefuseAppend();
    auto report = helper->BeginReport(10);
    EXPECT_EQ(report.AddTarget(4, 1, kAppeared, &kBox), nullptr);
    {
        auto closing = std::move(report);
    }
    Report(*helper, 20, {{4, kEnded}});

    for (const auto& list : Lists()) EXPECT_TRUE(TargetsOf(list).empty());
    const auto life = LifeEvents();
    ASSERT_EQ(life.size(), 2u);
    EXPECT_EQ(life[1].timestamp, 20u);
}

TEST_F(ReportTest, ListWithoutHostEventIsDestroyedByTheHelper)
{
    auto helper = Create(true);
    host.context.ReturnNoEvent();
    Report(*helper, 10, {{4, kAppeared}});
    EXPECT_EQ(host.targets.CreatedLists(), 1u);
    EXPECT_EQ(host.targets.LiveLists(), 0u);
    Report(*helper, 20, {{4, kEnded}});
    helper.reset();
    EXPECT_EQ(host.targets.LiveLists(), 0u);
    EXPECT_TRUE(host.context.Events().empty());
}

TEST_F(ReportTest, UncommittedBeginGetsNoEnd)
{
    auto helper = Create(true);
    host.context.RefuseValue("TrackId");
    Report(*helper, 10, {{4, kAppeared}, {5, kAppeared}});
    host.context.RefuseValue("TrackId", false);
    Report(*helper, 20, {{4, kEnded}});
    helper.reset();

    const auto life = LifeEvents();
    ASSERT_EQ(life.size(), 2u);
    for (const auto& e : life) {
        EXPECT_EQ(e.phase, 1);
        EXPECT_EQ(e.outcome, Outcome::Cancelled);
    }
}

TEST_F(ReportTest, EndThatFailsIsSentAgainAsTheTrackGoes)
{
    auto helper = Create(true);
    Report(*helper, 10, {{4, kAppeared}});
    host.context.RefuseValue("TargetLifeTime");
    Report(*helper, 20, {{4, kEnded}});

    const auto life = LifeEvents();
    ASSERT_EQ(life.size(), 3u);
    EXPECT_EQ(life[1].outcome, Outcome::Cancelled);
    EXPECT_EQ(life[2].outcome, Outcome::Committed);
    EXPECT_EQ(life[2].phase, 2);
    EXPECT_EQ(life[2].String("EventUuid"), life[0].String("EventUuid"));
    EXPECT_EQ(life[2].Find("TargetLifeTime"), nullptr);
}

}  // namespace
