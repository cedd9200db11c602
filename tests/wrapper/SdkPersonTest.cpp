// Our SDK's person detector, its background model, and the tracker that
// follows its detections.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "track/BoxFilter.h"
#include "track/Config.h"
#include "track/Detector.h"
#include "track/Foreground.h"
#include "track/StreamTracker.h"

namespace {

using tsdk::detail::BoxFilter;
using tsdk::detail::CreatePersonDetector;
using tsdk::detail::Detection;
using tsdk::detail::DetectionContext;
using tsdk::detail::EngineConfig;
using tsdk::detail::ForegroundModel;
using tsdk::detail::IDetector;
using tsdk::detail::Sighting;
using tsdk::detail::StreamTracker;
using tsdk::detail::TrackHint;
using tsdk::detail::TrackIdSource;

constexpr int kWidth = 320;
constexpr int kHeight = 240;

struct Person {
    int x, y;  // top left of the figure
    int width = 24, height = 80;
};

float IoU(const fsdk::Rect& a, const fsdk::Rect& b)
{
    const float w = std::min(a.x + a.width, b.x + b.width) - std::max(a.x, b.x);
    const float h = std::min(a.y + a.height, b.y + b.height) - std::max(a.y, b.y);
    if (w <= 0 || h <= 0) return 0;
    return w * h / (a.width * a.height + b.width * b.height - w * h);
}

fsdk::Rect BoxOf(const Person& p)
{
    return {static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.width),
            static_cast<float>(p.height)};
}

// A textured, noisy grey floor as a fixed camera sees it, with people made
// of a head, a shirt close to the floor's colour and dark trousers, all
// scaled by `exposure`.
std::vector<uint8_t> Picture(const std::vector<Person>& people, uint32_t frame, float exposure = 1.f)
{
    std::mt19937 noise(frame * 7919u + 17u);
    std::normal_distribution<float> grain(0.f, 2.f);
    std::vector<uint8_t> rgb(static_cast<size_t>(kWidth) * kHeight * 3);
    auto put = [&](int x, int y, float r, float g, float b) {
        uint8_t* p = &rgb[(static_cast<size_t>(y) * kWidth + x) * 3];
        p[0] = static_cast<uint8_t>(std::clamp(r * exposure, 0.f, 255.f));
        p[1] = static_cast<uint8_t>(std::clamp(g * exposure, 0.f, 255.f));
        p[2] = static_cast<uint8_t>(std::clamp(b * exposure, 0.f, 255.f));
    };
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            const float v = 110.f + 25.f * std::sin(x / 9.f) * std::cos(y / 7.f) + grain(noise);
            put(x, y, v, v, v + 6.f);
        }
    for (const Person& p : people)
        for (int y = std::max(p.y, 0); y < std::min(p.y + p.height, kHeight); ++y)
            for (int x = std::max(p.x, 0); x < std::min(p.x + p.width, kWidth); ++x) {
                const float u = static_cast<float>(x - p.x) / p.width, v = static_cast<float>(y - p.y) / p.height;
                if (v < 0.15f) {
                    if (std::hypot(u - 0.5f, (v - 0.075f) * 2.5f) < 0.3f) put(x, y, 210, 160, 130);
                } else if (v < 0.55f) {
                    put(x, y, 150, 145, 140);  // a shirt little different from the floor
                } else if (std::abs(u - 0.5f) > 0.08f && std::abs(u - 0.5f) < 0.45f) {
                    put(x, y, 40, 40, 60);
                }
            }
    return rgb;
}

EngineConfig Config()
{
    EngineConfig config;
    config.bodyDetectorType = "person";
    config.detectorStep = 1;
    config.skipFrames = 18;
    config.inactiveTracksLifetime = 50;
    config.scaleResultSize = 640;
    return config;
}

class PersonDetection : public ::testing::Test {
protected:
    // Runs the detector on the frame of `people`, telling it to keep `kept`.
    std::vector<Detection> Run(const std::vector<Person>& people, const std::vector<fsdk::Rect>& kept = {},
                               int frames = 7, float exposure = 1.f)
    {
        const auto rgb = Picture(people, m_frame++, exposure);
        const fsdk::Image image(kWidth, kHeight, fsdk::Format::R8G8B8, rgb.data(), false);
        std::vector<TrackHint> hints;
        for (const fsdk::Rect& box : kept) hints.push_back({box, true});
        presence.assign(hints.size(), -2.f);
        DetectionContext context;
        context.framesSinceLast = frames;
        context.tracks = {hints.data(), hints.size()};
        context.presence = {presence.data(), presence.size()};
        std::vector<Detection> out;
        detector->Detect(image, context, out);
        return out;
    }

    const EngineConfig config = Config();
    std::unique_ptr<IDetector> detector = CreatePersonDetector(config);
    std::vector<float> presence;
    uint32_t m_frame = 0;
};

TEST_F(PersonDetection, OnePersonShapedBoxPerWalkerAtTheirPlace)
{
    EXPECT_TRUE(Run({}).empty());  // the first look only learns
    for (int i = 0; i < 4; ++i) Run({});
    for (int step = 0; step < 6; ++step) {
        // The shirt is close to the floor: head and trousers must come
        // together as one person.
        const std::vector<Person> people = {{40 + 12 * step, 60}, {250 - 10 * step, 120, 30, 100}};
        const auto found = Run(people);
        ASSERT_EQ(found.size(), 2u) << "step " << step;
        for (const Person& p : people) {
            const auto best = std::max_element(found.begin(), found.end(), [&](const Detection& a, const Detection& b) {
                return IoU(a.box, BoxOf(p)) < IoU(b.box, BoxOf(p));
            });
            EXPECT_GT(IoU(best->box, BoxOf(p)), 0.7f) << "step " << step;
            EXPECT_GE(best->score, 0.6f);
            EXPECT_LE(best->score, 1.f);
        }
    }
}

TEST_F(PersonDetection, ExposureChangesAreNoOne)
{
    for (int i = 0; i < 5; ++i) Run({});
    EXPECT_TRUE(Run({}, {}, 7, 1.25f).empty());
    EXPECT_TRUE(Run({}, {}, 7, 0.8f).empty());
    // People still stand out of a brighter view.
    const auto found = Run({{100, 80}}, {}, 7, 1.2f);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_GT(IoU(found[0].box, BoxOf({100, 80})), 0.7f);
}

TEST_F(PersonDetection, KeptPeopleStayWhileGhostsFade)
{
    for (int i = 0; i < 5; ++i) Run({});
    const Person still{60, 70};
    const Person other{220, 90};
    // Both stand for a long while; only the first is being followed.
    for (int i = 0; i < 20; ++i) Run({still, other}, {BoxOf(still)});
    const auto found = Run({still, other}, {BoxOf(still)});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_GT(IoU(found[0].box, BoxOf(still)), 0.7f);
    EXPECT_GT(presence[0], 0.3f);

    // The kept one leaves no ghost; the other one, learnt into the
    // background, leaves one that is not taken for a person and fades.
    EXPECT_TRUE(Run({}, {BoxOf(still)}).empty());
    EXPECT_LT(presence[0], 0.1f);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(Run({}).empty()) << i;
}

TEST_F(PersonDetection, WhatWasThereAtTheStartIsNoOneOnceItLeaves)
{
    const Person start{150, 100};
    Run({start});
    for (int step = 1; step <= 6; ++step) {
        const Person walker{150 + 14 * step, 100};
        const auto found = Run({walker}, {}, 7);
        // Once the walker is clear of where it stood, that place shows the
        // floor the model never saw: a ghost, not a person.
        if (step >= 3) {
            for (const Detection& d : found) EXPECT_LT(IoU(d.box, BoxOf(start)), 0.2f) << "step " << step;
            ASSERT_EQ(found.size(), 1u) << "step " << step;
            EXPECT_GT(IoU(found[0].box, BoxOf(walker)), 0.6f);
        }
    }
}

TEST_F(PersonDetection, FollowingFindsPeopleNearWhereTheyAreExpected)
{
    for (int i = 0; i < 5; ++i) Run({});
    Run({{100, 80}});
    const Person moved{106, 82};
    const auto rgb = Picture({moved}, 1000);
    const fsdk::Image image(kWidth, kHeight, fsdk::Format::R8G8B8, rgb.data(), false);
    const std::vector<fsdk::Rect> expected = {BoxOf({100, 80}), BoxOf({250, 20})};
    std::vector<Sighting> sightings(2);
    detector->Follow(image, {expected.data(), expected.size()}, {sightings.data(), sightings.size()});
    ASSERT_TRUE(sightings[0].seen);
    EXPECT_GT(IoU(sightings[0].box, BoxOf(moved)), 0.75f);
    EXPECT_FALSE(sightings[1].seen);  // only floor there

    // Two expected boxes close together cannot be told apart.
    const std::vector<fsdk::Rect> crowded = {BoxOf({100, 80}), BoxOf({110, 80})};
    detector->Follow(image, {crowded.data(), crowded.size()}, {sightings.data(), sightings.size()});
    EXPECT_FALSE(sightings[0].seen);
    EXPECT_FALSE(sightings[1].seen);
}

TEST_F(PersonDetection, EveryPixelFormatAndNoneAtAll)
{
    for (const fsdk::Format format : {fsdk::Format::R8G8B8X8, fsdk::Format::B8G8R8X8, fsdk::Format::R8}) {
        auto fresh = CreatePersonDetector(config);
        const int bpp = format == fsdk::Format::R8 ? 1 : 4;
        std::vector<Detection> out;
        for (uint32_t f = 0; f < 6; ++f) {
            const auto rgb = Picture(f < 5 ? std::vector<Person>{} : std::vector<Person>{{100, 80}}, f);
            std::vector<uint8_t> pixels(static_cast<size_t>(kWidth) * kHeight * bpp, 255);
            for (size_t i = 0; i < static_cast<size_t>(kWidth) * kHeight; ++i)
                for (int c = 0; c < std::min(bpp, 3); ++c)
                    pixels[i * bpp + c] =
                        bpp == 1 ? static_cast<uint8_t>((rgb[i * 3] + rgb[i * 3 + 1]) / 2) : rgb[i * 3 + c];
            const fsdk::Image image(kWidth, kHeight, format, pixels.data(), false);
            fresh->Detect(image, DetectionContext(), out);
        }
        ASSERT_EQ(out.size(), 1u) << static_cast<int>(format);
        EXPECT_GT(IoU(out[0].box, BoxOf({100, 80})), 0.6f);
    }
    std::vector<Detection> out(3);
    std::vector<Sighting> sightings(1);
    const fsdk::Rect box{10, 10, 20, 60};
    detector->Detect(fsdk::Image(), DetectionContext(), out);
    EXPECT_TRUE(out.empty());
    detector->Follow(fsdk::Image(), {&box, 1}, {sightings.data(), 1});
    EXPECT_FALSE(sightings[0].seen);
}

TEST_F(PersonDetection, ALargerDetectionImageIsScaledDown)
{
    EngineConfig small = config;
    small.scaleResultSize = 160;  // half the picture's size
    detector = CreatePersonDetector(small);
    for (int i = 0; i < 5; ++i) Run({});
    const auto found = Run({{100, 60, 30, 100}});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_GT(IoU(found[0].box, BoxOf({100, 60, 30, 100})), 0.6f);  // in pixels of the picture
}

// ---------------------------------------------------------------- tracker

TEST(BoxFilterTest, LearnsTheMotionAndKnowsHowSureItIs)
{
    BoxFilter filter;
    filter.Start({100, 50, 20, 60});
    for (int f = 1; f <= 10; ++f) {
        filter.Predict();
        filter.Correct({100 + 4.f * f, 50, 20, 60});
    }
    // Five frames on, unseen, it is where the walk takes it.
    for (int f = 11; f <= 15; ++f) filter.Predict();
    EXPECT_NEAR(filter.Box().x, 160, 2.f);
    EXPECT_NEAR(filter.Box().width, 20, 1.f);
    EXPECT_LT(filter.Distance({160, 50, 20, 60}), 1.0);
    EXPECT_GT(filter.Distance({100, 50, 20, 60}), 13.28);  // far outside the gate

    // Limited, then stopped: it stays put.
    const float before = filter.Box().x;
    filter.Limit(0.01f, 0.f);  // a hundredth of the height per frame
    filter.Predict();
    EXPECT_NEAR(filter.Box().x - before, 0.6f, 0.01f);
    filter.Stop();
    const float x = filter.Box().x;
    for (int f = 0; f < 5; ++f) filter.Predict();
    EXPECT_FLOAT_EQ(filter.Box().x, x);
}

// Hands the tracker detections and sightings that a test writes.
class ScriptedDetector final : public IDetector {
public:
    void Detect(const fsdk::Image&, const DetectionContext& context, std::vector<Detection>& out) override
    {
        out = next;
        for (size_t i = 0; i < context.presence.size; ++i) context.presence[i] = presence;
        kept.clear();
        for (const TrackHint& hint : context.tracks)
            if (hint.keep) kept.push_back(hint.box);
    }
    void Follow(const fsdk::Image&, fsdk::Span<const fsdk::Rect> predicted, fsdk::Span<Sighting> out) override
    {
        for (size_t i = 0; i < out.size; ++i) out[i] = sighting ? Sighting{Shifted(predicted[i]), true} : Sighting{};
    }
    fsdk::Rect Shifted(const fsdk::Rect& box) const { return {box.x + shift, box.y, box.width, box.height}; }

    std::vector<Detection> next;
    float presence = -1.f;
    bool sighting = false;
    float shift = 0.f;
    std::vector<fsdk::Rect> kept;
};

class Tracking : public ::testing::Test {
protected:
    explicit Tracking(int step = 1) : m_config(Make(step))
    {
        auto owned = std::make_unique<ScriptedDetector>();
        script = owned.get();
        tracker = std::make_unique<StreamTracker>(m_config, ids, std::move(owned));
    }
    static EngineConfig Make(int step)
    {
        EngineConfig config = Config();
        config.detectorStep = step;
        return config;
    }

    // One frame with these detections; answers the reported tracks by id.
    std::map<int32_t, tsdk::TrackedObject> Frame(std::vector<Detection> detections)
    {
        script->next = std::move(detections);
        std::vector<tsdk::TrackedObject> objects;
        finished.clear();
        tracker->Process(image, objects, finished);
        std::map<int32_t, tsdk::TrackedObject> byId;
        for (const auto& o : objects) byId[o.trackId] = o;
        return byId;
    }

    static Detection At(float x, float y, float score = 0.9f, float w = 20, float h = 60)
    {
        return {{x, y, w, h}, score};
    }

    const EngineConfig m_config;
    const std::vector<uint8_t> pixels = std::vector<uint8_t>(static_cast<size_t>(kWidth) * kHeight * 3, 90);
    const fsdk::Image image{kWidth, kHeight, fsdk::Format::R8G8B8, pixels.data(), false};
    TrackIdSource ids;
    ScriptedDetector* script = nullptr;
    std::unique_ptr<StreamTracker> tracker;
    std::vector<int32_t> finished;
};

TEST_F(Tracking, CrossingPeopleKeepTheirIdsThroughAShortOcclusion)
{
    // Two people walk towards each other; as they cross, one hides the
    // other for two frames. Who is who follows from how they moved.
    int32_t left = 0, right = 0;
    for (int f = 0; f <= 20; ++f) {
        const float a = 40.f + 10.f * f, b = 260.f - 10.f * f;
        std::vector<Detection> seen = {At(a, 100), At(b, 104)};
        if (f == 11 || f == 12) seen = {At(a, 100)};
        const auto tracks = Frame(seen);
        if (f == 0) {
            ASSERT_EQ(tracks.size(), 2u);
            for (const auto& [id, o] : tracks) (o.box.x < 150 ? left : right) = id;
            continue;
        }
        ASSERT_EQ(tracks.size(), 2u) << f;  // the hidden one is still reported, where it should be
        EXPECT_NEAR(tracks.at(left).box.x, a, 3.f) << f;
        EXPECT_NEAR(tracks.at(right).box.x, b, 3.f) << f;
        EXPECT_EQ(tracks.at(right).flag, f != 11 && f != 12) << f;
    }
    EXPECT_NE(left, right);
}

TEST_F(Tracking, DoubtfulDetectionsOnlyContinueTracks)
{
    EXPECT_TRUE(Frame({At(100, 50, 0.3f)}).empty());  // too doubtful to start anyone
    auto tracks = Frame({At(100, 50)});
    ASSERT_EQ(tracks.size(), 1u);
    const int32_t id = tracks.begin()->first;
    for (int f = 0; f < 3; ++f) {
        tracks = Frame({At(102 + 2.f * f, 50, 0.3f)});
        ASSERT_EQ(tracks.count(id), 1u);
        EXPECT_TRUE(tracks.at(id).flag);               // continued by the doubtful one
        EXPECT_NEAR(tracks.at(id).score, 0.9f, 1e-6);  // the best detection so far
    }
    EXPECT_EQ(Frame({At(100, 50, 0.05f)}).at(id).flag, false);  // below low-detection-score: ignored
}

TEST_F(Tracking, PartsOfSomeoneFollowedAreNoOneNew)
{
    auto tracks = Frame({At(100, 50, 0.9f, 30, 90), At(104, 52, 0.9f, 20, 30)});
    EXPECT_EQ(tracks.size(), 1u);
    tracks = Frame({At(101, 50, 0.9f, 30, 90), At(102, 51, 0.9f, 29, 88)});
    EXPECT_EQ(tracks.size(), 1u);
}

TEST_F(Tracking, PeopleWhoWalkOutOfViewOrAreGoneEnd)
{
    // Walking out at the side: it ends at the first missed run.
    int32_t id = 0;
    for (int f = 0; f < 8; ++f) id = Frame({At(240 + 10.f * f, 80)}).begin()->first;
    EXPECT_TRUE(Frame({}).empty());
    EXPECT_EQ(finished, std::vector<int32_t>{id});

    // Missed where the detector sees only background: gone at once.
    for (int f = 0; f < 5; ++f) id = Frame({At(100, 80)}).begin()->first;
    script->presence = 0.f;
    EXPECT_TRUE(Frame({}).empty());
    EXPECT_EQ(finished, std::vector<int32_t>{id});

    // Missed where something still differs from the background: hidden,
    // so followed on for skip-frames runs.
    for (int f = 0; f < 30; ++f) id = Frame({At(100, 80)}).begin()->first;
    script->presence = 0.5f;
    for (int f = 0; f < m_config.skipFrames; ++f) {
        const auto tracks = Frame({});
        ASSERT_EQ(tracks.count(id), 1u) << f;
        EXPECT_FALSE(tracks.at(id).flag);
    }
    EXPECT_TRUE(Frame({}).empty());
    EXPECT_TRUE(finished.empty());  // inactive, waiting to be picked up
    const auto again = Frame({At(101, 80)});
    EXPECT_EQ(again.count(id), 1u);
}

TEST_F(Tracking, EveryoneFollowedIsKeptOutOfTheBackground)
{
    Frame({At(100, 80), At(200, 80)});
    Frame({At(102, 80), At(202, 80)});
    ASSERT_EQ(script->kept.size(), 2u);
    std::set<int> xs;
    for (const fsdk::Rect& box : script->kept) xs.insert(static_cast<int>(std::lround(box.x / 10)));
    EXPECT_EQ(xs, (std::set<int>{10, 20}));
}

class SteppedTracking : public Tracking {
protected:
    SteppedTracking() : Tracking(4) {}
};

TEST_F(SteppedTracking, BetweenRunsTracksMoveOnAndFollowWhatTheFrameShows)
{
    // Runs on frames 0, 4, 8, 12: a person walking 3 pixels a frame.
    int32_t id = 0;
    for (int f = 0; f <= 12; ++f) {
        const auto tracks = Frame(f % 4 == 0 ? std::vector<Detection>{At(50 + 3.f * f, 80)} : std::vector<Detection>{});
        ASSERT_EQ(tracks.size(), 1u) << f;
        id = tracks.begin()->first;
        if (f >= 5) {
            EXPECT_NEAR(tracks.at(id).box.x, 50 + 3.f * f, 3.f) << f;  // moved on by its speed
        }
    }
    // The frames between runs show the person 8 pixels further right than
    // expected: the box moves that way, but not all of it.
    script->sighting = true;
    script->shift = 8.f;
    const float before = Frame({}).at(id).box.x;
    const float predicted = 50 + 3.f * 13;
    EXPECT_GT(before, predicted + 1.5f);
    EXPECT_LT(before, predicted + 8.5f);
}

}  // namespace
