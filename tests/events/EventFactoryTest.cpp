// Detector events: groups, values, outcomes and the bookkeeping of lengthy
// events, as the host sees them.

#include <functional>
#include <stdexcept>

#include "EventTestSupport.h"

namespace {

using EventTests::EventTest;
using EventTests::FakeDetector;
using EventTests::IsUuid;
using Kest8::Framework::CDetectorEvent;
using Kest8::Framework::CDetectorEventFactory;
using RefHost::Outcome;
using RefHost::ValueKind;

constexpr const char* kSource = "KestFramework/src/EventRaising";

TEST(DetectorGroup, AcceptsKnownNamesAloneOrJoinedByCommas)
{
    for (const char* group :
         {"Tracker", "Tracker,FaceDetector", "Tracker,Tracker",
          "MotionDetector,Tracker,FaceDetector,SituationDetector,LprDetector,VehicleDetector,AudioDetector,"
          "FireDetector,VideoQualityDetector,Counter,SceneChangeDetector,TemperatureDetector,GeoPosition,Mask,"
          "AIDetector,Segmentation,FeatureExtractor,PoseEstimation,System,FaceEvasionDetector,NoDetector,"
          "PrivacyDetector,StoppedObjectDetector"}) {
        EXPECT_NO_THROW(CDetectorEventFactory(nullptr, nullptr, nullptr, group)) << group;
    }
}

TEST(DetectorGroup, RejectsUnknownNamesBlanksAndEmptyParts)
{
    for (const char* group :
         {"tracker", "Tracker, FaceDetector", "Tracker,", ",Tracker", "Tracker,,Counter", "", " Tracker", "Unknown"}) {
        try {
            CDetectorEventFactory factory(nullptr, nullptr, nullptr, group);
            ADD_FAILURE() << "accepted '" << group << "'";
        } catch (const std::logic_error& error) {
            EXPECT_STREQ(error.what(), "Incorrect detector group") << group;
        }
    }
}

TEST_F(EventTest, OneShotEventCarriesTheGroupAndEveryValueInOrder)
{
    Kest8::IRectangleEnumerator* boxes = host.targets.CreateRectangleEnumerator(nullptr, 0);
    Kest8::IMask* mask = host.targets.CreateMask(4, 2);
    Kest8::IPolylineEnumerator* lines = host.targets.CreatePolylineEnumerator();

    CDetectorEvent event = factory.CreateEvent("Alarm", 1234);
    ASSERT_TRUE(event.IsValid());
    event.SetValue("Flag", true);
    event.SetValue("Count", int32_t{-7});
    event.SetValue("Ratio", 2.5);
    event.SetValue("Label", "text");
    event.SetRectangleArray("Boxes", boxes);
    event.SetMask("Area", mask);
    event.SetPolylineArray("Lines", lines);
    event.SetValue(uint64_t{42});
    EXPECT_TRUE(event.Commit());
    EXPECT_FALSE(event.IsValid());
    EXPECT_FALSE(event.Commit());

    const auto events = host.context.Events();
    ASSERT_EQ(events.size(), 1u);
    const auto& alarm = events[0];
    EXPECT_EQ(alarm.name, "Alarm");
    EXPECT_EQ(alarm.phase, 3);
    EXPECT_EQ(alarm.timestamp, 1234u);
    EXPECT_EQ(alarm.detector, &detector);
    EXPECT_EQ(alarm.outcome, Outcome::Committed);
    EXPECT_EQ(alarm.Names(), (std::vector<std::string>{"DetectorsGroup", "Flag", "Count", "Ratio", "Label", "Boxes",
                                                       "Area", "Lines", ""}));
    EXPECT_EQ(alarm.String("DetectorsGroup"), "Tracker");
    EXPECT_EQ(std::get<bool>(alarm.Find("Flag")->value), true);
    EXPECT_EQ(alarm.Int32("Count"), -7);
    EXPECT_EQ(std::get<double>(alarm.Find("Ratio")->value), 2.5);
    EXPECT_EQ(alarm.String("Label"), "text");
    EXPECT_EQ(alarm.Find("Boxes")->object, boxes);
    EXPECT_EQ(alarm.Find("Area")->kind, ValueKind::Mask);
    EXPECT_EQ(alarm.Find("Lines")->kind, ValueKind::PolylineArray);
    EXPECT_EQ(alarm.Find("")->kind, ValueKind::UInt64);
    EXPECT_EQ(std::get<uint64_t>(alarm.Find("")->value), 42u);
}

TEST_F(EventTest, CommitCancelAndDestructionEachEndTheEventOnce)
{
    int commits = 0;
    int cancels = 0;
    auto make = [&](const char* name) {
        return CDetectorEvent(
            host.context.CreateDetectorEvent(&detector, name, 1, 3), &host.logger, "Tracker", [&] { ++commits; },
            [&] { ++cancels; });
    };
    {
        CDetectorEvent committed = make("Committed");
        EXPECT_TRUE(committed.Commit());
        committed.Cancel();
        EXPECT_FALSE(committed.Commit());
        CDetectorEvent cancelled = make("Cancelled");
        cancelled.Cancel();
        cancelled.Cancel();
        CDetectorEvent dropped = make("Dropped");
    }
    EXPECT_EQ(commits, 1);
    EXPECT_EQ(cancels, 2);
    const auto events = host.context.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].outcome, Outcome::Committed);
    EXPECT_EQ(events[1].outcome, Outcome::Cancelled);
    EXPECT_EQ(events[2].name, "Dropped");
    EXPECT_EQ(events[2].outcome, Outcome::Cancelled);
}

TEST_F(EventTest, MovesHandOverTheEventAndAssignmentCancelsTheOneItReplaces)
{
    int replacedCancels = 0;
    int movedCommits = 0;
    CDetectorEvent target(host.context.CreateDetectorEvent(&detector, "Replaced", 1, 3), &host.logger, "Tracker", {},
                          [&] { ++replacedCancels; });
    CDetectorEvent source(host.context.CreateDetectorEvent(&detector, "Moved", 2, 3), &host.logger, "Tracker",
                          [&] { ++movedCommits; }, {});
    {
        CDetectorEvent moved(std::move(source));
        source.SetValue("Ignored", 1);
        EXPECT_FALSE(source.IsValid());
        EXPECT_FALSE(source.Commit());
        moved.SetValue("Kept", 2);
        target = std::move(moved);
        EXPECT_EQ(replacedCancels, 1);
    }
    EXPECT_EQ(host.context.OpenEvents(), 1u);
    EXPECT_TRUE(target.Commit());
    EXPECT_EQ(movedCommits, 1);

    const auto events = host.context.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].name, "Replaced");
    EXPECT_EQ(events[0].outcome, Outcome::Cancelled);
    EXPECT_EQ(events[1].name, "Moved");
    EXPECT_EQ(events[1].outcome, Outcome::Committed);
    EXPECT_EQ(events[1].Names(), (std::vector<std::string>{"DetectorsGroup", "Kept"}));
}

TEST_F(EventTest, RefusedSetterSkipsLaterSettersAndTurnsCommitIntoCancel)
{
    host.context.RefuseValue("Speed");
    int commits = 0;
    int cancels = 0;
    CDetectorEvent event(
        host.context.CreateDetectorEvent(&detector, "Move", 5, 3), &host.logger, "Tracker", [&] { ++commits; },
        [&] { ++cancels; });
    event.SetValue("Before", 1);
    event.SetValue("Speed", 2.5);
    EXPECT_TRUE(event.IsFailed());
    EXPECT_FALSE(event.IsValid());
    event.SetValue("After", 3);
    EXPECT_FALSE(event.Commit());
    EXPECT_EQ(commits, 0);
    EXPECT_EQ(cancels, 1);

    const auto events = host.context.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].outcome, Outcome::Cancelled);
    EXPECT_EQ(events[0].Names(), (std::vector<std::string>{"DetectorsGroup", "Before", "Speed"}));
    const auto lines = host.logger.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 2);
    EXPECT_FALSE(lines[0].hasLocation);
    EXPECT_EQ(lines[0].text, "CDetectorEvent: Cannot set value Speed=2.5");
}

TEST_F(EventTest, EachRefusedSetterLogsItsOwnMessage)
{
    struct Case {
        const char* name;
        std::function<void(CDetectorEvent&)> set;
        const char* message;
    };
    Kest8::IMultimediaBuffer* handed = nullptr;
    const std::vector<Case> cases{
        {"Flag", [](CDetectorEvent& e) { e.SetValue("Flag", true); }, "CDetectorEvent: Cannot set value Flag=1"},
        {"Flag", [](CDetectorEvent& e) { e.SetValue("Flag", false); }, "CDetectorEvent: Cannot set value Flag=0"},
        {"Count", [](CDetectorEvent& e) { e.SetValue("Count", int32_t{-42}); },
         "CDetectorEvent: Cannot set value Count=-42"},
        {"Ratio", [](CDetectorEvent& e) { e.SetValue("Ratio", 1.0 / 3.0); },
         "CDetectorEvent: Cannot set value Ratio=0.333333"},
        {"Label", [](CDetectorEvent& e) { e.SetValue("Label", "abc"); }, "CDetectorEvent: Cannot set value Label=abc"},
        {"Boxes", [](CDetectorEvent& e) { e.SetRectangleArray("Boxes", nullptr); },
         "CDetectorEvent: Cannot set rectangle array 'Boxes'"},
        {"Area", [](CDetectorEvent& e) { e.SetMask("Area", nullptr); }, "CDetectorEvent: Cannot set mask 'Area'"},
        {"Lines", [](CDetectorEvent& e) { e.SetPolylineArray("Lines", nullptr); },
         "CDetectorEvent: Cannot set polyline array 'Lines'"},
        {"Blob",
         [&](CDetectorEvent& e) {
             handed = host.targets.CreateHumanBoneTargetList(1);
             e.SetMultimediaBuffer("Blob", handed);
         },
         "CDetectorEvent: Cannot set multimedia buffer 'Blob'"},
        {"", [](CDetectorEvent& e) { e.SetValue(uint64_t{18446744073709551615u}); },
         "CDetectorEvent: Cannot set value 18446744073709551615"},
    };
    for (const auto& c : cases) {
        host.context.RefuseValue(c.name);
        host.logger.Clear();
        CDetectorEvent event = factory.CreateEvent("Event", 1);
        c.set(event);
        EXPECT_TRUE(event.IsFailed()) << c.message;
        EXPECT_EQ(host.logger.Texts(), std::vector<std::string>{c.message});
        host.context.RefuseValue(c.name, false);
    }
    // The refused buffer still went to the host, which destroys it with the record.
    EXPECT_EQ(handed, nullptr);
    EXPECT_EQ(host.targets.LiveLists(), 1u);
    host.context.Clear();
    EXPECT_EQ(host.targets.LiveLists(), 0u);
}

TEST_F(EventTest, WarningsAreWrittenOnlyWhenTheLoggerLevelLetsThemThrough)
{
    host.context.RefuseValue("Speed");
    auto misuse = [&] {
        factory.CreateEvent("Move", 1).SetValue("Speed", 1);
        factory.RaiseLengthyEvent("Zone", false, 1);
    };
    host.logger.SetLevel(3);
    misuse();
    EXPECT_EQ(host.logger.Count(), 0u);
    host.logger.SetLevel(2);
    misuse();
    EXPECT_EQ(host.logger.Count(), 2u);

    CDetectorEventFactory silent(&detector, &host.context, nullptr, "Tracker");
    silent.CreateEvent("Move", 1).SetValue("Speed", 1);
    silent.RaiseLengthyEvent("Zone", false, 1);
    EXPECT_EQ(host.logger.Count(), 2u);
}

TEST_F(EventTest, MissingArgsAdjusterIsAskedForAgainAtTheNextSetter)
{
    host.context.WithholdArgsAdjuster();
    CDetectorEvent event = factory.CreateEvent("Event", 1);
    event.SetValue("Lost", 1);
    EXPECT_TRUE(event.IsValid());
    host.context.WithholdArgsAdjuster(false);
    event.SetValue("Kept", 2);
    EXPECT_TRUE(event.Commit());

    EXPECT_EQ(host.logger.Texts(), std::vector<std::string>(2, "CDetectorEvent: Cannot get event args adjuster"));
    const auto events = host.context.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Names(), std::vector<std::string>{"Kept"});
}

TEST_F(EventTest, EveryEventIsInertWithoutAnEventCreatingHost)
{
    RefHost::HostContext withoutEvents(&host.statistics);
    withoutEvents.ReturnNoEvent();
    host.context.ReturnNoEvent();
    CDetectorEventFactory factories[] = {
        factory,
        CDetectorEventFactory(&detector, &withoutEvents, &host.logger, "Tracker"),
        CDetectorEventFactory(&detector, nullptr, &host.logger, "Tracker"),
    };
    for (auto& f : factories) {
        CDetectorEvent event = f.CreateEvent("Event", 1);
        EXPECT_FALSE(event.IsValid());
        EXPECT_TRUE(event.IsFailed());
        event.SetValue("Value", 1);
        Kest8::IMultimediaBuffer* buffer = host.targets.CreateHumanBoneTargetList(1);
        Kest8::IMultimediaBuffer* const kept = buffer;
        event.SetMultimediaBuffer("Buffer", buffer);
        EXPECT_EQ(buffer, kept);  // still the caller's
        buffer->Destroy();
        EXPECT_FALSE(event.Commit());
        EXPECT_FALSE(f.CreateListEvent("List", 1).Commit());

        // A begin that never reached the host leaves the name free.
        EXPECT_FALSE(f.RaiseLengthyEvent("Zone", true, 1).Commit());
        EXPECT_FALSE(f.RaiseLengthyEvent("Zone", true, 2).Commit());

        auto raiser = f.CreateLengthyEventRaiser("Life");
        EXPECT_FALSE(raiser.RaiseBegin(1).Commit());
        EXPECT_EQ(raiser.GetState(), Kest8::Framework::CLengthyDetectorEventRaiser::Idle);

        EXPECT_FALSE(f.RaiseTargetList(host.targets.CreateTargetEnumerator(5)));
        EXPECT_FALSE(f.RaiseHumanBoneTargetList(host.targets.CreateHumanBoneTargetList(5)));
    }
    EXPECT_TRUE(host.context.Events().empty());
    EXPECT_TRUE(withoutEvents.Events().empty());
    EXPECT_EQ(host.logger.Count(), 0u);
    EXPECT_EQ(host.targets.LiveLists(), 0u);
}

// ---------------------------------------------------------------------------
// Lengthy events raised through the factory

TEST_F(EventTest, LengthyEventBeginsOnceAndEndsWithTheSameUuid)
{
    EXPECT_TRUE(factory.RaiseLengthyEvent("Zone", true, 10).Commit());
    CDetectorEvent second = factory.RaiseLengthyEvent("Zone", true, 11);
    EXPECT_FALSE(second.IsValid());
    EXPECT_FALSE(second.Commit());
    EXPECT_TRUE(factory.RaiseLengthyEvent("Zone", false, 12).Commit());
    EXPECT_TRUE(factory.RaiseLengthyEvent("Zone", true, 13).Commit());

    const auto events = host.context.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].phase, 1);
    EXPECT_EQ(events[1].phase, 2);
    EXPECT_EQ(events[2].phase, 1);
    EXPECT_EQ(events[1].timestamp, 12u);
    for (const auto& e : events) {
        EXPECT_EQ(e.Names(), (std::vector<std::string>{"DetectorsGroup", "EventUuid"}));
        EXPECT_TRUE(IsUuid(e.String("EventUuid").value_or("")));
    }
    EXPECT_EQ(events[0].String("EventUuid"), events[1].String("EventUuid"));
    EXPECT_NE(events[0].String("EventUuid"), events[2].String("EventUuid"));

    const auto lines = host.logger.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "CDetectorEventFactory: there is already active event");
    EXPECT_EQ(lines[0].level, 2);
    EXPECT_TRUE(lines[0].hasLocation);
    EXPECT_EQ(lines[0].file, kSource);
    EXPECT_EQ(lines[0].function, "RaiseLengthyEvent");
    EXPECT_GT(lines[0].line, 0);
}

TEST_F(EventTest, LengthyEventsOfDifferentNamesAreIndependent)
{
    EXPECT_TRUE(factory.RaiseLengthyEvent("A", true, 1).Commit());
    EXPECT_TRUE(factory.RaiseLengthyEvent("B", true, 2).Commit());
    EXPECT_TRUE(factory.RaiseLengthyEvent("B", false, 3).Commit());
    EXPECT_TRUE(factory.RaiseLengthyEvent("A", false, 4).Commit());
    const auto events = host.context.Events();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_NE(events[0].String("EventUuid"), events[1].String("EventUuid"));
    EXPECT_EQ(events[1].String("EventUuid"), events[2].String("EventUuid"));
    EXPECT_EQ(events[0].String("EventUuid"), events[3].String("EventUuid"));
    EXPECT_EQ(host.logger.Count(), 0u);
}

TEST_F(EventTest, CancelledBeginFreesTheNameAndRefusesItsEnd)
{
    factory.RaiseLengthyEvent("Zone", true, 1).Cancel();
    CDetectorEvent end = factory.RaiseLengthyEvent("Zone", false, 2);
    EXPECT_FALSE(end.IsValid());
    EXPECT_EQ(host.logger.Texts(), std::vector<std::string>{"CDetectorEventFactory: there is no active event"});
    EXPECT_TRUE(factory.RaiseLengthyEvent("Zone", true, 3).Commit());
    EXPECT_EQ(host.context.Events().size(), 2u);
}

TEST_F(EventTest, CancelledOrMissingEndLeavesTheEventOpenForARetry)
{
    EXPECT_TRUE(factory.RaiseLengthyEvent("Zone", true, 1).Commit());
    factory.RaiseLengthyEvent("Zone", false, 2).Cancel();
    host.context.ReturnNoEvent();
    EXPECT_FALSE(factory.RaiseLengthyEvent("Zone", false, 3).Commit());
    host.context.ReturnNoEvent(false);
    EXPECT_FALSE(factory.RaiseLengthyEvent("Zone", true, 4).IsValid());  // still open
    EXPECT_TRUE(factory.RaiseLengthyEvent("Zone", false, 5).Commit());

    const auto events = host.context.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1].outcome, Outcome::Cancelled);
    EXPECT_EQ(events[2].outcome, Outcome::Committed);
    EXPECT_EQ(events[0].String("EventUuid"), events[2].String("EventUuid"));
    EXPECT_EQ(host.logger.Texts(), std::vector<std::string>{"CDetectorEventFactory: there is already active event"});
}

TEST_F(EventTest, BeginWithoutHostEventDoesNotBlockLaterBegins)
{
    host.context.ReturnNoEvent();
    EXPECT_FALSE(factory.RaiseLengthyEvent("Zone", true, 1).Commit());
    host.context.ReturnNoEvent(false);
    EXPECT_TRUE(factory.RaiseLengthyEvent("Zone", true, 2).Commit());
    EXPECT_TRUE(factory.RaiseLengthyEvent("Zone", false, 3).Commit());
    EXPECT_EQ(host.context.Events().size(), 2u);
    EXPECT_EQ(host.logger.Count(), 0u);
}

TEST_F(EventTest, CallbacksWarnAboutOutOfOrderOutcomes)
{
    {
        // The end is cancelled while its begin is still pending.
        CDetectorEvent begin = factory.RaiseLengthyEvent("First", true, 1);
        factory.RaiseLengthyEvent("First", false, 2).Cancel();
        EXPECT_TRUE(begin.Commit());
        EXPECT_TRUE(factory.RaiseLengthyEvent("First", false, 3).Commit());
    }
    {
        // The end is committed before its begin.
        CDetectorEvent begin = factory.RaiseLengthyEvent("Second", true, 4);
        EXPECT_TRUE(factory.RaiseLengthyEvent("Second", false, 5).Commit());
        EXPECT_TRUE(begin.Commit());
    }
    {
        // The begin is cancelled after a cancelled end marked it committed.
        CDetectorEvent begin = factory.RaiseLengthyEvent("Third", true, 6);
        factory.RaiseLengthyEvent("Third", false, 7).Cancel();
        begin.Cancel();
        EXPECT_TRUE(factory.RaiseLengthyEvent("Third", true, 8).Commit());
    }
    const auto lines = host.logger.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, "CDetectorEventFactory: active event begin has been commited twice");
    EXPECT_EQ(lines[1].text, "CDetectorEventFactory: there is no active event after successful begin commit");
    EXPECT_EQ(lines[2].text, "CDetectorEventFactory: canceled begin of already commited event");
    for (const auto& line : lines) {
        EXPECT_EQ(line.file, kSource);
        EXPECT_EQ(line.function, "operator()");
        EXPECT_EQ(line.level, 2);
    }
}

TEST_F(EventTest, EndCallbacksAndALateBeginCancelWarnAboutOutOfOrderOutcomes)
{
    {
        // The begin is cancelled after its end was committed.
        CDetectorEvent begin = factory.RaiseLengthyEvent("First", true, 1);
        EXPECT_TRUE(factory.RaiseLengthyEvent("First", false, 2).Commit());
        begin.Cancel();
    }
    {
        // The begin is committed while its end is pending: the end commits
        // an already committed event, and the name is free again.
        CDetectorEvent begin = factory.RaiseLengthyEvent("Second", true, 3);
        CDetectorEvent end = factory.RaiseLengthyEvent("Second", false, 4);
        EXPECT_TRUE(begin.Commit());
        EXPECT_TRUE(end.Commit());
        EXPECT_TRUE(factory.RaiseLengthyEvent("Second", true, 5).Commit());
    }
    {
        // The same, the end cancelled: the event stays open.
        CDetectorEvent begin = factory.RaiseLengthyEvent("Third", true, 6);
        CDetectorEvent end = factory.RaiseLengthyEvent("Third", false, 7);
        EXPECT_TRUE(begin.Commit());
        end.Cancel();
        EXPECT_FALSE(factory.RaiseLengthyEvent("Third", true, 8).IsValid());
    }
    {
        // Two ends: the second commits, or cancels, after the first removed the entry.
        EXPECT_TRUE(factory.RaiseLengthyEvent("Fourth", true, 9).Commit());
        CDetectorEvent first = factory.RaiseLengthyEvent("Fourth", false, 10);
        CDetectorEvent second = factory.RaiseLengthyEvent("Fourth", false, 11);
        EXPECT_TRUE(first.Commit());
        EXPECT_TRUE(second.Commit());
        EXPECT_TRUE(factory.RaiseLengthyEvent("Fifth", true, 12).Commit());
        CDetectorEvent end = factory.RaiseLengthyEvent("Fifth", false, 13);
        CDetectorEvent again = factory.RaiseLengthyEvent("Fifth", false, 14);
        EXPECT_TRUE(end.Commit());
        again.Cancel();
        EXPECT_TRUE(factory.RaiseLengthyEvent("Fifth", true, 15).Commit()) << "the cancel left no entry behind";
    }
    const std::vector<std::string> expected = {
        "CDetectorEventFactory: there is no active event after begin cancel",
        "CDetectorEventFactory: active event end has been commited twice",
        "CDetectorEventFactory: canceled end of already commited event",
        "CDetectorEventFactory: there is already active event",
        "CDetectorEventFactory: there is no active event after end commit",
        "CDetectorEventFactory: there is no active event after end cancel",
    };
    EXPECT_EQ(host.logger.Texts(), expected);
    for (const auto& line : host.logger.Lines()) {
        EXPECT_EQ(line.file, kSource);
        EXPECT_EQ(line.level, 2);
        if (line.text != expected[3]) {
            EXPECT_EQ(line.function, "operator()") << line.text;
        }
    }
}

// ---------------------------------------------------------------------------
// Target lists

// Enumerates the objects it is given; deleted by Destroy.
class MixedEnumerator final : public Kest8::Analytics::ITargetEnumerator {
public:
    MixedEnumerator(std::vector<Kest8::IContract*> elements, bool* destroyed)
        : elements(std::move(elements)), destroyed(destroyed)
    {
    }
    const Kest8::IContract* QueryContract(const char*) const override { return nullptr; }
    Kest8::IContract* QueryContract(const char*) override { return nullptr; }
    uint64_t GetTimestamp() const override { return 31; }
    uint32_t GetMediaType() const override { return 0; }
    uint32_t GetSize() const override { return static_cast<uint32_t>(elements.size()); }
    void Destroy() override
    {
        *destroyed = true;
        delete this;
    }
    bool MoveNext() override { return ++position <= elements.size(); }
    Kest8::IContract* Current() override { return elements[position - 1]; }
    void Reset() override { position = 0; }

private:
    std::vector<Kest8::IContract*> elements;
    bool* destroyed;
    size_t position = 0;
};

TEST_F(EventTest, TargetListGetsObjectIdsAndGoesToTheHost)
{
    Kest8::Analytics::ITargetEnumeratorAdjuster* adjuster = host.targets.CreateTargetEnumeratorAdjuster(77);
    ASSERT_NE(adjuster, nullptr);
    Kest8::Analytics::ITargetEnumerator* list = adjuster;
    adjuster->AppendTarget()->SetTargetId(0x80000005u);
    adjuster->AppendTarget()->SetTargetId(7);
    EXPECT_TRUE(factory.RaiseTargetList(list));

    const auto events = host.context.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, "TargetList");
    EXPECT_FALSE(events[0].phase.has_value());
    EXPECT_EQ(events[0].timestamp, 77u);
    const RefHost::TargetList* sent = events[0].Find("TargetList")->Targets();
    ASSERT_NE(sent, nullptr);
    const auto targets = sent->Targets();
    ASSERT_EQ(targets.size(), 2u);
    EXPECT_EQ(targets[0].Int32("ObjectId"), 5);
    EXPECT_EQ(targets[1].Int32("ObjectId"), 7);
    EXPECT_EQ(sent->Calls(), (std::vector<std::string>{"AppendTarget", "AppendTarget", "Reset", "MoveNext", "Current",
                                                       "MoveNext", "Current", "MoveNext", "GetTimestamp"}));
}

TEST_F(EventTest, TargetListStopsAtTheFirstElementThatIsNotATarget)
{
    auto* hostList = dynamic_cast<RefHost::TargetList*>(host.targets.CreateTargetEnumeratorAdjuster(1));
    ASSERT_NE(hostList, nullptr);
    Kest8::Analytics::ITargetAdjuster* first = hostList->AppendTarget();
    Kest8::Analytics::ITargetAdjuster* last = hostList->AppendTarget();
    first->SetTargetId(1);
    last->SetTargetId(3);
    FakeDetector notATarget;
    bool destroyed = false;
    EXPECT_TRUE(factory.RaiseTargetList(new MixedEnumerator({first, &notATarget, last}, &destroyed)));

    const auto targets = hostList->Targets();
    EXPECT_EQ(targets[0].Int32("ObjectId"), 1);
    EXPECT_FALSE(targets[1].Has("ObjectId"));
    host.context.Clear();
    EXPECT_TRUE(destroyed);
    hostList->Destroy();
}

TEST_F(EventTest, TargetListIsNeverLeaked)
{
    EXPECT_FALSE(factory.RaiseTargetList(nullptr));
    EXPECT_FALSE(factory.RaiseHumanBoneTargetList(nullptr));

    host.context.ReturnNoEvent();
    EXPECT_FALSE(factory.RaiseTargetList(host.targets.CreateTargetEnumerator(1)));
    EXPECT_EQ(host.targets.LiveLists(), 0u);
    host.context.ReturnNoEvent(false);

    host.context.RefuseValue("DetectorsGroup");
    EXPECT_FALSE(factory.RaiseTargetList(host.targets.CreateTargetEnumerator(2)));
    EXPECT_EQ(host.targets.LiveLists(), 0u);
    host.context.RefuseValue("DetectorsGroup", false);

    host.context.RefuseValue("TargetList");
    EXPECT_FALSE(factory.RaiseTargetList(host.targets.CreateTargetEnumerator(3)));
    EXPECT_EQ(host.targets.LiveLists(), 1u);  // the host took it
    EXPECT_EQ(host.context.Events().back().outcome, Outcome::Cancelled);
    host.context.Clear();
    EXPECT_EQ(host.targets.LiveLists(), 0u);
}

TEST_F(EventTest, HumanBoneListGoesToTheHostWithItsTimestamp)
{
    EXPECT_TRUE(factory.RaiseHumanBoneTargetList(host.targets.CreateHumanBoneTargetList(55)));
    const auto events = host.context.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, "HumanBoneTargetList");
    EXPECT_EQ(events[0].timestamp, 55u);
    EXPECT_EQ(events[0].Find("HumanBoneTargetList")->kind, ValueKind::MultimediaBuffer);
    EXPECT_EQ(host.targets.LiveLists(), 1u);
}

}  // namespace
