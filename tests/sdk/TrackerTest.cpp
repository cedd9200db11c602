// Our SDK's tracker on its own: the box filter, the two-stage association
// of scripted detections, the confidence objects carry, following by
// optical flow between detector runs, and decoding the network's heads.

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "track/Shrink.h"
#include "track/association/BoxFilter.h"
#include "track/association/FlowFollower.h"
#include "track/association/StreamTracker.h"
#include "track/detection/Detector.h"
#include "track/detection/NeuralDetector.h"
#include "track/detection/QuietView.h"
#include "track/engine/Config.h"

namespace {

using tsdk::detail::BoxFilter;
using tsdk::detail::DecodePeople;
using tsdk::detail::Detection;
using tsdk::detail::EngineConfig;
using tsdk::detail::FlowFollower;
using tsdk::detail::IDetector;
using tsdk::detail::StreamTracker;
using tsdk::detail::TrackIdSource;

constexpr int kWidth = 320;
constexpr int kHeight = 240;

// Grey noise, smoothed so that the flow has texture to hold on to; the
// same for every seed.
std::vector<uint8_t> Texture(int width, int height, unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height);
    for (uint8_t& p : pixels) p = static_cast<uint8_t>(random() % 256);
    std::vector<uint8_t> smooth(pixels.size());
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            int sum = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx)
                    sum += pixels[static_cast<size_t>(std::clamp(y + dy, 0, height - 1)) * width +
                                  std::clamp(x + dx, 0, width - 1)];
            smooth[static_cast<size_t>(y) * width + x] = static_cast<uint8_t>(sum / 9);
        }
    return smooth;
}

// RGB picture: a still textured background with a textured figure whose
// top left is at (x, y).
class Picture {
public:
    explicit Picture(int figureW = kFigureW, int figureH = kFigureH)
        : m_figureW(figureW),
          m_figureH(figureH),
          m_ground(Texture(kWidth, kHeight, 1)),
          m_figure(Texture(figureW, figureH, 2))
    {
    }

    // `noise` other than 0 seeds camera noise of a few levels on every
    // pixel; the figure is drawn `scale` times its size.
    fsdk::Image At(float x, float y, unsigned noise = 0, float scale = 1.f)
    {
        const int w = static_cast<int>(std::lround(m_figureW * scale));
        const int h = static_cast<int>(std::lround(m_figureH * scale));
        std::mt19937 random(noise);
        m_rgb.resize(static_cast<size_t>(kWidth) * kHeight * 3);
        for (int row = 0; row < kHeight; ++row)
            for (int col = 0; col < kWidth; ++col) {
                const int fx = col - static_cast<int>(std::lround(x)), fy = row - static_cast<int>(std::lround(y));
                const bool figure = fx >= 0 && fy >= 0 && fx < w && fy < h;
                const int tx = std::min(m_figureW - 1, static_cast<int>(static_cast<float>(fx) / scale));
                const int ty = std::min(m_figureH - 1, static_cast<int>(static_cast<float>(fy) / scale));
                int v = figure ? m_figure[static_cast<size_t>(ty) * m_figureW + tx]
                               : m_ground[static_cast<size_t>(row) * kWidth + col] / 2;
                if (noise != 0) v = std::clamp(v + static_cast<int>(random() % 9) - 4, 0, 255);
                uint8_t* p = &m_rgb[(static_cast<size_t>(row) * kWidth + col) * 3];
                p[0] = p[1] = p[2] = static_cast<uint8_t>(v);
            }
        return fsdk::Image(kWidth, kHeight, fsdk::Format::R8G8B8, m_rgb.data(), false);
    }

    static constexpr int kFigureW = 30;
    static constexpr int kFigureH = 90;

private:
    int m_figureW, m_figureH;
    std::vector<uint8_t> m_ground, m_figure, m_rgb;
};

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

TEST(FlowFollowerTest, MovesAndScalesABoxAsThePicturesDo)
{
    Picture picture;
    FlowFollower follower;
    fsdk::Rect moved;
    ASSERT_TRUE(follower.NextFrame(picture.At(100, 60)));
    EXPECT_FALSE(follower.Follow({100, 60, 30, 90}, moved));  // nothing to follow from yet
    ASSERT_TRUE(follower.NextFrame(picture.At(106, 57)));
    ASSERT_TRUE(follower.Follow({100, 60, 30, 90}, moved));
    EXPECT_NEAR(moved.x, 106, 0.5f);
    EXPECT_NEAR(moved.y, 57, 0.5f);
    EXPECT_NEAR(moved.width, 30, 1.f);
    EXPECT_NEAR(moved.height, 90, 2.f);

    // Where nothing moved, nothing moves; a box out of the picture, or a
    // picture with nothing to hold on to, tells nothing.
    ASSERT_TRUE(follower.NextFrame(picture.At(106, 57)));
    ASSERT_TRUE(follower.Follow({200, 100, 40, 100}, moved));
    EXPECT_NEAR(moved.x, 200, 0.3f);
    EXPECT_NEAR(moved.y, 100, 0.3f);
    EXPECT_FALSE(follower.Follow({-500, -500, 40, 100}, moved));
    const std::vector<uint8_t> flat(static_cast<size_t>(kWidth) * kHeight * 3, 90);
    ASSERT_TRUE(follower.NextFrame(fsdk::Image(kWidth, kHeight, fsdk::Format::R8G8B8, flat.data(), false)));
    ASSERT_TRUE(follower.NextFrame(fsdk::Image(kWidth, kHeight, fsdk::Format::R8G8B8, flat.data(), false)));
    EXPECT_FALSE(follower.Follow({100, 60, 30, 90}, moved));

    // A frame of another size, or none at all, starts over.
    const std::vector<uint8_t> other(static_cast<size_t>(160) * 120 * 3, 90);
    ASSERT_TRUE(follower.NextFrame(fsdk::Image(160, 120, fsdk::Format::R8G8B8, other.data(), false)));
    EXPECT_FALSE(follower.Follow({10, 10, 30, 90}, moved));
    EXPECT_FALSE(follower.NextFrame(fsdk::Image()));
    ASSERT_TRUE(follower.NextFrame(picture.At(100, 60)));
    EXPECT_FALSE(follower.Follow({100, 60, 30, 90}, moved));
}

TEST(ShrinkTest, ScalesDownMuchAsAnAreaResizeDoesAndNeverWritesItsInput)
{
    // Smooth texture, as camera pictures are: halvings then a bilinear step
    // give much the pixels of an area resize, at any ratio.
    cv::Mat big(1080, 1920, CV_8UC3);
    cv::resize(cv::Mat(108, 192, CV_8UC3, const_cast<uint8_t*>(Texture(192 * 3, 108, 3).data())), big, big.size(), 0, 0,
               cv::INTER_CUBIC);
    tsdk::detail::Shrinker shrinker;
    cv::Mat bigGrey;
    cv::cvtColor(big, bigGrey, cv::COLOR_RGB2GRAY);
    for (const cv::Mat& picture : {big, bigGrey})
        for (const cv::Size size : {cv::Size(512, 288), cv::Size(480, 270), cv::Size(960, 540), cv::Size(1000, 700)}) {
            cv::Mat area;
            cv::resize(picture, area, size, 0, 0, cv::INTER_AREA);
            const cv::Mat& shrunk = shrinker.Shrink(picture, size);
            ASSERT_EQ(shrunk.size(), size);
            EXPECT_LT(cv::norm(shrunk, area, cv::NORM_L1) / static_cast<double>(area.total() * area.channels()), 1.5)
                << size << " of " << picture.channels() << " channels";
        }
    // Detail finer than the target's pixels averages out: it does not
    // alias into stripes or a flat tone of its own.
    cv::Mat stripes(1080, 1920, CV_8UC1);
    for (int y = 0; y < stripes.rows; ++y)
        for (int x = 0; x < stripes.cols; ++x) stripes.at<uint8_t>(y, x) = (x + y) % 2 != 0 ? 200 : 40;
    double lowest = 0, highest = 0;
    cv::minMaxLoc(shrinker.Shrink(stripes, cv::Size(480, 270)), &lowest, &highest);
    EXPECT_NEAR(lowest, 120, 1);
    EXPECT_NEAR(highest, 120, 1);
    // A picture of the size asked is itself; the next, larger one is scaled
    // into memory of the shrinker's own, not into the first.
    cv::Mat small(288, 512, CV_8UC3, cv::Scalar(7, 7, 7));
    EXPECT_EQ(shrinker.Shrink(small, small.size()).data, small.data);
    shrinker.Shrink(big, small.size());
    EXPECT_EQ(cv::countNonZero(small.reshape(1) != 7), 0);
}

TEST(QuietViewTest, OddPicturesAreLookedAtOrRefused)
{
    // A grey picture 2 pixels wide and 5000 tall gets a thumbnail of
    // bounded size, and is the same view the next time; one of another
    // size is another view; none at all is not looked at.
    const tsdk::detail::QuietViewConfig config;
    tsdk::detail::QuietView view(config);
    const std::vector<uint8_t> tall(2 * 5000, 50), wider(3 * 5000, 50);
    ASSERT_TRUE(view.Look(fsdk::Image(2, 5000, fsdk::Format::R8, tall.data(), false), 0));
    view.Ran();
    ASSERT_TRUE(view.Look(fsdk::Image(2, 5000, fsdk::Format::R8, tall.data(), false), 1));
    EXPECT_TRUE(view.Unchanged());
    ASSERT_TRUE(view.Look(fsdk::Image(3, 5000, fsdk::Format::R8, wider.data(), false), 2));
    EXPECT_FALSE(view.Unchanged());
    EXPECT_FALSE(view.Look(fsdk::Image(), 3));
    EXPECT_FALSE(view.Unchanged());
}

// Hands the tracker the detections a test writes.
class ScriptedDetector final : public IDetector {
public:
    void Detect(const fsdk::Image&, std::vector<Detection>& out) override
    {
        out = next;
        ++runs;
    }
    std::vector<Detection> next;
    int runs = 0;
};

class Tracking : public ::testing::Test {
protected:
    explicit Tracking(int step = 1, int longestReuse = 0) : m_config(Make(step, longestReuse))
    {
        auto owned = std::make_unique<ScriptedDetector>();
        script = owned.get();
        tracker = std::make_unique<StreamTracker>(m_config, ids, std::move(owned));
    }
    static EngineConfig Make(int step, int longestReuse)
    {
        EngineConfig config;
        config.detectorStep = step;
        // Scripted detections mostly come on one still picture: unless a
        // test is about unchanged views, every run reaches the script.
        config.quiet.longestReuse = longestReuse;
        config.skipFrames = 18;
        config.inactiveTracksLifetime = 50;
        config.highScorePercent = 30;
        config.lowScorePercent = 15;
        config.personScorePercent = 40;
        config.stillPersonScorePercent = 45;
        return config;
    }

    // One frame with these detections; answers the reported tracks by id.
    std::map<int32_t, tsdk::TrackedObject> Frame(std::vector<Detection> detections, const fsdk::Image* shown = nullptr)
    {
        script->next = std::move(detections);
        std::vector<tsdk::TrackedObject> objects;
        finished.clear();
        tracker->Process(shown != nullptr ? *shown : image, objects, finished);
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

TEST_F(Tracking, ConfidenceAddsUpOverDetectionsOnThePlugInsScale)
{
    // person-score 40 %, high-detection-score 30 %, low 15 %.
    EXPECT_TRUE(Frame({At(100, 50, 0.25f)}).empty());  // too doubtful to start anyone
    auto tracks = Frame({At(100, 50, 0.4f)});
    ASSERT_EQ(tracks.size(), 1u);
    const int32_t id = tracks.begin()->first;
    EXPECT_NEAR(tracks.at(id).score, 0.65f, 1e-5);  // one detection at person-score: a person
    // Doubtful detections continue the track and add to its confidence,
    // in proportion to their score.
    tracks = Frame({At(102, 50, 0.2f)});
    EXPECT_TRUE(tracks.at(id).flag);
    EXPECT_NEAR(tracks.at(id).score, 1.f - 0.35f * (1.f - 0.325f), 1e-5);
    tracks = Frame({At(104, 50, 0.9f)});  // above person-score counts as person-score
    EXPECT_NEAR(tracks.at(id).score, 1.f - 0.35f * 0.675f * 0.35f, 1e-5);
    const float before = tracks.at(id).score;
    tracks = Frame({At(104, 50, 0.1f)});  // below low-detection-score: ignored
    EXPECT_FALSE(tracks.at(id).flag);
    EXPECT_FLOAT_EQ(tracks.at(id).score, before);

    // A new track of a weak but confident-enough detection reaches the
    // plug-in's default threshold only after a second detection.
    tracks = Frame({At(104, 50, 0.9f), At(250, 50, 0.3f)});
    ASSERT_EQ(tracks.size(), 2u);
    for (const auto& [other, object] : tracks)
        if (other != id) {
            EXPECT_LT(object.score, 0.6f);
        }
}

TEST_F(Tracking, SomethingSmallThatStaysWhereItIsNeedsAConfidentDetection)
{
    // Boxes under a fifth of the picture's height: a sign far off, found
    // again and again, weakly, in one place, never becomes a person...
    int32_t sign = 0;
    for (int f = 0; f < 10; ++f) {
        const auto tracks = Frame({At(40, 40, 0.4f, 10, 30)});
        ASSERT_EQ(tracks.size(), 1u);
        sign = tracks.begin()->first;
        EXPECT_NEAR(tracks.at(sign).score, 0.65f * 0.4f / 0.45f, 1e-5) << f;
    }
    // ...until one detection is confident; someone as small who walks
    // becomes surer with every detection once they have moved.
    EXPECT_NEAR(Frame({At(40, 40, 0.5f, 10, 30)}).at(sign).score, 0.65f, 1e-5);
    float walker = 0.f;
    for (int f = 0; f < 6; ++f) {
        const auto tracks = Frame({At(40, 40, 0.5f, 10, 30), At(150 + 5.f * f, 100, 0.4f, 10, 30)});
        ASSERT_EQ(tracks.size(), 2u);
        for (const auto& [id, object] : tracks)
            if (id != sign) walker = object.score;
        if (f < 2) {
            EXPECT_LT(walker, 0.6f) << f;  // not yet gone 0.3 of its height
        }
    }
    EXPECT_GT(walker, 0.9f);
    // So does someone who walks in at an edge, found taller at every run
    // where they stand.
    float entering = 0.f;
    for (int f = 0; f < 3; ++f) {
        for (const auto& [id, object] : Frame({At(40, 40, 0.5f, 10, 30), At(250, 0, 0.4f, 12, 16.f + 6.f * f)}))
            if (object.box.x > 200.f) entering = object.score;
        if (f < 2) {
            EXPECT_LT(entering, 0.6f) << f;  // not yet 1.4 times as tall
        }
    }
    EXPECT_GT(entering, 0.8f);
}

TEST_F(Tracking, PartsOfSomeoneFollowedAreNoOneNew)
{
    auto tracks = Frame({At(100, 50, 0.9f, 30, 90), At(104, 52, 0.9f, 20, 30)});
    EXPECT_EQ(tracks.size(), 1u);
    tracks = Frame({At(101, 50, 0.9f, 30, 90), At(102, 51, 0.9f, 29, 88)});
    EXPECT_EQ(tracks.size(), 1u);
}

TEST_F(Tracking, PeopleWhoWalkOutOfViewEndAndHiddenOnesWait)
{
    // Walking out at the side: it ends at the first missed run.
    int32_t id = 0;
    for (int f = 0; f < 8; ++f) id = Frame({At(240 + 10.f * f, 80)}).begin()->first;
    EXPECT_TRUE(Frame({}).empty());
    EXPECT_EQ(finished, std::vector<int32_t>{id});

    // At the top edge too.
    for (int f = 0; f < 8; ++f) id = Frame({At(150, 20 - 3.f * f)}).begin()->first;
    EXPECT_TRUE(Frame({}).empty());
    EXPECT_EQ(finished, std::vector<int32_t>{id});

    // Missed inside the picture: hidden, so followed on for skip-frames
    // runs, then kept unreported to be picked up again.
    for (int f = 0; f < 30; ++f) id = Frame({At(100, 80)}).begin()->first;
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

class SteppedTracking : public Tracking {
protected:
    SteppedTracking() : Tracking(7) {}
};

TEST_F(SteppedTracking, BetweenRunsBoxesFollowWhatThePicturesShow)
{
    // A figure walks right 4 pixels a frame, then turns and walks left:
    // seven frames after the turn, prediction alone would put the box 56
    // pixels off; following the pictures keeps it on the figure.
    Picture picture;
    const auto xAt = [](int f) { return f <= 14 ? 60.f + 4.f * f : 116.f - 4.f * (f - 14); };
    int32_t id = 0;
    for (int f = 0; f <= 28; ++f) {
        const fsdk::Image frame = picture.At(xAt(f), 70);
        const bool run = f % 7 == 0;
        std::vector<Detection> seen;
        if (run) seen = {At(xAt(f), 70, 0.9f, Picture::kFigureW, Picture::kFigureH)};
        const auto tracks = Frame(seen, &frame);
        ASSERT_EQ(tracks.size(), 1u) << f;
        if (f == 0) id = tracks.begin()->first;
        ASSERT_EQ(tracks.count(id), 1u) << f;  // one id all along
        EXPECT_NEAR(tracks.at(id).box.x, xAt(f), 3.f) << f;
        EXPECT_NEAR(tracks.at(id).box.y, 70, 3.f) << f;
    }
    EXPECT_EQ(script->runs, 5);
}

TEST_F(SteppedTracking, ASideCutByTheEdgeStaysThereWhileSomeoneWalksIn)
{
    // Rising into view from the bottom edge, 5 pixels a frame: the network
    // sees only what is in view; between runs the top follows the figure
    // and the bottom stays at the edge.
    Picture picture;
    for (int f = 0; f <= 10; ++f) {  // cut by the edge all along
        const float top = 200.f - 5.f * f;
        const fsdk::Image frame = picture.At(100, top);
        std::vector<Detection> seen;
        if (f % 7 == 0) seen = {At(100, top, 0.9f, Picture::kFigureW, 240.f - top)};
        const auto tracks = Frame(seen, &frame);
        ASSERT_EQ(tracks.size(), 1u) << f;
        const fsdk::Rect& box = tracks.begin()->second.box;
        EXPECT_NEAR(box.y, top, 3.f) << f;
        EXPECT_NEAR(box.y + box.height, 240.f, 3.f) << f;
    }
}

TEST_F(SteppedTracking, ASideJustShortOfTheEdgeIsTakenToIt)
{
    // The network's box of someone cut by the bottom edge stops 4 pixels
    // short of it, as its boxes do; between runs the box reaches the edge.
    Picture picture;
    for (int f = 0; f < 7; ++f) {
        const float top = 200.f - 5.f * f;
        const fsdk::Image frame = picture.At(100, top);
        std::vector<Detection> seen;
        if (f == 0) seen = {At(100, top, 0.9f, Picture::kFigureW, 36)};
        const auto tracks = Frame(seen, &frame);
        ASSERT_EQ(tracks.size(), 1u) << f;
        const fsdk::Rect& box = tracks.begin()->second.box;
        EXPECT_NEAR(box.y + box.height, f == 0 ? 236.f : 240.f, 1.f) << f;
    }
}

TEST_F(SteppedTracking, SomeoneCutByTheEdgeDoesNotGrowByTheFlowBetweenRuns)
{
    // Cut by the left edge and drawn 4 % larger every frame: the points on
    // them spread apart, as they do with those beside someone walking out.
    // The box keeps the size of the detector run; a run sizes it anew.
    Picture picture;
    for (int f = 0; f <= 7; ++f) {
        const float scale = 1.f + 0.04f * static_cast<float>(f);
        const fsdk::Image frame = picture.At(-10, 70, 0, scale);
        std::vector<Detection> seen;
        if (f % 7 == 0) seen = {At(0, 70, 0.9f, 30.f * scale - 10.f, 90.f * scale)};
        const auto tracks = Frame(seen, &frame);
        ASSERT_EQ(tracks.size(), 1u) << f;
        EXPECT_NEAR(tracks.begin()->second.box.height, f < 7 ? 90.f : 90.f * scale, 2.f) << f;
    }
}

TEST_F(SteppedTracking, SomeoneFollowedToTheEdgeAndThenMissedHasWalkedOut)
{
    // Found three times standing, then walks right 8 pixels a frame: the
    // flow takes the box to the edge, and the run that misses them ends
    // the track at once, where a person hidden inside the picture would be
    // kept for skip-frames runs.
    Picture picture;
    int32_t id = 0;
    for (int f = 0; f <= 21; ++f) {
        const float x = f <= 14 ? 240.f : 240.f + 8.f * (f - 15);
        const fsdk::Image frame = picture.At(x, 70);
        std::vector<Detection> seen;
        if (f % 7 == 0 && f <= 14) seen = {At(x, 70, 0.9f, Picture::kFigureW, Picture::kFigureH)};
        const auto tracks = Frame(seen, &frame);
        if (f == 0) id = tracks.begin()->first;
        if (f < 21) {
            ASSERT_EQ(tracks.count(id), 1u) << f;
            EXPECT_NEAR(tracks.at(id).box.x, x, 3.f) << f;
        } else {
            EXPECT_TRUE(tracks.empty());
            EXPECT_EQ(finished, std::vector<int32_t>{id});
        }
    }
}

class QuietTracking : public Tracking {
protected:
    QuietTracking() : Tracking(7, 50) {}
};

TEST_F(QuietTracking, AStillViewCostsTheNetworkOncePerIntervalAndKeepsItsPerson)
{
    // Someone stands in a view that does not change but for camera noise:
    // of the runs due every 7 frames, the network makes those at least 50
    // frames after its last (0, 56, 112, 168); the others reuse its
    // detection, and the person keeps one id where they stand.
    Picture picture;
    int32_t id = 0;
    for (int f = 0; f < 200; ++f) {
        const fsdk::Image frame = picture.At(100, 70, static_cast<unsigned>(f + 1));
        const auto tracks = Frame({At(100, 70, 0.9f, Picture::kFigureW, Picture::kFigureH)}, &frame);
        ASSERT_EQ(tracks.size(), 1u) << f;
        if (f == 0) id = tracks.begin()->first;
        ASSERT_EQ(tracks.count(id), 1u) << f;
        EXPECT_NEAR(tracks.at(id).box.x, 100, 1.f) << f;
    }
    EXPECT_EQ(script->runs, 4);
    // Then they walk away, 4 pixels a frame: the view has changed, and
    // between runs the pictures are followed again.
    for (int f = 200; f < 221; ++f) {
        const float x = 100.f + 4.f * static_cast<float>(f - 199);
        const fsdk::Image frame = picture.At(x, 70, static_cast<unsigned>(f + 1));
        const auto tracks = Frame({At(x, 70, 0.9f, Picture::kFigureW, Picture::kFigureH)}, &frame);
        ASSERT_EQ(tracks.count(id), 1u) << f;
        EXPECT_NEAR(tracks.at(id).box.x, x, 5.f) << f;
    }
}

TEST_F(QuietTracking, SomeoneWhoStepsIntoAStillViewIsFoundByTheNextRun)
{
    // An empty view, then someone small (12 x 30 pixels of 320 x 240) steps
    // in on frame 30, between the runs of frames 28 and 35: the run of
    // frame 35 sees the change and the network finds them.
    Picture picture(12, 30);
    for (int f = 0; f <= 40; ++f) {
        const bool in = f >= 30;
        const fsdk::Image frame = picture.At(in ? 150.f : -1000.f, 70, static_cast<unsigned>(f + 1));
        std::vector<Detection> seen;
        if (in) seen = {At(150, 70, 0.9f, 12, 30)};
        EXPECT_EQ(Frame(seen, &frame).size(), f >= 35 ? 1u : 0u) << f;
    }
    EXPECT_EQ(script->runs, 2);  // frames 0 and 35
}

// Heads of one image as the network gives them: the person heat map
// (80 classes, person first) and the box distances, at stride 4.
struct Heads {
    Heads(int rows, int cols)
    {
        const int heatShape[] = {1, 80, rows, cols};
        const int sizeShape[] = {1, 4, rows, cols};
        heat = cv::Mat(4, heatShape, CV_32F, cv::Scalar(0));
        sizes = cv::Mat(4, sizeShape, CV_32F, cv::Scalar(0));
    }
    void Peak(int x, int y, float score, float left, float top, float right, float bottom, int cls = 0)
    {
        const int at[] = {0, cls, y, x};
        heat.at<float>(at) = score;
        const float distances[] = {left, top, right, bottom};
        for (int c = 0; c < 4; ++c) {
            const int where[] = {0, c, y, x};
            sizes.at<float>(where) = distances[c];
        }
    }
    cv::Mat heat, sizes;
};

TEST(DecodePeopleTest, PeaksOfThePersonMapBecomeBoxesBestFirstWithoutDoubles)
{
    Heads heads(18, 32);  // a 128 x 72 input
    heads.Peak(10, 8, 0.8f, 6, 20, 6, 24);
    heads.Peak(11, 8, 0.5f, 6, 20, 6, 24);    // beside a higher one: no peak
    heads.Peak(20, 5, 0.6f, 20, 20, 20, 20);  // another person
    heads.Peak(21, 6, 0.6f, 20, 20, 20, 20);  // the same score beside it: both are peaks...
    heads.Peak(30, 15, 0.15f, 2, 2, 2, 2);    // ...this one is under the threshold
    heads.Peak(2, 2, 0.9f, 3, 3, 3, 3, 2);    // a car: not a person
    heads.Peak(25, 15, 0.7f, -5, 2, 2, 2);    // a box of no width
    std::vector<Detection> out;
    DecodePeople(heads.heat, heads.sizes, 0.2f, 0.5f, 2.f, 3.f, 10, out);
    ASSERT_EQ(out.size(), 2u);  // ...and then one, as they overlap
    EXPECT_FLOAT_EQ(out[0].score, 0.8f);
    // (4x - l, 4y - t) to (4x + r, 4y + b), scaled to the frame.
    EXPECT_FLOAT_EQ(out[0].box.x, (40 - 6) * 2.f);
    EXPECT_FLOAT_EQ(out[0].box.y, (32 - 20) * 3.f);
    EXPECT_FLOAT_EQ(out[0].box.width, 12 * 2.f);
    EXPECT_FLOAT_EQ(out[0].box.height, 44 * 3.f);
    EXPECT_FLOAT_EQ(out[1].score, 0.6f);
    EXPECT_FLOAT_EQ(out[1].box.x, 60 * 2.f);

    // A part of someone found whole is no one else.
    Heads parts(18, 32);
    parts.Peak(10, 8, 0.5f, 6, 6, 6, 6);     // the upper body, scored higher...
    parts.Peak(10, 12, 0.3f, 8, 24, 8, 24);  // ...than the whole person, around it
    DecodePeople(parts.heat, parts.sizes, 0.2f, 0.5f, 1.f, 1.f, 10, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_FLOAT_EQ(out[0].score, 0.5f);

    // At most max-detection-count, and nothing from heads of other shapes.
    DecodePeople(heads.heat, heads.sizes, 0.2f, 0.5f, 1.f, 1.f, 1, out);
    EXPECT_EQ(out.size(), 1u);
    Heads other(9, 16);
    DecodePeople(heads.heat, other.sizes, 0.2f, 0.5f, 1.f, 1.f, 10, out);
    EXPECT_TRUE(out.empty());
}

TEST(DecodePeopleTest, RidersTakeInWhatTheyRideButNotACar)
{
    Heads heads(18, 32);
    heads.Peak(10, 6, 0.5f, 4, 8, 4, 8);        // a rider: (36, 16) to (44, 32)...
    heads.Peak(10, 8, 0.2f, 6, 8, 6, 8, 1);     // ...on a bicycle, (34, 24) to (46, 40)
    heads.Peak(24, 6, 0.5f, 4, 8, 4, 8);        // a pedestrian: (92, 16) to (100, 32)...
    heads.Peak(25, 8, 0.9f, 30, 8, 30, 28, 3);  // ...on something 17 times their size: no ride
    heads.Peak(28, 4, 0.3f, 4, 4, 4, 4, 3);     // a motorcycle with no rider near
    std::vector<Detection> people;
    tsdk::detail::DecodePeople(heads.heat, heads.sizes, 0.2f, 0.5f, 1.f, 1.f, 10, people);
    ASSERT_EQ(people.size(), 2u);
    tsdk::detail::JoinRides(heads.heat, heads.sizes, 0.2f, 1.f, 1.f, people);
    std::sort(people.begin(), people.end(), [](const Detection& a, const Detection& b) { return a.box.x < b.box.x; });
    EXPECT_FLOAT_EQ(people[0].box.x, 34);
    EXPECT_FLOAT_EQ(people[0].box.y, 16);
    EXPECT_FLOAT_EQ(people[0].box.width, 12);
    EXPECT_FLOAT_EQ(people[0].box.height, 24);
    EXPECT_FLOAT_EQ(people[0].score, 0.5f);
    EXPECT_FLOAT_EQ(people[1].box.x, 92);
    EXPECT_FLOAT_EQ(people[1].box.height, 16);

    // One rider found twice, as the upper body and lower down, and the
    // bicycle twice: each finds a ride, and the two are one person.
    Heads twice(18, 32);
    twice.Peak(10, 3, 0.5f, 4, 4, 4, 8);       // (36, 8) to (44, 20)
    twice.Peak(10, 5, 0.3f, 6, 6, 6, 10);      // (34, 14) to (46, 30)
    twice.Peak(10, 7, 0.3f, 8, 12, 8, 12, 1);  // (32, 16) to (48, 40)
    twice.Peak(10, 9, 0.25f, 8, 18, 8, 4, 1);  // (32, 18) to (48, 40)
    tsdk::detail::DecodePeople(twice.heat, twice.sizes, 0.2f, 0.5f, 1.f, 1.f, 10, people);
    ASSERT_EQ(people.size(), 2u);
    tsdk::detail::JoinRides(twice.heat, twice.sizes, 0.2f, 1.f, 1.f, people);
    ASSERT_EQ(people.size(), 1u);
    EXPECT_FLOAT_EQ(people[0].box.x, 32);
    EXPECT_FLOAT_EQ(people[0].box.y, 8);
    EXPECT_FLOAT_EQ(people[0].box.width, 16);
    EXPECT_FLOAT_EQ(people[0].box.height, 32);
    EXPECT_FLOAT_EQ(people[0].score, 0.5f);
}

}  // namespace
