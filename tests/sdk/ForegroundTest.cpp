// The person detector's foreground model gives, frame after frame, the
// same masks, grey images, curves and learnt state, byte for byte and bit
// for bit, as the plain per-pixel model it was first written as (kept here
// as the reference), with and without shadows, on generated scenes whose
// exposure changes and that have shadows cast on them.

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "Scene/Generator.h"
#include "track/Config.h"
#include "track/Foreground.h"

namespace {

using tsdk::detail::ForegroundModel;
using tsdk::detail::PersonDetectorConfig;

namespace reference {

// A pixel is foreground when it lies this many standard deviations of its
// own noise from the mean, and at least foreground-threshold away.
constexpr float kNoiseFactor = 3.f;
// The background of the first few looks at a scene is averaged, so that
// the noise of the first one does not stay.
constexpr int kWarmUpUpdates = 4;
// The tone curve is measured in bins of the model's values, on every
// second pixel of every second row; a bin needs this many samples.
constexpr int kToneBins = 32;
constexpr int kToneBinWidth = 256 / kToneBins;
constexpr int kToneSamples = 32;

// The rate of a time constant of `frames` frames, over `elapsed` frames.
float Rate(int frames, int elapsed)
{
    return 1.f - static_cast<float>(std::pow(1.0 - 1.0 / frames, std::max(elapsed, 1)));
}

// A curve at a fractional value.
float Lookup(const std::array<float, 256>& curve, float value)
{
    const float v = std::clamp(value, 0.f, 255.f);
    const int i = std::min(static_cast<int>(v), 254);
    const float f = v - static_cast<float>(i);
    return curve[static_cast<size_t>(i)] + f * (curve[static_cast<size_t>(i) + 1] - curve[static_cast<size_t>(i)]);
}

// Brings the seen bins into rising order by pooling neighbours that are out
// of it, weighted by their samples: a thinly seen bin with a wrong median
// (what a person walking by left in the model) bends the curve only a
// little, and only near itself.
template <size_t N>
void MakeRising(std::array<float, N>& value, const std::array<int, N>& weight, const std::array<bool, N>& seen)
{
    // Pool-adjacent-violators over the seen bins: blocks of a mean, a
    // weight and the first bin they cover.
    std::array<float, N> mean{};
    std::array<double, N> mass{};
    std::array<size_t, N> start{};
    size_t blocks = 0;
    for (size_t b = 0; b < N; ++b) {
        if (!seen[b]) continue;
        mean[blocks] = value[b];
        mass[blocks] = weight[b];
        start[blocks] = b;
        ++blocks;
        while (blocks > 1 && mean[blocks - 2] > mean[blocks - 1]) {
            const double total = mass[blocks - 2] + mass[blocks - 1];
            mean[blocks - 2] =
                static_cast<float>((mean[blocks - 2] * mass[blocks - 2] + mean[blocks - 1] * mass[blocks - 1]) / total);
            mass[blocks - 2] = total;
            --blocks;
        }
    }
    for (size_t k = 0; k < blocks; ++k) {
        const size_t end = k + 1 < blocks ? start[k + 1] : N;
        for (size_t b = start[k]; b < end; ++b)
            if (seen[b]) value[b] = mean[k];
    }
}

// The model one pixel at a time, as plainly as it reads.
class Reference {
public:
    static constexpr uint8_t kBackground = ForegroundModel::kBackground;
    static constexpr uint8_t kShadow = ForegroundModel::kShadow;
    static constexpr uint8_t kWeak = ForegroundModel::kWeak;
    static constexpr uint8_t kForeground = ForegroundModel::kForeground;
    static constexpr uint8_t kKeep = ForegroundModel::kKeep;
    static constexpr uint8_t kGhost = ForegroundModel::kGhost;

    explicit Reference(const PersonDetectorConfig& config) : m_config(config) {}

    void Classify(const cv::Mat& frame, const cv::Mat& keep, cv::Mat& mask);
    void Learn(const cv::Mat& frame, int frames, const cv::Mat& mask, const cv::Mat& keep);
    uint8_t Classify(const uint8_t* rgb, int x, int y) const;
    void Reset() noexcept
    {
        m_updates = 0;
        m_started = false;
    }

    using Curve = std::array<float, 256>;
    static constexpr int kFine = 4;
    static constexpr int kFineSteps = 255 * kFine + 1;
    using FineCurve = std::array<float, kFineSteps>;

    float Expected(int c, float mean) const noexcept
    {
        const int i = static_cast<int>(mean * kFine + 0.5f);
        return m_expected[static_cast<size_t>(c)][static_cast<size_t>(i < 0             ? 0
                                                                      : i >= kFineSteps ? kFineSteps - 1
                                                                                        : i)];
    }
    inline uint8_t Label(const uint8_t* rgb, const float* mean, float variance, float& distance2,
                         uint8_t* background = nullptr) const;
    void EstimateTone(const cv::Mat& frame, const cv::Mat& keep);

    const PersonDetectorConfig m_config;
    std::array<Curve, 3> m_toFrame{};
    std::array<Curve, 3> m_toModel{};
    std::array<FineCurve, 3> m_expected{};
    std::vector<int> m_histogram;
    cv::Mat m_mean;
    cv::Mat m_variance;
    cv::Mat m_age;
    cv::Mat m_distance;
    cv::Mat m_frameGrey;
    cv::Mat m_backgroundGrey;
    int m_updates = 0;
    bool m_started = false;
};

void Reference::EstimateTone(const cv::Mat& frame, const cv::Mat& keep)
{
    m_histogram.assign(static_cast<size_t>(3 * kToneBins * 256), 0);
    const bool useKeep = !keep.empty() && keep.size() == frame.size();
    for (int y = 0; y < frame.rows; y += 2) {
        const uint8_t* in = frame.ptr<uint8_t>(y);
        const float* mean = m_mean.ptr<float>(y);
        const uint8_t* kept = useKeep ? keep.ptr<uint8_t>(y) : nullptr;
        for (int x = 0; x < frame.cols; x += 2) {
            if (kept != nullptr && kept[x] != 0) continue;
            for (int c = 0; c < 3; ++c) {
                const int bin = std::clamp(static_cast<int>(mean[3 * x + c]) / kToneBinWidth, 0, kToneBins - 1);
                ++m_histogram[static_cast<size_t>((c * kToneBins + bin) * 256 + in[3 * x + c])];
            }
        }
    }

    for (int c = 0; c < 3; ++c) {
        // The median frame value of each bin, or the frame's offset from
        // the model carried over from the nearest bins that were seen.
        std::array<float, kToneBins> value{};
        std::array<int, kToneBins> weight{};
        std::array<bool, kToneBins> seen{};
        bool any = false;
        for (int b = 0; b < kToneBins; ++b) {
            const int* histogram = &m_histogram[static_cast<size_t>((c * kToneBins + b) * 256)];
            int count = 0;
            for (int v = 0; v < 256; ++v) count += histogram[v];
            if (count < kToneSamples) continue;
            int v = 0;
            for (int below = histogram[0]; below * 2 < count; below += histogram[++v]) {
            }
            value[b] = static_cast<float>(v);
            weight[b] = count;
            seen[b] = any = true;
        }
        MakeRising(value, weight, seen);
        const auto centre = [](int b) { return (static_cast<float>(b) + 0.5f) * kToneBinWidth - 0.5f; };
        for (int b = 0; b < kToneBins; ++b) {
            if (seen[b]) continue;
            int lower = b - 1, upper = b + 1;
            while (lower >= 0 && !seen[lower]) --lower;
            while (upper < kToneBins && !seen[upper]) ++upper;
            float offset = 0.f;
            if (lower >= 0 && upper < kToneBins) {
                const float t = static_cast<float>(b - lower) / static_cast<float>(upper - lower);
                offset = (1 - t) * (value[lower] - centre(lower)) + t * (value[upper] - centre(upper));
            } else if (lower >= 0) {
                offset = value[lower] - centre(lower);
            } else if (upper < kToneBins) {
                offset = value[upper] - centre(upper);
            }
            value[b] = any ? centre(b) + offset : centre(b);
        }
        for (int b = 1; b < kToneBins; ++b) value[b] = std::max(value[b], value[b - 1]);

        Curve& toFrame = m_toFrame[static_cast<size_t>(c)];
        for (int v = 0; v < 256; ++v) {
            const float t = (static_cast<float>(v) + 0.5f) / kToneBinWidth - 0.5f;
            float mapped;
            if (t <= 0.f) {
                mapped = value[0] + (static_cast<float>(v) - centre(0));
            } else if (t >= kToneBins - 1) {
                mapped = value[kToneBins - 1] + (static_cast<float>(v) - centre(kToneBins - 1));
            } else {
                const int b = static_cast<int>(t);
                const float f = t - static_cast<float>(b);
                mapped = (1 - f) * value[b] + f * value[b + 1];
            }
            toFrame[v] = std::clamp(mapped, 0.f, 255.f);
        }
        for (int v = 1; v < 256; ++v) toFrame[v] = std::max(toFrame[v], toFrame[v - 1]);

        // Sampled four times finer for the per-pixel look-up.
        FineCurve& fine = m_expected[static_cast<size_t>(c)];
        for (int i = 0; i < kFineSteps; ++i)
            fine[static_cast<size_t>(i)] = Lookup(toFrame, static_cast<float>(i) / kFine);

        // Back from the frame to the model: where the curve reaches each value.
        Curve& toModel = m_toModel[static_cast<size_t>(c)];
        int at = 0;
        for (int u = 0; u < 256; ++u) {
            const float target = static_cast<float>(u);
            while (at < 255 && toFrame[at] < target) ++at;
            if (at == 0 || toFrame[at] < target) {
                toModel[u] = static_cast<float>(at);
            } else {
                const float below = toFrame[at - 1], above = toFrame[at];
                const float f = above > below ? (target - below) / (above - below) : 1.f;
                toModel[u] = static_cast<float>(at - 1) + f;
            }
        }
    }
}

inline uint8_t Reference::Label(const uint8_t* in, const float* mean, float variance, float& distance2,
                                uint8_t* background) const
{
    const float threshold = static_cast<float>(m_config.foregroundThreshold);
    const float c0 = in[0], c1 = in[1], c2 = in[2];
    // The background as this frame's exposure shows it.
    const float b0 = Expected(0, mean[0]), b1 = Expected(1, mean[1]), b2 = Expected(2, mean[2]);
    if (background != nullptr) *background = static_cast<uint8_t>((b0 + b1 + b2) / 3.f + 0.5f);
    const float d0 = c0 - b0, d1 = c1 - b1, d2 = c2 - b2;
    distance2 = (d0 * d0 + d1 * d1 + d2 * d2) / 3.f;
    const float limit2 = std::max(threshold * threshold, kNoiseFactor * kNoiseFactor * variance);
    if (distance2 <= limit2) return distance2 > 0.25f * limit2 ? kWeak : kBackground;
    const float back2 = b0 * b0 + b1 * b1 + b2 * b2;
    if (m_config.shadows && back2 > 1.f) {
        // Brightness against the background, and what is left once the
        // background is dimmed to it.
        const float b = (c0 * b0 + c1 * b1 + c2 * b2) / back2;
        if (b >= static_cast<float>(m_config.shadowMinPercent) / 100.f &&
            b <= static_cast<float>(m_config.shadowMaxPercent) / 100.f) {
            const float e0 = c0 - b * b0, e1 = c1 - b * b1, e2 = c2 - b * b2;
            if ((e0 * e0 + e1 * e1 + e2 * e2) / 3.f <= 0.25f * limit2) return kShadow;
        }
    }
    return kForeground;
}

uint8_t Reference::Classify(const uint8_t* rgb, int x, int y) const
{
    float distance2 = 0.f;
    return Label(rgb, m_mean.ptr<float>(y) + 3 * x, m_variance.ptr<float>(y)[x], distance2);
}

void Reference::Classify(const cv::Mat& frame, const cv::Mat& keep, cv::Mat& mask)
{
    mask.create(frame.size(), CV_8UC1);
    const float threshold = static_cast<float>(m_config.foregroundThreshold);
    if (m_updates == 0 || m_mean.size() != frame.size()) {
        // The first look is the background.
        frame.convertTo(m_mean, CV_32FC3);
        m_variance.create(frame.size(), CV_32FC1);
        m_variance.setTo(threshold * threshold / (kNoiseFactor * kNoiseFactor));
        m_age.create(frame.size(), CV_16UC1);
        m_age.setTo(0);
        m_distance.create(frame.size(), CV_32FC1);
        for (size_t c = 0; c < 3; ++c) {
            for (int v = 0; v < 256; ++v)
                m_toFrame[c][static_cast<size_t>(v)] = m_toModel[c][static_cast<size_t>(v)] = static_cast<float>(v);
            for (int i = 0; i < kFineSteps; ++i) m_expected[c][static_cast<size_t>(i)] = static_cast<float>(i) / kFine;
        }
        mask.setTo(kBackground);
        m_updates = 0;
        m_started = true;
        return;
    }
    EstimateTone(frame, keep);
    m_frameGrey.create(frame.size(), CV_8UC1);
    m_backgroundGrey.create(frame.size(), CV_8UC1);
    for (int y = 0; y < frame.rows; ++y) {
        const uint8_t* in = frame.ptr<uint8_t>(y);
        const float* mean = m_mean.ptr<float>(y);
        const float* variance = m_variance.ptr<float>(y);
        float* distance = m_distance.ptr<float>(y);
        uint8_t* out = mask.ptr<uint8_t>(y);
        uint8_t* grey = m_frameGrey.ptr<uint8_t>(y);
        uint8_t* back = m_backgroundGrey.ptr<uint8_t>(y);
        for (int x = 0; x < frame.cols; ++x, in += 3, mean += 3) {
            out[x] = Label(in, mean, variance[x], distance[x], &back[x]);
            grey[x] = static_cast<uint8_t>((in[0] + in[1] + in[2] + 1) / 3);
        }
    }
}

void Reference::Learn(const cv::Mat& frame, int frames, const cv::Mat& mask, const cv::Mat& keep)
{
    if (m_mean.size() != frame.size() || mask.size() != frame.size()) return;
    if (m_started) {  // the first look is already in
        m_started = false;
        m_updates = 1;
        return;
    }
    const float threshold = static_cast<float>(m_config.foregroundThreshold);
    const float minVariance = threshold * threshold / (kNoiseFactor * kNoiseFactor);
    const float maxVariance = threshold * threshold;
    float background = Rate(m_config.backgroundFrames, frames);
    // Once it is due, a ghost goes within a few looks.
    const float ghost = Rate(std::max(1, m_config.ghostFrames / 4), frames);
    if (m_updates < kWarmUpUpdates) background = std::max(background, 1.f / static_cast<float>(m_updates + 1));
    const bool useKeep = !keep.empty() && keep.size() == frame.size();

    for (int y = 0; y < frame.rows; ++y) {
        const uint8_t* in = frame.ptr<uint8_t>(y);
        float* mean = m_mean.ptr<float>(y);
        float* variance = m_variance.ptr<float>(y);
        const float* distance = m_distance.ptr<float>(y);
        uint16_t* age = m_age.ptr<uint16_t>(y);
        const uint8_t* label = mask.ptr<uint8_t>(y);
        const uint8_t* kept = useKeep ? keep.ptr<uint8_t>(y) : nullptr;
        for (int x = 0; x < frame.cols; ++x, in += 3, mean += 3) {
            // Learnt at the model's own exposure. Foreground that no one
            // follows is learnt once it has stayed for ghost-frames: a
            // person walking by stays nowhere that long.
            float rate = 0.f;
            if (label[x] == kBackground) {
                rate = background;
                age[x] = 0;
                variance[x] =
                    std::clamp(variance[x] + background * (distance[x] - variance[x]), minVariance, maxVariance);
            } else if (kept != nullptr && kept[x] == kGhost) {
                rate = ghost;
            } else if (kept != nullptr && kept[x] != 0) {
                age[x] = 0;
            } else {
                age[x] = static_cast<uint16_t>(std::min<int>(age[x] + frames, 0xffff));
                if (age[x] >= m_config.ghostFrames) rate = ghost;
            }
            if (rate > 0.f) {
                mean[0] += rate * (m_toModel[0][in[0]] - mean[0]);
                mean[1] += rate * (m_toModel[1][in[1]] - mean[1]);
                mean[2] += rate * (m_toModel[2][in[2]] - mean[2]);
            }
        }
    }
    ++m_updates;
}

}  // namespace reference

using reference::Reference;

// Equal down to the last bit of every element, padding between rows aside.
::testing::AssertionResult SameBits(const cv::Mat& expected, const cv::Mat& actual)
{
    if (expected.size() != actual.size() || expected.type() != actual.type())
        return ::testing::AssertionFailure() << "size or type differs";
    const size_t row = expected.elemSize() * static_cast<size_t>(expected.cols);
    for (int y = 0; y < expected.rows; ++y) {
        const uint8_t* a = expected.ptr<uint8_t>(y);
        const uint8_t* b = actual.ptr<uint8_t>(y);
        if (std::memcmp(a, b, row) == 0) continue;
        size_t i = 0;
        while (a[i] == b[i]) ++i;
        return ::testing::AssertionFailure()
               << "row " << y << " differs first at element " << i / expected.elemSize() << " (byte " << i << ")";
    }
    return ::testing::AssertionSuccess();
}

template <size_t N>
::testing::AssertionResult SameBits(const std::array<float, N>& expected, const std::array<float, N>& actual)
{
    if (std::memcmp(expected.data(), actual.data(), sizeof(float) * N) == 0) return ::testing::AssertionSuccess();
    size_t i = 0;
    while (std::memcmp(&expected[i], &actual[i], sizeof(float)) == 0) ++i;
    return ::testing::AssertionFailure() << "differs first at " << i << ": " << expected[i] << " against " << actual[i];
}

// What the camera shows on frame `f`: the generated scene, from frame 14
// with its exposure and white balance drifting (as when someone dark fills
// the view) and from frame 22 with a shadow band cast across the floor.
cv::Mat Shot(const Scene::Generator& scene, uint32_t f)
{
    std::vector<uint8_t> rgb;
    scene.Render(f, rgb);
    const int width = static_cast<int>(scene.settings().width), height = static_cast<int>(scene.settings().height);
    cv::Mat frame = cv::Mat(height, width, CV_8UC3, rgb.data()).clone();
    const double drift = f < 14 ? 0.0 : std::min(1.0, (f - 14) / 10.0);
    const std::array<double, 3> gain{1.0 - 0.22 * drift, 1.0 - 0.1 * drift, 1.0 + 0.15 * drift};
    for (int y = 0; y < height; ++y) {
        uint8_t* p = frame.ptr<uint8_t>(y);
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c) {
                double v = p[3 * x + c] * gain[static_cast<size_t>(c)];
                // A soft-edged shadow moving right, 60 to 85 % bright.
                const int edge = 40 + 6 * static_cast<int>(f);
                if (f >= 22 && y > height / 2 && x > edge && x < edge + 200)
                    v *= 0.6 + 0.25 * std::abs(x - edge - 100) / 100.0;
                p[3 * x + c] = static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
            }
    }
    return frame;
}

// The people the tracker follows, some of them to be learnt at once as
// ghosts; or, on some frames, none, or a mask of the wrong size to ignore.
cv::Mat Keep(const Scene::Generator& scene, uint32_t f, cv::Rect view)
{
    if (f % 9 == 4) return {};
    if (f % 9 == 7) return cv::Mat(view.height / 2, view.width / 2, CV_8UC1, cv::Scalar(ForegroundModel::kKeep));
    const int width = static_cast<int>(scene.settings().width), height = static_cast<int>(scene.settings().height);
    cv::Mat keep(height, width, CV_8UC1, cv::Scalar(0));
    for (const Scene::Truth& t : scene.TruthAt(f)) {
        if ((t.id + static_cast<int>(f / 5)) % 3 == 0) continue;  // lost for a while
        const cv::Rect box = cv::Rect(static_cast<int>(t.box.x), static_cast<int>(t.box.y),
                                      static_cast<int>(t.box.width), static_cast<int>(t.box.height)) &
                             cv::Rect(0, 0, width, height);
        keep(box).setTo(t.id % 2 == 0 ? ForegroundModel::kGhost : ForegroundModel::kKeep);
    }
    return keep(view);
}

struct Setting {
    std::string name;
    bool shadows;
    int ghostFrames;
};

void PrintTo(const Setting& setting, std::ostream* out)
{
    *out << setting.name;
}

class ForegroundModelTest : public ::testing::TestWithParam<Setting> {};

TEST_P(ForegroundModelTest, SameAsThePlainModelFrameAfterFrame)
{
    PersonDetectorConfig config;
    config.shadows = GetParam().shadows;
    config.ghostFrames = GetParam().ghostFrames;
    Reference expected(config);
    ForegroundModel model(config);

    Scene::Settings settings;
    settings.frames = 60;
    const Scene::Generator scene(settings);
    const cv::Rect whole(0, 0, 640, 360);
    // Later a view of another size, whose width leaves a tail after any
    // block of pixels, with rows that are not contiguous: the model starts
    // again on it.
    const cv::Rect view(7, 3, 603, 341);

    std::array<long, 256> labels{};
    cv::Mat expectedMask, mask;
    for (uint32_t f = 0; f < scene.FrameCount(); ++f) {
        SCOPED_TRACE("frame " + std::to_string(f));
        const cv::Rect r = f < 40 ? whole : view;
        const cv::Mat frame = Shot(scene, f)(r);
        const cv::Mat keep = Keep(scene, f, r);
        if (f == 30) {
            expected.Reset();
            model.Reset();
        }
        expected.Classify(frame, keep, expectedMask);
        model.Classify(frame, keep, mask);
        ASSERT_TRUE(SameBits(expectedMask, mask));
        // A first look measures no distances.
        if (!expected.m_started) {
            ASSERT_TRUE(SameBits(expected.m_distance, model.Distance()));
        }
        if (!expected.m_frameGrey.empty()) {
            ASSERT_TRUE(SameBits(expected.m_frameGrey, model.FrameGrey()));
            ASSERT_TRUE(SameBits(expected.m_backgroundGrey, model.BackgroundGrey()));
        }
        for (int c = 0; c < 3; ++c) {
            SCOPED_TRACE("channel " + std::to_string(c));
            ASSERT_TRUE(SameBits(expected.m_toFrame[static_cast<size_t>(c)], model.ToFrame(c)));
            ASSERT_TRUE(SameBits(expected.m_toModel[static_cast<size_t>(c)], model.ToModel(c)));
            ASSERT_TRUE(SameBits(expected.m_expected[static_cast<size_t>(c)], model.FineToFrame(c)));
        }
        for (int y = 0; y < mask.rows; ++y)
            for (int x = 0; x < mask.cols; ++x) ++labels[mask.at<uint8_t>(y, x)];

        const int frames = 1 + static_cast<int>(f % 3);
        expected.Learn(frame, frames, expectedMask, keep);
        model.Learn(frame, frames, mask, keep);
        ASSERT_TRUE(SameBits(expected.m_mean, model.Mean()));
        ASSERT_TRUE(SameBits(expected.m_variance, model.Variance()));
        ASSERT_TRUE(SameBits(expected.m_age, model.Age()));
        if (model.Ready()) {
            for (int y = 0; y < frame.rows; y += 37)
                for (int x = 0; x < frame.cols; x += 23) {
                    ASSERT_EQ(expected.Classify(frame.ptr<uint8_t>(y) + 3 * x, x, y),
                              model.Classify(frame.ptr<uint8_t>(y) + 3 * x, x, y))
                        << "at " << x << ", " << y;
                }
        }
    }
    // Every kind of pixel was met, so every path was compared.
    EXPECT_GT(labels[ForegroundModel::kBackground], 0);
    EXPECT_GT(labels[ForegroundModel::kWeak], 0);
    EXPECT_GT(labels[ForegroundModel::kForeground], 0);
    if (config.shadows) {
        EXPECT_GT(labels[ForegroundModel::kShadow], 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Settings, ForegroundModelTest,
                         ::testing::Values(Setting{"Plain", false, 30}, Setting{"Shadows", true, 30},
                                           Setting{"QuickGhosts", false, 4}, Setting{"ShadowsQuickGhosts", true, 4}),
                         [](const ::testing::TestParamInfo<Setting>& info) { return info.param.name; });

}  // namespace
