// What our SDK makes of how things look: the HOG check of the person
// detector, which splits people walking together and sees no one in a car,
// the colours that tell people apart when one is picked up again, and the
// places where something that never moves and never looks like a person is
// taken for the scene.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "Scene/Generator.h"
#include "track/Appearance.h"
#include "track/Config.h"
#include "track/Detector.h"
#include "track/StreamTracker.h"

namespace {

using tsdk::detail::CreatePersonDetector;
using tsdk::detail::Detection;
using tsdk::detail::DetectionContext;
using tsdk::detail::EngineConfig;
using tsdk::detail::IDetector;
using tsdk::detail::PersonAppearance;
using tsdk::detail::PersonHit;
using tsdk::detail::StreamTracker;
using tsdk::detail::TrackHint;
using tsdk::detail::TrackIdSource;

constexpr int kWidth = 320;
constexpr int kHeight = 240;

class ScriptedDetector final : public IDetector {
public:
    explicit ScriptedDetector(bool judgesLooks) : m_judgesLooks(judgesLooks) {}
    void Detect(const fsdk::Image&, const DetectionContext&, std::vector<Detection>& out) override { out = next; }
    bool JudgesLooks() const override { return m_judgesLooks; }

    std::vector<Detection> next;

private:
    const bool m_judgesLooks;
};

struct Rgb {
    uint8_t r, g, b;
};

class Looking : public ::testing::Test {
protected:
    void Start(bool judgesLooks, int skipFrames = 0, int inactiveLifetime = 0)
    {
        config.detectorStep = 1;
        config.skipFrames = skipFrames;
        config.inactiveTracksLifetime = inactiveLifetime;
        auto owned = std::make_unique<ScriptedDetector>(judgesLooks);
        script = owned.get();
        tracker = std::make_unique<StreamTracker>(config, ids, std::move(owned));
    }

    // Grey ground with a box of one colour at `box` (when given).
    void Paint(const fsdk::Rect* box, Rgb colour)
    {
        pixels.assign(static_cast<size_t>(kWidth) * kHeight * 3, 100);
        if (box == nullptr) return;
        for (int y = static_cast<int>(box->y); y < static_cast<int>(box->y + box->height); ++y)
            for (int x = static_cast<int>(box->x); x < static_cast<int>(box->x + box->width); ++x) {
                uint8_t* p = &pixels[(static_cast<size_t>(y) * kWidth + x) * 3];
                p[0] = colour.r;
                p[1] = colour.g;
                p[2] = colour.b;
            }
    }

    // One frame with these detections; the reported tracks by id.
    std::map<int32_t, tsdk::TrackedObject> Frame(std::vector<Detection> detections)
    {
        if (pixels.empty()) Paint(nullptr, {});
        script->next = std::move(detections);
        const fsdk::Image image(kWidth, kHeight, fsdk::Format::R8G8B8, pixels.data(), false);
        std::vector<tsdk::TrackedObject> objects;
        finished.clear();
        tracker->Process(image, objects, finished);
        std::map<int32_t, tsdk::TrackedObject> byId;
        for (const auto& o : objects) byId[o.trackId] = o;
        return byId;
    }

    static Detection At(float x, float y, bool person = false)
    {
        Detection d;
        d.box = {x, y, 20, 60};
        d.score = 0.9f;
        d.person = person;
        return d;
    }

    EngineConfig config;
    TrackIdSource ids;
    ScriptedDetector* script = nullptr;
    std::unique_ptr<StreamTracker> tracker;
    std::vector<uint8_t> pixels;
    std::vector<int32_t> finished;
};

TEST_F(Looking, WhatStaysInPlaceAndNeverLooksLikeAPersonIsNeverReported)
{
    Start(true);
    std::set<int32_t> reported;
    bool ended = false;
    for (int f = 0; f < 20; ++f) {
        const auto tracks = Frame({At(100, 80)});
        for (const auto& [id, o] : tracks) reported.insert(id);
        ended = ended || !finished.empty();
    }
    EXPECT_TRUE(reported.empty()) << "a door, a pillar, a shelf";
    EXPECT_FALSE(ended) << "no end of what was never reported";
    // Someone who looks like a person is followed there all the same.
    const auto person = Frame({At(100, 80, true)});
    ASSERT_EQ(person.size(), 1u);
}

TEST_F(Looking, APatchThatFlickersInSizeOrJittersInPlaceIsNeverReported)
{
    // Foreground where a shadow or a reflection falls: its box grows and
    // shrinks by half around one place or from one end, or a small one
    // shifts by a few pixels, run after run. None of it is someone walking.
    struct Case {
        const char* what;
        fsdk::Rect even, odd;
    };
    for (const Case& c : {Case{"growing and shrinking", {100, 80, 20, 60}, {97, 65, 26, 90}},
                          Case{"a thin patch lengthening downwards", {100, 80, 8, 40}, {100, 80, 8, 80}},
                          Case{"a small patch shifting", {100, 80, 6, 12}, {104, 80, 6, 12}}}) {
        Start(true);
        std::set<int32_t> reported;
        for (int f = 0; f < 20; ++f) {
            Detection d = At(0, 0);
            d.box = f % 2 == 0 ? c.even : c.odd;
            for (const auto& [id, o] : Frame({d})) reported.insert(id);
        }
        EXPECT_TRUE(reported.empty()) << c.what;
    }
}

TEST_F(Looking, WhatStaysInPlaceIsReportedOnceItLooksLikeAPersonOrMovesOrWhenTheDetectorCannotTell)
{
    struct Case {
        const char* what;
        bool judgesLooks;
        bool person;
        float speed;
        int reportedFrames;
    };
    // The person from when they look like one; the thing walking from when
    // it has gone 0.3 of its height (frame 5).
    for (const Case& c : {Case{"a person standing", true, true, 0.f, 18}, Case{"a thing walking", true, false, 4.f, 15},
                          Case{"a blob from a detector that cannot tell", false, false, 0.f, 20}}) {
        Start(c.judgesLooks);
        std::set<int32_t> reported;
        int frames = 0;
        bool ended = false;
        for (int f = 0; f < 20; ++f) {
            // The looks of a person are not always seen at once.
            const auto tracks = Frame({At(60 + c.speed * static_cast<float>(f), 80, c.person && f >= 2)});
            for (const auto& [id, o] : tracks) reported.insert(id);
            frames += tracks.empty() ? 0 : 1;
            ended = ended || !finished.empty();
        }
        EXPECT_EQ(frames, c.reportedFrames) << c.what;
        EXPECT_EQ(reported.size(), 1u) << c.what;
        EXPECT_FALSE(ended) << c.what;
    }
}

TEST_F(Looking, APersonPickedUpAgainIsKnownByTheirColours)
{
    // Seen for a while, hidden long enough to stop being reported, then
    // found again at the same place: the same person when the colours
    // are the same, someone else when they are not.
    struct Case {
        Rgb before, after;
        bool same;
    };
    const Rgb red{200, 40, 40}, blue{40, 60, 210};
    for (const Case& c : {Case{red, red, true}, Case{red, blue, false}}) {
        Start(true, 0, 50);
        const Detection seen = At(150, 90, true);
        Paint(&seen.box, c.before);
        int32_t first = 0;
        for (int f = 0; f < 5; ++f) {
            const auto tracks = Frame({seen});
            ASSERT_EQ(tracks.size(), 1u);
            first = tracks.begin()->first;
        }
        Paint(nullptr, {});
        for (int f = 0; f < 5; ++f) EXPECT_TRUE(Frame({}).empty());
        Paint(&seen.box, c.after);
        const auto again = Frame({seen});
        ASSERT_EQ(again.size(), 1u);
        EXPECT_EQ(again.begin()->first == first, c.same) << "colours " << int(c.after.r) << "," << int(c.after.b);
    }
}

TEST(Looks, AreTheSameForTheSameColoursAndUnlikeForOthers)
{
    std::vector<uint8_t> pixels(static_cast<size_t>(kWidth) * kHeight * 3);
    for (size_t i = 0; i < pixels.size(); i += 3) {
        const bool left = (i / 3) % kWidth < kWidth / 2;
        pixels[i] = left ? 220 : 30;
        pixels[i + 1] = 40;
        pixels[i + 2] = left ? 30 : 220;
    }
    const fsdk::Image image(kWidth, kHeight, fsdk::Format::R8G8B8, pixels.data(), false);
    StreamTracker::Looks a{}, b{}, c{};
    StreamTracker::LooksOf(image, {20, 20, 40, 100}, a);
    StreamTracker::LooksOf(image, {60, 100, 40, 100}, b);
    StreamTracker::LooksOf(image, {220, 20, 40, 100}, c);
    EXPECT_NEAR(StreamTracker::LooksDistance(a, b), 0.f, 1e-3f);
    EXPECT_GT(StreamTracker::LooksDistance(a, c), 0.9f);
    // A box wholly outside the image has no colours, and is unlike any.
    StreamTracker::Looks none{};
    StreamTracker::LooksOf(image, {-500, -500, 40, 100}, none);
    EXPECT_GT(StreamTracker::LooksDistance(a, none), 0.9f);
}

double IoU(const fsdk::Rect& a, const Scene::Box& b)
{
    const double w = std::min<double>(a.x + a.width, b.x + b.width) - std::max<double>(a.x, b.x);
    const double h = std::min<double>(a.y + a.height, b.y + b.height) - std::max<double>(a.y, b.y);
    if (w <= 0 || h <= 0) return 0;
    return w * h / (a.width * a.height + b.width * b.height - w * h);
}

// Share of `part` inside `whole`.
double Inside(const fsdk::Rect& part, const Scene::Box& whole)
{
    const double w = std::min<double>(part.x + part.width, whole.x + whole.width) - std::max<double>(part.x, whole.x);
    const double h = std::min<double>(part.y + part.height, whole.y + whole.height) - std::max<double>(part.y, whole.y);
    return w > 0 && h > 0 ? w * h / (part.width * part.height) : 0.0;
}

const Scene::Generator& DefaultScene()
{
    static const Scene::Generator scene{Scene::Settings{}};
    return scene;
}

// Frame `f` of the default scene's size, grey; `rgb` is scratch space.
cv::Mat GreyFrame(const Scene::Generator& scene, uint32_t f, std::vector<uint8_t>& rgb)
{
    scene.Render(f, rgb);
    cv::Mat grey;
    cv::cvtColor(cv::Mat(360, 640, CV_8UC3, rgb.data()), grey, cv::COLOR_RGB2GRAY);
    return grey;
}

// A frame of the scene with no one and nothing in it, grey.
const cv::Mat& Bare()
{
    static const cv::Mat bare = [] {
        const Scene::Generator& scene = DefaultScene();
        std::vector<uint8_t> rgb;
        for (uint32_t f = scene.FrameCount(); f-- > 0;)
            if (scene.TruthAt(f).empty() && scene.VehiclesAt(f).empty()) return GreyFrame(scene, f, rgb);
        return cv::Mat();
    }();
    return bare;
}

TEST(PersonLooks, AFigureIsFoundWhereItStandsAndNoOneWhereItDoesNot)
{
    const Scene::Generator& scene = DefaultScene();
    PersonAppearance appearance;
    std::vector<uint8_t> rgb;
    std::vector<PersonHit> hits;
    size_t looked = 0, found = 0, empty = 0;
    for (uint32_t f = 0; f < scene.FrameCount(); f += 5) {
        for (const Scene::Truth& t : scene.TruthAt(f)) {
            if (t.visibility < 0.99 || t.box.height < 80) continue;
            const cv::Mat grey = GreyFrame(scene, f, rgb);
            const cv::Rect region(static_cast<int>(t.box.x), static_cast<int>(t.box.y), static_cast<int>(t.box.width),
                                  static_cast<int>(t.box.height));
            const int height = static_cast<int>(t.box.height);
            appearance.Find(grey, region, height, hits);
            ++looked;
            bool hit = false;
            for (const PersonHit& h : hits)
                hit = hit || IoU({static_cast<float>(h.box.x), static_cast<float>(h.box.y),
                                  static_cast<float>(h.box.width), static_cast<float>(h.box.height)},
                                 t.box) >= 0.3;
            found += hit;
            // The same place on the bare ground and wall.
            appearance.Find(Bare(), region, height, hits);
            empty += hits.empty();
        }
    }
    ASSERT_GT(looked, 20u);
    ASSERT_FALSE(Bare().empty());
    EXPECT_GE(found * 10, looked * 6) << found << " of " << looked;
    EXPECT_GE(empty * 10, looked * 9) << empty << " of " << looked;

    // Too small to judge, or nowhere: nothing, and no fault.
    cv::Mat grey(360, 640, CV_8UC1, cv::Scalar(100));
    appearance.Find(grey, {10, 10, 20, 40}, 40, hits);
    EXPECT_TRUE(hits.empty());
    appearance.Find(grey, {-500, -500, 100, 200}, 200, hits);
    EXPECT_TRUE(hits.empty());
    appearance.Find(cv::Mat(), {0, 0, 100, 200}, 200, hits);
    EXPECT_TRUE(hits.empty());
}

TEST(PersonLooks, TwoWalkingAbreastAreTwoPeopleAndTheCarIsNoOne)
{
    // The person detector on every frame of the generated scene, told of
    // the people it found as the tracker tells it.
    const Scene::Generator& scene = DefaultScene();
    EngineConfig config;
    config.scaleResultSize = 640;
    auto detector = CreatePersonDetector(config);
    std::vector<uint8_t> rgb;
    std::vector<Detection> detections;
    std::vector<TrackHint> hints;
    std::vector<float> presence;
    size_t abreast = 0, split = 0, carFrames = 0, onCar = 0;
    for (uint32_t f = 0; f < scene.FrameCount(); ++f) {
        scene.Render(f, rgb);
        const fsdk::Image image(640, 360, fsdk::Format::R8G8B8, rgb.data(), false);
        presence.assign(hints.size(), -1.f);
        DetectionContext context;
        context.tracks = {hints.data(), hints.size()};
        context.presence = {presence.data(), presence.size()};
        detector->Detect(image, context, detections);
        hints.clear();
        for (const Detection& d : detections) hints.push_back({d.box, true, false, d.person});

        const auto& truth = scene.TruthAt(f);
        const auto matched = [&](const Scene::Truth& t) {
            for (size_t i = 0; i < detections.size(); ++i)
                if (IoU(detections[i].box, t.box) >= 0.4) return static_cast<int>(i);
            return -1;
        };
        // Two in full view whose outlines touch.
        for (const Scene::Truth& a : truth)
            for (const Scene::Truth& b : truth) {
                if (a.id >= b.id || a.visibility < 0.95 || b.visibility < 0.95 || a.box.height < 50) continue;
                const double gap = std::max(a.box.x, b.box.x) - std::min(a.box.x + a.box.width, b.box.x + b.box.width);
                if (gap > 0.2 * a.box.height ||
                    std::abs(a.box.y + a.box.height - b.box.y - b.box.height) > 0.1 * a.box.height)
                    continue;
                ++abreast;
                const int i = matched(a), j = matched(b);
                split += i >= 0 && j >= 0 && i != j;
            }
        for (const Scene::Box& car : scene.VehiclesAt(f)) {
            if (car.x <= 0 || car.x + car.width >= 640) continue;
            ++carFrames;
            bool targeted = false;
            for (const Detection& d : detections) {
                bool person = false;
                for (const Scene::Truth& t : truth) person = person || IoU(d.box, t.box) >= 0.4;
                targeted = targeted || (!person && Inside(d.box, car) >= 0.5);
            }
            onCar += targeted;
        }
    }
    ASSERT_GT(abreast, 50u);
    EXPECT_GE(split * 10, abreast * 6) << split << " of " << abreast << " frames";
    ASSERT_GT(carFrames, 20u);
    EXPECT_LE(onCar * 10, carFrames) << onCar << " of " << carFrames << " frames";
}

}  // namespace

namespace {

// A frame of the scene with a tall figure in full view whom the HOG
// detectors see, and that figure's box; false when there is none.
bool StandingFigure(std::vector<uint8_t>& rgb, Scene::Box& box)
{
    const Scene::Generator& scene = DefaultScene();
    PersonAppearance appearance;
    std::vector<PersonHit> hits;
    for (uint32_t f = 0; f < scene.FrameCount(); f += 10) {
        for (const Scene::Truth& t : scene.TruthAt(f)) {
            if (t.visibility < 0.99 || t.box.height < 90) continue;
            const cv::Mat grey = GreyFrame(scene, f, rgb);
            appearance.Find(grey,
                            cv::Rect(static_cast<int>(t.box.x), static_cast<int>(t.box.y),
                                     static_cast<int>(t.box.width), static_cast<int>(t.box.height)),
                            static_cast<int>(t.box.height), hits);
            for (const PersonHit& h : hits)
                if (IoU({static_cast<float>(h.box.x), static_cast<float>(h.box.y), static_cast<float>(h.box.width),
                         static_cast<float>(h.box.height)},
                        t.box) >= 0.4) {
                    box = t.box;
                    return true;
                }
        }
    }
    return false;
}

}  // namespace

TEST(PersonLooks, SomeoneStandingStillIsFoundAgainOnEveryRunAndNotOnceGone)
{
    // Someone in view from the first frame is part of the background: the
    // foreground never shows them, and each run looks for them again where
    // the tracker expects them. What one look found may stand for the next
    // runs only while the place looks the same.
    std::vector<uint8_t> standing;
    Scene::Box truth;
    ASSERT_TRUE(StandingFigure(standing, truth));
    std::vector<uint8_t> bare(640 * 360 * 3);
    cv::cvtColor(Bare(), cv::Mat(360, 640, CV_8UC3, bare.data()), cv::COLOR_GRAY2RGB);
    cv::Mat withFigure(360, 640, CV_8UC3, standing.data());
    cv::Mat grey;
    cv::cvtColor(withFigure, grey, cv::COLOR_RGB2GRAY);
    cv::cvtColor(grey, withFigure, cv::COLOR_GRAY2RGB);  // the same light as the bare frame

    EngineConfig config;
    config.scaleResultSize = 640;
    auto detector = CreatePersonDetector(config);
    std::vector<Detection> detections;
    const fsdk::Rect expected{static_cast<float>(truth.x), static_cast<float>(truth.y), static_cast<float>(truth.width),
                              static_cast<float>(truth.height)};
    std::vector<TrackHint> hints{{expected, true, false, true}};
    std::vector<float> presence(1, -1.f);
    DetectionContext context;
    context.tracks = {hints.data(), hints.size()};
    context.presence = {presence.data(), presence.size()};
    const auto found = [&] {
        for (const Detection& d : detections)
            if (d.person && IoU(d.box, truth) >= 0.4) return true;
        return false;
    };

    const fsdk::Image still(640, 360, fsdk::Format::R8G8B8, standing.data(), false);
    detector->Detect(still, DetectionContext{}, detections);
    ASSERT_TRUE(found()) << "the first look over the whole frame sees them";
    for (int run = 1; run <= 6; ++run) {
        detector->Detect(still, context, detections);
        EXPECT_TRUE(found()) << "run " << run;
    }
    // They leave without a step the foreground would show (the frame
    // before was the last with them): the place they stood is bare.
    const fsdk::Image gone(640, 360, fsdk::Format::R8G8B8, bare.data(), false);
    for (int run = 1; run <= 3; ++run) {
        detector->Detect(gone, context, detections);
        EXPECT_FALSE(found()) << "run " << run << " after they left";
    }
}
