// The detector's own logic over a scripted wrapper: parameters, track
// phases, reconfiguration, statistics and the frame path's results.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>

#include "DetectorHarness.h"
#include "ScriptedWrapper.h"

namespace {

using namespace DetectorTests;
using ScriptedWrapper::Object;
using ScriptedWrapper::Result;

class DetectorLogic : public ::testing::Test {
protected:
    void SetUp() override { ScriptedWrapper::Reset(); }

    static ScriptedWrapper::State& Script() { return ScriptedWrapper::Get(); }
    static void Queue(QelWrapper::FrameResult result) { ScriptedWrapper::Queue(std::move(result)); }
    static size_t Observers()
    {
        std::lock_guard<std::mutex> lock(Script().mutex);
        return Script().observers.size();
    }
    static QelWrapper::Configurations LastConfig()
    {
        std::lock_guard<std::mutex> lock(Script().mutex);
        return Script().observers.back()->config;
    }
    static std::vector<std::string> Calls()
    {
        std::lock_guard<std::mutex> lock(Script().mutex);
        return Script().calls;
    }

    DetectorHarness h;
};

TEST_F(DetectorLogic, FirstFrameBuildsOneObserverFromTheDefaults)
{
    EXPECT_EQ(h.Frame(10, 1920, 1080), 0);
    ASSERT_EQ(Observers(), 1u);
    const auto c = LastConfig();
    EXPECT_EQ(c.logger, &h.host.logger);
    EXPECT_EQ(c.modulePath, "/module/dir");
    EXPECT_EQ(c.deviceType, QelWrapper::CPU);
    EXPECT_EQ(c.deviceIndex, 0);
    EXPECT_EQ(c.frameWidth, 1920);
    EXPECT_EQ(c.frameHeight, 1080);
    EXPECT_EQ(c.roiX, 0);
    EXPECT_EQ(c.roiY, 0);
    EXPECT_EQ(c.roiWidth, 1920);
    EXPECT_EQ(c.roiHeight, 1080);
    EXPECT_EQ(c.numThreads, 4);
    EXPECT_EQ(c.detectorScaling, 960);
    EXPECT_EQ(c.detectorStep, 7);
    EXPECT_EQ(c.detectionsSkipped, 18);
    EXPECT_EQ(c.minimalTrackLength, 1);

    // The reconfiguration ended the (no) open tracks in an empty report.
    const auto reports = Reports(h.host.context);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(reports[0].targets.empty());
    EXPECT_EQ(reports[0].timestamp, 0u);

    EXPECT_EQ(h.Frame(50, 1920, 1080), 0);
    EXPECT_EQ(Observers(), 1u) << "same size, no change: the observer stays";
}

TEST_F(DetectorLogic, ParametersAnswerTheirResultCodes)
{
    auto* d = h.detector;
    EXPECT_EQ(d->SetValue("TargetLifeEvent", true), 0);
    EXPECT_EQ(d->SetValue("targetlifeevent", true), 5);
    for (const char* name :
         {"NumThreads", "DetectorStep", "DetectionsSkipped", "MinimalTrackLength", "DetectionThreshold"})
        EXPECT_EQ(d->SetValue(name, int32_t{3}), 0) << name;
    EXPECT_EQ(d->SetValue("NumThreads ", int32_t{3}), 5);
    EXPECT_EQ(d->SetValue("mode", "GPU"), 0);
    EXPECT_EQ(d->SetValue("DetectorScaling", "1280"), 0);
    EXPECT_EQ(d->SetValue("DetectorScaling", "1000"), 6);
    EXPECT_EQ(d->SetValue("DetectorScaling", "640 "), 6);
    EXPECT_EQ(d->SetValue("Other", "640"), 5);
    // The setters of other value kinds handle no name.
    EXPECT_EQ(d->SetValue("NumThreads", 4.0), 5);
    EXPECT_EQ(d->SetValue("RegionOfInterest", static_cast<Kest8::IPolylineEnumerator*>(nullptr)), 5);
    EXPECT_EQ(d->SetValue("RegionOfInterest", static_cast<Kest8::IMask*>(nullptr)), 5);
    // Null names, values and enumerators are refused without harm.
    EXPECT_EQ(d->SetValue(nullptr, true), 10);
    EXPECT_EQ(d->SetValue(nullptr, int32_t{1}), 10);
    EXPECT_EQ(d->SetValue(nullptr, 1.0), 10);
    EXPECT_EQ(d->SetValue(nullptr, "GPU"), 10);
    EXPECT_EQ(d->SetValue("mode", static_cast<const char*>(nullptr)), 10);
    EXPECT_EQ(d->SetValue("RegionOfInterest", static_cast<Kest8::IRectangleEnumerator*>(nullptr)), 10);
    Rectangles none({});
    EXPECT_EQ(d->SetValue("RegionOfInterest", &none), 10);

    EXPECT_EQ(h.Frame(1, 640, 480), 0);
    const auto c = LastConfig();
    EXPECT_EQ(c.numThreads, 3);
    EXPECT_EQ(c.detectorStep, 3);
    EXPECT_EQ(c.detectionsSkipped, 3);
    EXPECT_EQ(c.minimalTrackLength, 3);
    EXPECT_EQ(c.detectorScaling, 1280) << "a refused value leaves the last accepted one";
    EXPECT_EQ(c.deviceType, QelWrapper::GPU);
    EXPECT_EQ(c.roiWidth, 640) << "the empty enumerator changed nothing";
}

TEST_F(DetectorLogic, ModeChoosesTheDeviceAndIndex)
{
    struct Step {
        const char* value;
        QelWrapper::DeviceType type;
        int32_t index;
    };
    const Step steps[] = {{"GPU", QelWrapper::GPU, 0},  {"GPU7", QelWrapper::GPU, 7}, {"GPU12", QelWrapper::GPU, 2},
                          {"GPU3", QelWrapper::GPU, 3}, {"CPU", QelWrapper::CPU, 3},  {"", QelWrapper::CPU, 3},
                          {"cpu", QelWrapper::CPU, 3},  {"GP", QelWrapper::CPU, 3},   {"GPUx", QelWrapper::GPU, 0}};
    uint64_t t = 0;
    for (const auto& step : steps) {
        EXPECT_EQ(h.detector->SetValue("mode", step.value), 0) << step.value;
        EXPECT_EQ(h.Frame(t += 10), 0);
        EXPECT_EQ(LastConfig().deviceType, step.type) << step.value;
        EXPECT_EQ(LastConfig().deviceIndex, step.index) << step.value;
    }
}

TEST_F(DetectorLogic, RegionOfInterestInPixelsAndItsLimits)
{
    Rectangles quarter({{0.25, 0.25, 0.5, 0.5}});
    EXPECT_EQ(h.detector->SetValue("RegionOfInterest", &quarter), 0);
    EXPECT_EQ(h.Frame(1, 1920, 1080), 0);
    auto c = LastConfig();
    EXPECT_EQ(c.roiX, 480);
    EXPECT_EQ(c.roiY, 270);
    EXPECT_EQ(c.roiWidth, 960);
    EXPECT_EQ(c.roiHeight, 540);
    EXPECT_DOUBLE_EQ(c.roiLeft, 0.25);

    // Two rectangles: refused, yet the first one is used.
    Rectangles two({{0.5, 0.0, 0.5, 1.0}, {0.0, 0.0, 1.0, 1.0}});
    EXPECT_EQ(h.detector->SetValue("RegionOfInterest", &two), 10);
    EXPECT_EQ(h.Frame(2, 1920, 1080), 0);
    EXPECT_EQ(LastConfig().roiX, 960);
    EXPECT_EQ(LastConfig().roiWidth, 960);

    // A region that is no number, or not inside the frame, ends that frame
    // with 4 and a clear message; no observer is built for it.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Kest8::Rect bad[] = {{nan, 0, 1, 1}, {0, 0, inf, 1}, {0, 0, 1e12, 1}, {0.5, 0, 0.6, 1}, {-0.1, 0, 0.5, 1}};
    uint64_t t = 10;
    for (const auto& rect : bad) {
        Rectangles one({rect});
        EXPECT_EQ(h.detector->SetValue("RegionOfInterest", &one), 0);
        const size_t before = Observers();
        h.host.logger.Clear();
        EXPECT_EQ(h.Frame(t += 10, 1920, 1080), 4);
        EXPECT_EQ(Observers(), before);
        const auto lines = h.host.logger.Lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].text.find("Region of interest"), std::string::npos) << lines[0].text;
        EXPECT_EQ(lines[0].file, "Detectors/QelObjectTracker/src/Detector");
        EXPECT_EQ(lines[0].function, "Receive");
    }
}

TEST_F(DetectorLogic, PhasesPersistUntilTheTrackIsSeenAgain)
{
    h.host.logger.SetLevel(3);
    ASSERT_EQ(h.Frame(100), 0);
    Queue(Result(100, {Object(5, 0.9f, 100, 100, 200, 300)}));
    ASSERT_EQ(h.Frame(140), 0);
    Queue(Result(140, {}));
    ASSERT_EQ(h.Frame(180), 0);
    Queue(Result(180, {Object(5, 0.9f, 120, 100, 200, 300)}));
    ASSERT_EQ(h.Frame(220), 0);
    Queue(Result(220, {}, {5}));
    ASSERT_EQ(h.Frame(260), 0);
    Queue(Result(260, {}));
    ASSERT_EQ(h.Frame(300), 0);

    const auto reports = Reports(h.host.context);
    ASSERT_EQ(reports.size(), 6u);  // the first frame's reconfiguration, then one per result
    const uint32_t phases[] = {1, 1, 0, 2};
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(reports[1 + i].targets.size(), 1u) << i;
        EXPECT_EQ(reports[1 + i].targets[0].objectId, 5);
        EXPECT_EQ(reports[1 + i].targets[0].phase, phases[i]) << i;
        EXPECT_EQ(reports[1 + i].timestamp, 100u + 40u * i);
    }
    EXPECT_NEAR(reports[3].targets[0].box.left, 0.12, 1e-9);
    EXPECT_NEAR(reports[3].targets[0].box.width, 0.2, 1e-9);
    EXPECT_TRUE(reports[5].targets.empty()) << "an ended track is gone";
}

TEST_F(DetectorLogic, DetectionThresholdGatesOnlyNewTracks)
{
    ASSERT_EQ(h.detector->SetValue("DetectionThreshold", int32_t{75}), 0);
    ASSERT_EQ(h.Frame(1), 0);
    Queue(Result(10, {Object(7, 0.7f, 0, 0, 100, 100)}));
    ASSERT_EQ(h.Frame(10), 0);
    Queue(Result(20, {Object(7, 0.8f, 0, 0, 100, 100)}));
    ASSERT_EQ(h.Frame(20), 0);
    Queue(Result(30, {Object(7, 0.1f, 0, 0, 100, 100)}));
    ASSERT_EQ(h.Frame(30), 0);
    const auto reports = Reports(h.host.context);
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_TRUE(reports[1].targets.empty()) << "0.7 is below 75";
    ASSERT_EQ(reports[2].targets.size(), 1u);
    EXPECT_EQ(reports[2].targets[0].phase, 1u);
    EXPECT_EQ(reports[2].timestamp, 20u);
    ASSERT_EQ(reports[3].targets.size(), 1u) << "a started track is kept whatever its score";
    EXPECT_EQ(reports[3].targets[0].phase, 0u);

    // Zero lets every non-negative score start a track.
    ASSERT_EQ(h.detector->SetValue("DetectionThreshold", int32_t{0}), 0);
    ASSERT_EQ(h.Frame(40), 0);
    Queue(Result(50, {Object(8, 0.0f, 0, 0, 100, 100)}));
    ASSERT_EQ(h.Frame(50), 0);
    ASSERT_EQ(Reports(h.host.context).back().targets.size(), 1u);
}

TEST_F(DetectorLogic, UpdatedAndFinishedInOneResultAndUnknownIds)
{
    ASSERT_EQ(h.Frame(1), 0);
    Queue(Result(10, {Object(1, 0.9f, 0, 0, 100, 100), Object(2, 0.9f, 500, 0, 100, 100)}));
    ASSERT_EQ(h.Frame(10), 0);
    Queue(Result(20, {Object(1, 0.9f, 10, 0, 100, 100)}, {1, 99}));
    ASSERT_EQ(h.Frame(20), 0);
    const auto reports = Reports(h.host.context);
    ASSERT_EQ(reports.size(), 3u);
    const auto& last = reports[2].targets;
    ASSERT_EQ(last.size(), 2u) << "track 99 was never reported";
    EXPECT_EQ(last[0].objectId, 1);
    EXPECT_EQ(last[0].phase, 2u);
    EXPECT_NEAR(last[0].box.left, 0.01, 1e-9) << "updated, then ended";
    EXPECT_EQ(last[1].objectId, 2);
    EXPECT_EQ(last[1].phase, 1u);
}

TEST_F(DetectorLogic, BoxesAreClippedToTheUnitSquare)
{
    ASSERT_EQ(h.Frame(1), 0);
    Queue(Result(10, {Object(1, 0.9f, -100, 950, 300, 100), Object(2, 0.9f, 900, -50, 300, 1200)}));
    ASSERT_EQ(h.Frame(10), 0);
    const auto reports = Reports(h.host.context);
    const auto& t = reports.back().targets;
    ASSERT_EQ(t.size(), 2u);
    EXPECT_DOUBLE_EQ(t[0].box.left, 0.0);
    EXPECT_NEAR(t[0].box.width, 0.2, 1e-9);
    EXPECT_NEAR(t[0].box.top, 0.95, 1e-9);
    EXPECT_NEAR(t[0].box.height, 0.05, 1e-9);
    EXPECT_NEAR(t[1].box.left, 0.9, 1e-9);
    EXPECT_NEAR(t[1].box.width, 0.1, 1e-9);
    EXPECT_DOUBLE_EQ(t[1].box.top, 0.0);
    EXPECT_NEAR(t[1].box.height, 1.0, 1e-9);
}

TEST_F(DetectorLogic, ChangesRebuildTheObserverAfterEndingOpenTracks)
{
    ASSERT_EQ(h.Frame(1), 0);
    Queue(Result(10, {Object(3, 0.9f, 0, 0, 100, 100)}));
    ASSERT_EQ(h.Frame(10), 0);
    // The default value still counts as a change.
    ASSERT_EQ(h.detector->SetValue("NumThreads", int32_t{4}), 0);
    ASSERT_EQ(h.Frame(20), 0);
    EXPECT_EQ(Observers(), 2u);
    auto reports = Reports(h.host.context);
    ASSERT_EQ(reports.size(), 3u);
    ASSERT_EQ(reports[2].targets.size(), 1u);
    EXPECT_EQ(reports[2].targets[0].phase, 2u);
    EXPECT_EQ(reports[2].timestamp, 10u) << "ended at the previous frame's time";

    const auto calls = Calls();
    const auto stop = std::find(calls.begin(), calls.end(), "Stop");
    const auto create = std::find(stop, calls.end(), "create");
    const auto erase = std::find(create, calls.end(), "delete");
    EXPECT_NE(erase, calls.end()) << "stopped, successor built, then the old one deleted";

    // A new frame size does the same.
    Queue(Result(20, {Object(4, 0.9f, 0, 0, 100, 100)}));
    ASSERT_EQ(h.Frame(30), 0);
    ASSERT_EQ(h.Frame(40, 640, 480), 0);
    EXPECT_EQ(Observers(), 3u);
    reports = Reports(h.host.context);
    ASSERT_EQ(reports.back().targets.size(), 1u);
    EXPECT_EQ(reports.back().targets[0].objectId, 4);
    EXPECT_EQ(reports.back().targets[0].phase, 2u);
    EXPECT_EQ(reports.back().timestamp, 30u);
    EXPECT_EQ(LastConfig().frameWidth, 640);
}

TEST_F(DetectorLogic, LifeEventSwitchReplacesTheReporterOnly)
{
    ASSERT_EQ(h.Frame(1), 0);
    Queue(Result(10, {Object(3, 0.9f, 0, 0, 100, 100)}));
    ASSERT_EQ(h.Frame(10), 0);
    ASSERT_EQ(h.detector->SetValue("TargetLifeEvent", true), 0);
    // The old reporter closed its target during the call.
    auto reports = Reports(h.host.context);
    ASSERT_EQ(reports.back().targets.size(), 1u);
    EXPECT_EQ(reports.back().targets[0].phase, 2u);

    Queue(Result(20, {Object(3, 0.9f, 0, 0, 100, 100)}));
    ASSERT_EQ(h.Frame(20), 0);
    EXPECT_EQ(Observers(), 1u) << "no rebuild";
    reports = Reports(h.host.context);
    ASSERT_EQ(reports.back().targets.size(), 1u);
    EXPECT_EQ(reports.back().targets[0].phase, 1u) << "the track goes on: it appears to the new reporter";
    Queue(Result(30, {Object(3, 0.9f, 0, 0, 100, 100)}));
    ASSERT_EQ(h.Frame(30), 0);
    EXPECT_EQ(Reports(h.host.context).back().targets[0].phase, 0u);

    // Ended before the new reporter saw it: the host has its end already.
    ASSERT_EQ(h.detector->SetValue("TargetLifeEvent", false), 0);
    Queue(Result(40, {Object(3, 0.9f, 0, 0, 100, 100)}, {3}));
    ASSERT_EQ(h.Frame(40), 0);
    EXPECT_TRUE(Reports(h.host.context).back().targets.empty());
    h.Destroy();
    const auto lifeEvents = h.host.context.Events("TargetLifeEvent");
    ASSERT_EQ(lifeEvents.size(), 2u);
    EXPECT_EQ(lifeEvents[0].phase, 1);
    EXPECT_EQ(lifeEvents[0].timestamp, 20u);
    EXPECT_EQ(lifeEvents[1].phase, 2);
    EXPECT_EQ(lifeEvents[1].timestamp, 30u);
}

// What the host saw of every target and life event, checked as a host would.
struct LifeProtocol {
    size_t begins = 0, ends = 0, appearances = 0, targetEnds = 0;
    size_t continuedWithoutBegin = 0, endedWithoutBegin = 0;  // target lists
    size_t lifeEndsWithoutBegin = 0, lifeBeginsWhileOpen = 0, lifeEventsLeftOpen = 0;
    size_t targetsLeftOpen = 0;
};

LifeProtocol CheckLifeProtocol(const RefHost::HostContext& context)
{
    LifeProtocol p;
    std::map<int32_t, bool> open;              // by ObjectId
    std::map<std::string, int32_t> openLives;  // EventUuid to ObjectId
    for (const auto& event : context.Events()) {
        if (event.outcome != RefHost::Outcome::Committed) continue;
        if (event.name == "TargetList") {
            const RefHost::EventValue* list = event.Find("TargetList");
            if (list == nullptr || list->Targets() == nullptr) continue;
            for (const auto& t : list->Targets()->Targets()) {
                const int32_t id = t.Int32("ObjectId").value_or(-1);
                switch (t.phase.value_or(99)) {
                case 1:
                    ++p.appearances;
                    open[id] = true;
                    break;
                case 0:
                    if (!open[id]) ++p.continuedWithoutBegin;
                    break;
                default:
                    ++p.targetEnds;
                    if (!open[id]) ++p.endedWithoutBegin;
                    open[id] = false;
                }
            }
        } else if (event.name == "TargetLifeEvent") {
            const std::string uuid = event.String("EventUuid").value_or("");
            const int32_t id = event.Int32("ObjectId").value_or(-1);
            if (event.phase == 1) {
                ++p.begins;
                for (const auto& life : openLives)
                    if (life.second == id) ++p.lifeBeginsWhileOpen;
                openLives[uuid] = id;
            } else if (event.phase == 2) {
                ++p.ends;
                if (openLives.erase(uuid) == 0) ++p.lifeEndsWithoutBegin;
            }
        }
    }
    for (const auto& target : open) p.targetsLeftOpen += target.second ? 1 : 0;
    p.lifeEventsLeftOpen = openLives.size();
    return p;
}

TEST_F(DetectorLogic, LifeEventSwitchesMidStreamKeepTheProtocol)
{
    // 40 tracks over 300 frames, each missing from some results; the life
    // events are switched on and off while tracks are open, once together
    // with a rebuild.
    std::map<int, bool> switches{{60, true},  {120, false}, {121, true},  {180, false},
                                 {200, true}, {201, true},  {250, false}, {251, true}};
    const auto live = [](int id, int frame) {
        const int start = (id * 37) % 280, length = 10 + (id * 13) % 60;
        return frame >= start && frame < start + length;
    };
    for (int frame = 0; frame < 300; ++frame) {
        const uint64_t t = 40u * static_cast<uint64_t>(frame);
        if (auto on = switches.find(frame); on != switches.end()) {
            ASSERT_EQ(h.detector->SetValue("TargetLifeEvent", on->second), 0);
        }
        if (frame == 180) {
            ASSERT_EQ(h.detector->SetValue("NumThreads", int32_t{3}), 0);
        }
        // The result of the previous frame arrives with this one.
        if (frame > 0) {
            std::vector<QelWrapper::TrackedObject> objects;
            std::vector<int32_t> finished;
            for (int id = 1; id <= 40; ++id) {
                if (live(id, frame - 1) && (frame + id) % 7 != 0)
                    objects.push_back(Object(id, 0.9f, 10 * id, 0, 100, 100));
                if (live(id, frame - 2) && !live(id, frame - 1)) finished.push_back(id);
            }
            if (frame != 180) Queue(Result(t - 40, objects, finished));
        }
        ASSERT_EQ(h.Frame(t), 0) << frame;
    }
    h.Destroy();

    const LifeProtocol p = CheckLifeProtocol(h.host.context);
    RecordProperty("lifeEventBegins", static_cast<int>(p.begins));
    RecordProperty("lifeEventEnds", static_cast<int>(p.ends));
    RecordProperty("targetAppearances", static_cast<int>(p.appearances));
    RecordProperty("targetEnds", static_cast<int>(p.targetEnds));
    RecordProperty("continuedWithoutBegin", static_cast<int>(p.continuedWithoutBegin));
    RecordProperty("endedWithoutBegin", static_cast<int>(p.endedWithoutBegin));
    EXPECT_GT(p.begins, 40u) << "tracks were begun again after every switch";
    EXPECT_EQ(p.begins, p.ends);
    EXPECT_EQ(p.lifeEndsWithoutBegin, 0u);
    EXPECT_EQ(p.lifeBeginsWhileOpen, 0u);
    EXPECT_EQ(p.lifeEventsLeftOpen, 0u);
    EXPECT_EQ(p.continuedWithoutBegin, 0u) << "no target continues after its end";
    EXPECT_EQ(p.endedWithoutBegin, 0u);
    EXPECT_EQ(p.targetsLeftOpen, 0u);
    EXPECT_TRUE(h.host.context.Violations().empty());
}

TEST_F(DetectorLogic, BothViewsArePushedAndRefusalsLogged)
{
    ASSERT_EQ(h.Frame(1, 320, 240, true), 0);
    {
        std::lock_guard<std::mutex> lock(Script().mutex);
        EXPECT_EQ(Script().observers[0]->gpuPushes, 1);
        EXPECT_EQ(Script().observers[0]->planarPushes, 1);
        Script().refusePushes = true;
    }
    h.host.logger.Clear();
    EXPECT_EQ(h.Frame(2, 320, 240, false), 0);
    {
        std::lock_guard<std::mutex> lock(Script().mutex);
        EXPECT_EQ(Script().observers[0]->nullPushes, 1) << "the absent view is pushed as null";
    }
    const auto lines = h.host.logger.LinesWithText("failed pushing the frame to stream");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 3);
    EXPECT_EQ(lines[0].function, "Receive");
}

TEST_F(DetectorLogic, BadFramesAndFailuresAnswerTheirCodes)
{
    EXPECT_EQ(h.detector->Receive(nullptr), 10);

    // A sample offering neither buffer is released.
    struct Bare final : Kest8::MFF::ISample {
        REFHOST_BARE_SAMPLE_CONTRACTS(Kest8::MFF::ISample)
        uint64_t GetTimestamp() const override { return 0; }
        void Release() override { ++releases; }
        int releases = 0;
    } bare;
    EXPECT_EQ(h.detector->Receive(&bare), 10);
    EXPECT_EQ(bare.releases, 1);

    EXPECT_EQ(h.Frame(1, 0, 240), 10);
    EXPECT_EQ(h.Frame(1, 320, 0), 10);
    const auto invalid = h.host.logger.LinesWithText("Invalid frame.");
    ASSERT_EQ(invalid.size(), 2u);
    EXPECT_EQ(invalid[0].level, 3);
    EXPECT_EQ(invalid[0].function, "Receive");
    EXPECT_EQ(invalid[0].file, "Detectors/QelObjectTracker/src/Detector");

    ASSERT_EQ(h.Frame(2), 0);
    {
        std::lock_guard<std::mutex> lock(Script().mutex);
        Script().failPush = true;
    }
    EXPECT_EQ(h.Frame(3), 4);
    const auto failure = h.host.logger.LinesWithText("scripted push failure");
    ASSERT_EQ(failure.size(), 1u);
    EXPECT_EQ(failure[0].level, 3);

    // Anything else thrown is logged only at the most detailed level.
    {
        std::lock_guard<std::mutex> lock(Script().mutex);
        Script().nonStandard = true;
    }
    EXPECT_EQ(h.Frame(4), 4);
    const auto other = h.host.logger.LinesWithText("Non standard exception.");
    ASSERT_EQ(other.size(), 1u);
    EXPECT_EQ(other[0].level, 0);
    EXPECT_EQ(other[0].function, "Receive");
    h.host.logger.SetLevel(1);
    EXPECT_EQ(h.Frame(5), 4);
    EXPECT_EQ(h.host.logger.LinesWithText("Non standard exception.").size(), 1u);
}

TEST_F(DetectorLogic, FailedBuildIsRetriedEveryTenSecondsOfFrameTime)
{
    h.host.logger.SetLevel(3);
    {
        std::lock_guard<std::mutex> lock(Script().mutex);
        Script().failCreation = true;
    }
    EXPECT_EQ(h.Frame(1000), 4);
    EXPECT_EQ(h.Frame(1001), 1);
    EXPECT_EQ(h.Frame(10999), 1) << "less than 10 s after the attempt";
    EXPECT_EQ(h.host.logger.LinesWithText("scripted creation failure").size(), 1u);
    EXPECT_EQ(h.Frame(11000), 4) << "retried, failed again";
    const auto retried = h.host.logger.LinesWithText("scripted creation failure");
    ASSERT_EQ(retried.size(), 2u);
    EXPECT_EQ(retried[1].level, 3);
    EXPECT_EQ(h.Frame(12000), 1);
    {
        std::lock_guard<std::mutex> lock(Script().mutex);
        Script().failCreation = false;
    }
    EXPECT_EQ(h.Frame(20999), 1);
    EXPECT_EQ(Observers(), 0u);
    EXPECT_EQ(h.Frame(21000), 0) << "picked up without a change";
    EXPECT_EQ(Observers(), 1u);
    EXPECT_EQ(h.Frame(40000), 0);
    EXPECT_EQ(Observers(), 1u) << "a working detector does not rebuild";
    EXPECT_EQ(h.host.logger.Count(), 2u);

    // A parameter or size change still tries at once.
    {
        std::lock_guard<std::mutex> lock(Script().mutex);
        Script().failCreation = true;
    }
    ASSERT_EQ(h.detector->SetValue("NumThreads", int32_t{2}), 0);
    EXPECT_EQ(h.Frame(40001), 4);
    {
        std::lock_guard<std::mutex> lock(Script().mutex);
        Script().failCreation = false;
    }
    EXPECT_EQ(h.Frame(40002), 1);
    EXPECT_EQ(h.Frame(40003, 640, 480), 0) << "a new size retries";
    EXPECT_EQ(h.Frame(40004, 640, 480), 0);
    EXPECT_EQ(Observers(), 2u);
}

TEST_F(DetectorLogic, FailedRebuildLetsTheStoppedObserverGo)
{
    h.host.logger.SetLevel(3);
    ASSERT_EQ(h.Frame(1), 0);
    Queue(Result(10, {Object(3, 0.9f, 0, 0, 100, 100)}));
    ASSERT_EQ(h.Frame(10), 0);

    // A region outside the frame: the old observer is stopped, its track
    // ended, and no successor can be built.
    Rectangles outside({{0.5, 0.0, 0.6, 1.0}});
    ASSERT_EQ(h.detector->SetValue("RegionOfInterest", &outside), 0);
    EXPECT_EQ(h.Frame(20), 4);
    auto reports = Reports(h.host.context);
    ASSERT_EQ(reports.back().targets.size(), 1u);
    EXPECT_EQ(reports.back().targets[0].phase, 2u);
    {
        std::lock_guard<std::mutex> lock(Script().mutex);
        ASSERT_EQ(Script().observers.size(), 1u);
        EXPECT_EQ(Script().observers[0]->stops, 1);
        EXPECT_TRUE(Script().observers[0]->destroyed) << "a stopped observer is not kept";
    }
    for (uint64_t t = 30; t < 100; t += 10) EXPECT_EQ(h.Frame(t), 1) << t;
    EXPECT_TRUE(h.host.logger.LinesWithText("failed pushing the frame to stream").empty());
    {
        std::lock_guard<std::mutex> lock(Script().mutex);
        EXPECT_EQ(Script().observers[0]->planarPushes, 2) << "nothing pushed after the stop";
    }
    const size_t reportsBefore = Reports(h.host.context).size();

    // An observer that cannot be built after a working one: the same.
    Rectangles whole({{0.0, 0.0, 1.0, 1.0}});
    ASSERT_EQ(h.detector->SetValue("RegionOfInterest", &whole), 0);
    ASSERT_EQ(h.Frame(100), 0);
    EXPECT_EQ(Reports(h.host.context).size(), reportsBefore + 1) << "one empty closing report";
    {
        std::lock_guard<std::mutex> lock(Script().mutex);
        Script().failCreation = true;
    }
    ASSERT_EQ(h.detector->SetValue("DetectorStep", int32_t{3}), 0);
    EXPECT_EQ(h.Frame(110), 4);
    EXPECT_EQ(h.Frame(120), 1);
    std::lock_guard<std::mutex> lock(Script().mutex);
    ASSERT_EQ(Script().observers.size(), 2u);
    EXPECT_TRUE(Script().observers[1]->destroyed);
    EXPECT_EQ(Script().observers[1]->planarPushes, 1);
}

TEST_F(DetectorLogic, ObserverFactoryGivingNothingMeansNoTracker)
{
    {
        std::lock_guard<std::mutex> lock(Script().mutex);
        Script().returnNull = true;
    }
    EXPECT_EQ(h.Frame(1), 1);
    EXPECT_EQ(h.Frame(2), 1);
    {
        std::lock_guard<std::mutex> lock(Script().mutex);
        Script().returnNull = false;
    }
    EXPECT_EQ(h.Frame(10001), 0) << "retried";
}

TEST_F(DetectorLogic, ResultsQueuedAtARebuildAreReportedBeforeTheTracksEnd)
{
    {
        std::lock_guard<std::mutex> lock(Script().mutex);
        Script().holdUntilStop = true;
    }
    ASSERT_EQ(h.Frame(1), 0);
    Queue(Result(5, {Object(3, 0.9f, 100, 0, 100, 100)}));
    ASSERT_EQ(h.Frame(10), 0);
    ASSERT_EQ(Reports(h.host.context).size(), 1u) << "held until the stop";

    ASSERT_EQ(h.detector->SetValue("NumThreads", int32_t{2}), 0);
    ASSERT_EQ(h.Frame(20), 0);
    const auto reports = Reports(h.host.context);
    ASSERT_EQ(reports.size(), 3u);
    ASSERT_EQ(reports[1].targets.size(), 1u) << "the old observer's last result";
    EXPECT_EQ(reports[1].timestamp, 5u);
    EXPECT_EQ(reports[1].targets[0].phase, 1u);
    ASSERT_EQ(reports[2].targets.size(), 1u);
    EXPECT_EQ(reports[2].targets[0].phase, 2u);
    EXPECT_NEAR(reports[2].targets[0].box.left, 0.1, 1e-9);
    std::lock_guard<std::mutex> lock(Script().mutex);
    EXPECT_TRUE(Script().observers[1]->results.empty());
}

TEST_F(DetectorLogic, ResultsQueuedAtDestructionAreReported)
{
    {
        std::lock_guard<std::mutex> lock(Script().mutex);
        Script().holdUntilStop = true;
    }
    ASSERT_EQ(h.Frame(1), 0);
    Queue(Result(5, {Object(3, 0.9f, 100, 0, 100, 100)}));
    Queue(Result(8, {Object(3, 0.9f, 200, 0, 100, 100), Object(4, 0.9f, 0, 0, 100, 100)}));
    ASSERT_EQ(h.Frame(10), 0);
    h.Destroy();
    const auto reports = Reports(h.host.context);
    ASSERT_EQ(reports.size(), 5u) << "first frame, two results, the ending, the reporter's close";
    EXPECT_EQ(reports[1].timestamp, 5u);
    EXPECT_EQ(reports[2].timestamp, 8u);
    ASSERT_EQ(reports[3].targets.size(), 2u);
    EXPECT_NEAR(reports[3].targets[0].box.left, 0.2, 1e-9);
    EXPECT_EQ(reports[3].targets[1].objectId, 4);
    EXPECT_TRUE(reports[4].targets.empty());
}

TEST_F(DetectorLogic, DestructionReportsTheLastBoxesWhenStopFails)
{
    ASSERT_EQ(h.Frame(1), 0);
    Queue(Result(10, {Object(3, 0.9f, 100, 0, 100, 100), Object(9, 0.9f, 500, 0, 100, 100)}));
    ASSERT_EQ(h.Frame(10), 0);
    {
        std::lock_guard<std::mutex> lock(Script().mutex);
        Script().failStop = true;
    }
    h.Destroy();
    const auto reports = Reports(h.host.context);
    ASSERT_EQ(reports.size(), 4u);
    const auto& ending = reports[2].targets;
    ASSERT_EQ(ending.size(), 2u);
    EXPECT_EQ(ending[0].phase, 2u);
    EXPECT_NEAR(ending[0].box.left, 0.1, 1e-9);
    EXPECT_NEAR(ending[0].box.width, 0.1, 1e-9);
    EXPECT_NEAR(ending[1].box.left, 0.5, 1e-9);
    EXPECT_TRUE(reports[3].targets.empty()) << "nothing left for the reporter to close";
    std::lock_guard<std::mutex> lock(Script().mutex);
    EXPECT_TRUE(Script().observers[0]->destroyed);
}

TEST_F(DetectorLogic, DestructionEndsOpenTracks)
{
    ASSERT_EQ(h.Frame(1), 0);
    Queue(Result(10, {Object(3, 0.9f, 0, 0, 100, 100), Object(9, 0.9f, 0, 0, 100, 100)}));
    ASSERT_EQ(h.Frame(10), 0);
    h.Destroy();
    // The tracks end in one report; the reporter's own closing list after
    // it is empty, as every track is already closed.
    const auto reports = Reports(h.host.context);
    ASSERT_GE(reports.size(), 2u);
    const auto& ending = reports[reports.size() - 2];
    ASSERT_EQ(ending.targets.size(), 2u);
    EXPECT_EQ(ending.targets[0].phase, 2u);
    EXPECT_EQ(ending.targets[1].phase, 2u);
    EXPECT_EQ(ending.timestamp, 10u);
    EXPECT_TRUE(reports.back().targets.empty());
    std::lock_guard<std::mutex> lock(Script().mutex);
    EXPECT_EQ(Script().observers[0]->stops, 1);
    EXPECT_TRUE(Script().observers[0]->destroyed);
}

TEST_F(DetectorLogic, StatisticsFollowFrameTimeAndTheClock)
{
    auto submissions = [&] { return h.host.statistics.Submissions(); };
    ASSERT_EQ(h.Frame(0), 0);
    Queue(Result(0, {Object(1, 0.9f, 0, 0, 10, 10), Object(2, 0.9f, 0, 0, 10, 10)}));
    {
        std::lock_guard<std::mutex> lock(Script().mutex);
        Script().statistics = {0, 300, 290};
    }
    h.clock.AdvanceSeconds(16);
    ASSERT_EQ(h.Frame(14999), 0);
    EXPECT_TRUE(submissions().empty()) << "frame time advanced by 14999 only";
    h.clock.AdvanceSeconds(-1.5);  // 14.5 s since construction
    ASSERT_EQ(h.Frame(20000), 0);
    EXPECT_TRUE(submissions().empty()) << "the clock advanced by less than 15 s";
    h.clock.AdvanceSeconds(0.5);  // exactly 15 s
    ASSERT_EQ(h.Frame(20001), 0);
    const auto s = submissions();
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s[0].metric, "pushed_ps");
    EXPECT_NEAR(std::get<double>(s[0].value), 20.0, 1e-9);
    EXPECT_EQ(s[1].metric, "processed_ps");
    EXPECT_NEAR(std::get<double>(s[1].value), 290.0 / 15.0, 1e-9);
    EXPECT_EQ(s[2].metric, "tracks");
    EXPECT_EQ(std::get<uint64_t>(s[2].value), 2u);
    EXPECT_EQ(s[3].metric, "errors");
    EXPECT_EQ(std::get<uint64_t>(s[3].value), 0u);
}

TEST_F(DetectorLogic, StatisticsPeriodsStartAtTheLastPublication)
{
    auto published = [&] { return h.host.statistics.Submissions().size() / 4; };
    ASSERT_EQ(h.Frame(0), 0);
    // One nanosecond short of 15 s is not enough; 15 s is.
    h.clock.AdvanceNanoseconds(14'999'999'999);
    ASSERT_EQ(h.Frame(20000), 0);
    EXPECT_EQ(published(), 0u);
    h.clock.AdvanceNanoseconds(1);
    ASSERT_EQ(h.Frame(20001), 0);
    ASSERT_EQ(published(), 1u);

    // The frame time counts from that publication, not from the start.
    h.clock.AdvanceSeconds(20);
    ASSERT_EQ(h.Frame(35000), 0);
    EXPECT_EQ(published(), 1u) << "frame time advanced by 14999 since the publication";
    // A time stamp that goes backwards counts as far ahead.
    ASSERT_EQ(h.Frame(100), 0);
    EXPECT_EQ(published(), 2u);
}

TEST_F(DetectorLogic, ErrorsAndEveryReportOfAnAppearingTrackAreCounted)
{
    ASSERT_EQ(h.Frame(0), 0);
    Queue(Result(0, {Object(1, 0.9f, 0, 0, 10, 10)}));
    ASSERT_EQ(h.Frame(10), 0);
    Queue(Result(10, {}));  // track 1 is still appearing: counted again
    ASSERT_EQ(h.Frame(20), 0);
    Queue(Result(20, {Object(1, 0.9f, 0, 0, 10, 10)}));  // continuing now
    ASSERT_EQ(h.Frame(30), 0);
    {
        std::lock_guard<std::mutex> lock(Script().mutex);
        Script().failPush = true;
    }
    EXPECT_EQ(h.Frame(40), 4);
    {
        std::lock_guard<std::mutex> lock(Script().mutex);
        Script().nonStandard = true;
    }
    EXPECT_EQ(h.Frame(50), 4);
    {
        std::lock_guard<std::mutex> lock(Script().mutex);
        Script().failPush = false;
    }
    h.clock.AdvanceSeconds(15);
    ASSERT_EQ(h.Frame(15050), 0);
    const auto s = h.host.statistics.Submissions();
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s[2].metric, "tracks");
    EXPECT_EQ(std::get<uint64_t>(s[2].value), 2u);
    EXPECT_EQ(s[3].metric, "errors");
    EXPECT_EQ(std::get<uint64_t>(s[3].value), 2u);
}

TEST_F(DetectorLogic, RatesAfterARebuildCountTheNewObserverFromZero)
{
    auto set = [](QelWrapper::StreamStatistics statistics) {
        std::lock_guard<std::mutex> lock(Script().mutex);
        Script().statistics = statistics;
    };
    ASSERT_EQ(h.Frame(0), 0);
    set({0, 250, 240});
    h.clock.AdvanceSeconds(15);
    ASSERT_EQ(h.Frame(15000), 0);
    ASSERT_EQ(h.detector->SetValue("NumThreads", int32_t{2}), 0);
    ASSERT_EQ(h.Frame(15040), 0);
    ASSERT_EQ(Observers(), 2u);
    set({0, 375, 360});  // the new observer, 15 s later
    h.clock.AdvanceSeconds(15);
    ASSERT_EQ(h.Frame(30040), 0);
    const auto s = h.host.statistics.Submissions();
    ASSERT_EQ(s.size(), 8u);
    EXPECT_NEAR(std::get<double>(s[0].value), 250.0 / 15.0, 1e-9);
    EXPECT_NEAR(std::get<double>(s[4].value), 25.0, 1e-9);
    EXPECT_NEAR(std::get<double>(s[5].value), 24.0, 1e-9);
}

TEST_F(DetectorLogic, AdviceFollowsTheDevice)
{
    struct Advisor final : Kest8::Analytics::IDetectorAdvisor {
        REFHOST_CONTRACTS(Kest8::Analytics::IDetectorAdvisor)
        uint32_t GetAdvisorFlags() const override { return 2; }
        void Advise(const Kest8::Analytics::DetectorAdvice& a) override { values.push_back(a.value); }
        std::vector<uint32_t> values;
    } advisor;
    h.detector->SetAdvisor(&advisor);
    ASSERT_EQ(h.detector->SetValue("mode", "GPU1"), 0);
    EXPECT_EQ(advisor.values, std::vector<uint32_t>({1})) << "later mode changes send no advice";
    h.detector->SetAdvisor(&advisor);
    EXPECT_EQ(advisor.values, std::vector<uint32_t>({1, 4}));
}

}  // namespace
