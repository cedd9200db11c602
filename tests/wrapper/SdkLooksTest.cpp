// What our SDK's tracker makes of how things look: the colours that tell
// people apart when one is picked up again, and the places where something
// that never moves and never looks like a person is taken for the scene.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <vector>

#include "track/Config.h"
#include "track/Detector.h"
#include "track/StreamTracker.h"

namespace {

using tsdk::detail::Detection;
using tsdk::detail::DetectionContext;
using tsdk::detail::EngineConfig;
using tsdk::detail::IDetector;
using tsdk::detail::StreamTracker;
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

TEST_F(Looking, WhatStaysInPlaceAndNeverLooksLikeAPersonIsLetGoAndNotFollowedAgain)
{
    Start(true);
    std::set<int32_t> reported;
    int lastReported = -1;
    bool ended = false;
    for (int f = 0; f < 20; ++f) {
        const auto tracks = Frame({At(100, 80)});
        for (const auto& [id, o] : tracks) reported.insert(id);
        if (!tracks.empty()) lastReported = f;
        ended = ended || !finished.empty();
    }
    EXPECT_EQ(reported.size(), 1u) << "started again where it was let go";
    EXPECT_TRUE(ended) << "its end is reported";
    EXPECT_GE(lastReported, 2);
    EXPECT_LT(lastReported, 10);
}

TEST_F(Looking, WhatStaysInPlaceIsFollowedWhenItLooksLikeAPersonOrMovesOrTheDetectorCannotTell)
{
    struct Case {
        const char* what;
        bool judgesLooks;
        bool person;
        float speed;
    };
    for (const Case& c : {Case{"a person standing", true, true, 0.f}, Case{"a thing walking", true, false, 4.f},
                          Case{"a blob from a detector that cannot tell", false, false, 0.f}}) {
        Start(c.judgesLooks);
        std::set<int32_t> reported;
        int frames = 0;
        for (int f = 0; f < 20; ++f) {
            // The looks of a person are not always seen at once.
            const auto tracks = Frame({At(60 + c.speed * static_cast<float>(f), 80, c.person && f >= 2)});
            for (const auto& [id, o] : tracks) reported.insert(id);
            frames += tracks.empty() ? 0 : 1;
        }
        EXPECT_EQ(frames, 20) << c.what;
        EXPECT_EQ(reported.size(), 1u) << c.what;
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

}  // namespace
