// The scene generator: reproducible from its seed, frames independent of the
// order they are drawn in, and truth that agrees with the pictures.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <vector>

#include "Scene/Generator.h"

namespace {

using Scene::Generator;
using Scene::Settings;
using Scene::Truth;

// Scenes are laid out at construction; share the common ones.
const Generator& Default(uint64_t seed = 1)
{
    static std::map<uint64_t, Generator> scenes;
    auto it = scenes.find(seed);
    if (it == scenes.end()) {
        Settings settings;
        settings.seed = seed;
        it = scenes.emplace(seed, Generator(settings)).first;
    }
    return it->second;
}

bool SameTruth(const std::vector<Truth>& a, const std::vector<Truth>& b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].id != b[i].id || a[i].box.x != b[i].box.x || a[i].box.y != b[i].box.y ||
            a[i].box.width != b[i].box.width || a[i].box.height != b[i].box.height ||
            a[i].visibility != b[i].visibility || a[i].inFrame != b[i].inFrame)
            return false;
    return true;
}

TEST(SceneGeneratorTest, SameSeedSameSceneOtherSeedAnother)
{
    const Generator& a = Default(1);
    Settings settings;
    const Generator again(settings);
    settings.seed = 2;
    const Generator other(settings);
    std::vector<uint8_t> pa, pb, pc;
    for (uint32_t f : {0u, 150u, 333u, 599u}) {
        a.Render(f, pa);
        again.Render(f, pb);
        other.Render(f, pc);
        EXPECT_EQ(pa, pb) << "frame " << f;
        EXPECT_NE(pa, pc) << "frame " << f;
    }
    size_t differing = 0;
    for (uint32_t f = 0; f < a.FrameCount(); ++f) {
        EXPECT_TRUE(SameTruth(a.TruthAt(f), again.TruthAt(f))) << "frame " << f;
        differing += SameTruth(a.TruthAt(f), other.TruthAt(f)) ? 0 : 1;
    }
    EXPECT_GT(differing, a.FrameCount() / 2);
}

TEST(SceneGeneratorTest, FramesDoNotDependOnRenderingOrder)
{
    Settings settings;
    settings.frames = 40;
    settings.seed = 11;
    const Generator forwards(settings), backwards(settings);
    std::vector<std::vector<uint8_t>> first(settings.frames);
    for (uint32_t f = 0; f < settings.frames; ++f) forwards.Render(f, first[f]);
    std::vector<uint8_t> rgb;
    for (uint32_t f = settings.frames; f-- > 0;) {
        backwards.Render(f, rgb);
        EXPECT_EQ(rgb, first[f]) << "frame " << f;
    }
    // Noise changes from frame to frame even where nothing moves.
    EXPECT_NE(first[0], first[1]);

    // A padded caller buffer gets the same rows.
    const size_t row = settings.width * 3, stride = row + 13;
    std::vector<uint8_t> padded(stride * settings.height, 0xab);
    forwards.Render(7, padded.data(), stride);
    for (uint32_t y = 0; y < settings.height; ++y) {
        ASSERT_TRUE(
            std::equal(first[7].begin() + y * row, first[7].begin() + (y + 1) * row, padded.begin() + y * stride));
        ASSERT_EQ(padded[y * stride + row], 0xab);
    }
}

TEST(SceneGeneratorTest, ReusedBufferIsNotReallocated)
{
    const Generator& g = Default();
    std::vector<uint8_t> rgb;
    g.Render(0, rgb);
    ASSERT_EQ(rgb.size(), 640u * 360u * 3u);
    const uint8_t* data = rgb.data();
    g.Render(1, rgb);
    EXPECT_EQ(rgb.data(), data);
}

TEST(SceneGeneratorTest, TruthIsWellFormed)
{
    for (uint64_t seed : {1, 2, 3, 4}) {
        const Generator& g = Default(seed);
        const Settings& settings = g.settings();
        std::map<int32_t, std::vector<uint32_t>> framesOf;
        size_t mostInView = 0, hidden = 0;
        for (uint32_t f = 0; f < g.FrameCount(); ++f) {
            const auto& truth = g.TruthAt(f);
            mostInView = std::max(mostInView, truth.size());
            for (size_t i = 0; i < truth.size(); ++i) {
                const Truth& t = truth[i];
                SCOPED_TRACE(testing::Message() << "seed " << seed << " frame " << f << " id " << t.id);
                if (i > 0) {
                    EXPECT_LT(truth[i - 1].id, t.id);
                }
                EXPECT_GE(t.id, 1);
                EXPECT_LE(t.id, static_cast<int32_t>(settings.figures));
                EXPECT_GE(t.box.x, 0);
                EXPECT_GE(t.box.y, 0);
                EXPECT_GE(t.box.width, 1);
                EXPECT_GE(t.box.height, 1);
                EXPECT_LE(t.box.x + t.box.width, settings.width);
                EXPECT_LE(t.box.y + t.box.height, settings.height);
                EXPECT_GE(t.visibility, 0);
                EXPECT_LE(t.visibility, t.inFrame);
                EXPECT_LE(t.inFrame, 1);
                if (t.inFrame > 0.5 && t.visibility < 0.8 * t.inFrame) ++hidden;
                framesOf[t.id].push_back(f);
            }
        }
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        // Every figure shows up, in one run of frames (short breaks allowed
        // where it walks along an edge).
        EXPECT_EQ(framesOf.size(), settings.figures);
        for (const auto& [id, frames] : framesOf) {
            size_t breaks = 0;
            for (size_t i = 1; i < frames.size(); ++i)
                if (frames[i] != frames[i - 1] + 1) {
                    ++breaks;
                    EXPECT_LE(frames[i] - frames[i - 1], 5u) << "id " << id;
                }
            EXPECT_LE(breaks, 2u) << "id " << id;
            EXPECT_GE(frames.size(), 10u) << "id " << id;
        }
        // Ids are numbered by first appearance.
        int32_t previous = 0;
        uint32_t previousFirst = 0;
        for (const auto& [id, frames] : framesOf) {
            EXPECT_EQ(id, previous + 1);
            EXPECT_GE(frames.front(), previousFirst);
            previous = id, previousFirst = frames.front();
        }
        // Several at once, and crossings where one hides another (the
        // pairs that cross, when none walks side by side, in every seed).
        EXPECT_GE(mostInView, 2u);
        Settings crossing = settings;
        crossing.sideBySide = false;
        const Generator onlyCrossing(crossing);
        size_t crossingHidden = 0;
        for (uint32_t f = 0; f < onlyCrossing.FrameCount(); ++f)
            for (const Truth& t : onlyCrossing.TruthAt(f))
                if (t.inFrame > 0.5 && t.visibility < 0.8 * t.inFrame) ++crossingHidden;
        EXPECT_GT(crossingHidden, 0u);
    }
}

// The last two walk together, so close that their boxes touch or overlap a
// little, at the same pace; the cars are in view, wider than tall, and not
// in the truth.
TEST(SceneGeneratorTest, TwoWalkSideBySideAndCarsDriveThrough)
{
    for (uint64_t seed : {1, 2, 3}) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        const Generator& g = Default(seed);
        const Settings& settings = g.settings();
        size_t together = 0, carFrames = 0;
        for (uint32_t f = 0; f < g.FrameCount(); ++f) {
            const auto& truth = g.TruthAt(f);
            for (const Truth& t : truth)
                for (const Truth& u : truth) {
                    if (t.id >= u.id || t.inFrame < 0.999 || u.inFrame < 0.999) continue;
                    const double gap =
                        std::max(t.box.x, u.box.x) - std::min(t.box.x + t.box.width, u.box.x + u.box.width);
                    const double heights = std::abs(t.box.height - u.box.height) / t.box.height;
                    const double feet = std::abs(t.box.y + t.box.height - u.box.y - u.box.height) / t.box.height;
                    if (gap < 0.2 * t.box.height && gap > -0.5 * std::min(t.box.width, u.box.width) && heights < 0.25 &&
                        feet < 0.25)
                        ++together;
                }
            for (const Scene::Box& car : g.VehiclesAt(f)) {
                ++carFrames;
                EXPECT_GE(car.x, 0);
                EXPECT_GE(car.y, 0);
                EXPECT_LE(car.x + car.width, settings.width);
                EXPECT_LE(car.y + car.height, settings.height);
                if (car.x > 0 && car.x + car.width < settings.width) {
                    EXPECT_GT(car.width, 1.5 * car.height);
                }
                for (const Truth& t : g.TruthAt(f))
                    EXPECT_FALSE(t.box.x == car.x && t.box.width == car.width) << "a car in the truth";
            }
        }
        EXPECT_GT(together, 20u) << "no two people walk abreast";
        EXPECT_GT(carFrames, 20u) << "no car drives through";

        Settings plain = settings;
        plain.vehicles = 0;
        plain.sideBySide = false;
        const Generator empty(plain);
        for (uint32_t f = 0; f < empty.FrameCount(); ++f) EXPECT_TRUE(empty.VehiclesAt(f).empty());
    }
    Settings many;
    many.vehicles = 101;
    EXPECT_THROW(Generator{many}, std::invalid_argument);
    EXPECT_THROW(Default().VehiclesAt(600), std::out_of_range);
}

TEST(SceneGeneratorTest, FiguresAreWhereTheTruthSays)
{
    // Without noise a scene with figures differs from the same scene without
    // them only on the figures and their shadows.
    Settings settings;
    settings.noise = 0;
    settings.frames = 300;
    settings.seed = 5;
    const Generator with(settings);
    settings.figures = 0;
    const Generator without(settings);
    std::vector<uint8_t> a, b;
    size_t checked = 0;
    for (uint32_t f = 0; f < 300; f += 10) {
        const auto& truth = with.TruthAt(f);
        EXPECT_TRUE(without.TruthAt(f).empty());
        with.Render(f, a);
        without.Render(f, b);
        std::vector<bool> changed(settings.width * settings.height);
        for (size_t p = 0; p < changed.size(); ++p)
            changed[p] = a[p * 3] != b[p * 3] || a[p * 3 + 1] != b[p * 3 + 1] || a[p * 3 + 2] != b[p * 3 + 2];
        const auto near = [&](uint32_t x, uint32_t y) {
            for (const Truth& t : truth) {
                const double margin = 0.16 * t.box.height + 2;  // shadow on the ground
                if (x + 1 >= t.box.x - margin && x <= t.box.x + t.box.width + margin && y + 1 >= t.box.y &&
                    y <= t.box.y + t.box.height + 0.05 * t.box.height + 2)
                    return true;
            }
            return false;
        };
        for (uint32_t y = 0; y < settings.height; ++y)
            for (uint32_t x = 0; x < settings.width; ++x)
                if (changed[y * settings.width + x]) {
                    ASSERT_TRUE(near(x, y)) << "frame " << f << " at " << x << "," << y;
                }
        for (const Truth& t : truth) {
            if (t.visibility < 0.9 || t.box.height < 30) continue;
            size_t inside = 0, all = 0;
            for (auto y = static_cast<uint32_t>(t.box.y); y < t.box.y + t.box.height; ++y)
                for (auto x = static_cast<uint32_t>(t.box.x); x < t.box.x + t.box.width; ++x, ++all)
                    inside += changed[y * settings.width + x];
            // The silhouette fills a good part of its box.
            EXPECT_GT(inside, all / 4) << "frame " << f << " id " << t.id;
            ++checked;
        }
    }
    EXPECT_GT(checked, 10u);
}

TEST(SceneGeneratorTest, PeopleShapedAndSmallerFarAway)
{
    const Generator& g = Default();
    const double horizon = 0.22 * g.settings().height;
    double minRatio = 1e9, maxRatio = 0, minScale = 1e9, maxScale = 0;
    size_t whole = 0;
    for (uint32_t f = 0; f < g.FrameCount(); ++f)
        for (const Truth& t : g.TruthAt(f)) {
            if (t.inFrame < 0.999) continue;
            ++whole;
            const double ratio = t.box.width / t.box.height;
            minRatio = std::min(minRatio, ratio), maxRatio = std::max(maxRatio, ratio);
            // Height against the distance of the feet below the horizon.
            const double scale = t.box.height / (t.box.y + t.box.height - horizon);
            minScale = std::min(minScale, scale), maxScale = std::max(maxScale, scale);
        }
    ASSERT_GT(whole, 100u);
    EXPECT_GT(minRatio, 0.14);
    EXPECT_LT(maxRatio, 0.45);
    EXPECT_GT(minScale, 0.4);
    EXPECT_LT(maxScale, 0.75);
}

TEST(SceneGeneratorTest, TimestampsFollowTheFrameRate)
{
    Settings settings;
    settings.frames = 10;
    settings.fps = 25;
    const Generator g(settings);
    EXPECT_EQ(g.TimestampMs(0), 0u);
    EXPECT_EQ(g.TimestampMs(1), 40u);
    EXPECT_EQ(g.TimestampMs(250), 10000u);
    settings.fps = 30;
    EXPECT_EQ(Generator(settings).TimestampMs(1), 33u);
    EXPECT_EQ(Generator(settings).TimestampMs(2), 67u);
}

TEST(SceneGeneratorTest, OddSpecsWork)
{
    Settings settings;
    settings.width = 16;
    settings.height = 16;
    settings.frames = 50;
    settings.figures = 3;
    settings.fps = 1;
    const Generator tiny(settings);
    std::vector<uint8_t> rgb;
    for (uint32_t f = 0; f < settings.frames; ++f) {
        tiny.Render(f, rgb);
        for (const Truth& t : tiny.TruthAt(f)) {
            EXPECT_LE(t.box.x + t.box.width, 16.0);
            EXPECT_LE(t.box.y + t.box.height, 16.0);
        }
    }
    settings = Settings{};
    settings.figures = 0;
    settings.frames = 3;
    const Generator empty(settings);
    empty.Render(2, rgb);
    EXPECT_TRUE(empty.TruthAt(2).empty());

    settings = Settings{};
    settings.width = 1920;
    settings.height = 1080;
    settings.frames = 20;
    settings.figures = 12;
    settings.fps = 30;
    const Generator large(settings);
    large.Render(10, rgb);
    EXPECT_EQ(rgb.size(), 1920u * 1080u * 3u);
}

TEST(SceneGeneratorTest, BadSpecsAndFramesAreRefused)
{
    const auto refused = [](auto change) {
        Settings settings;
        change(settings);
        EXPECT_THROW(Generator{settings}, std::invalid_argument);
    };
    refused([](Settings& s) { s.width = 0; });
    refused([](Settings& s) { s.height = 9000; });
    refused([](Settings& s) { s.frames = 0; });
    refused([](Settings& s) { s.figures = 1001; });
    refused([](Settings& s) { s.fps = 0; });
    refused([](Settings& s) { s.fps = std::numeric_limits<double>::quiet_NaN(); });
    refused([](Settings& s) { s.noise = -1; });
    refused([](Settings& s) { s.noise = std::numeric_limits<double>::infinity(); });

    const Generator& g = Default();
    std::vector<uint8_t> rgb;
    EXPECT_THROW(g.Render(600, rgb), std::out_of_range);
    EXPECT_THROW(g.TruthAt(600), std::out_of_range);
    EXPECT_THROW(g.Render(0, rgb.data(), 100), std::invalid_argument);
    rgb.resize(640 * 360 * 3);
    EXPECT_THROW(g.Render(0, rgb.data(), 640 * 3 - 1), std::invalid_argument);
    EXPECT_THROW(g.Render(0, nullptr, 640 * 3), std::invalid_argument);
}

}  // namespace
