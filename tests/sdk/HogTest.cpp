// Our HOG people detector gives what OpenCV's HOGDescriptor gives with the
// same parameters: the pyramid levels pixel for pixel, the descriptors and
// window scores to rounding, and the grouped hits of detectMultiScale.

#include <gtest/gtest.h>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "HogSamples.h"
#include "Video.h"
#include "track/Hog.h"

namespace {

namespace fs = std::filesystem;
using tsdk::detail::HogPeopleDetector;

struct Sample {
    std::string name;
    cv::Mat grey;
};

struct Detector {
    std::string name;
    HogPeopleDetector ours;
    cv::HOGDescriptor theirs;
};

std::vector<Detector> Detectors()
{
    std::vector<Detector> out;
    out.push_back({"default", HogPeopleDetector::Default(),
                   cv::HOGDescriptor(cv::Size(64, 128), cv::Size(16, 16), cv::Size(8, 8), cv::Size(8, 8), 9)});
    out.back().theirs.setSVMDetector(cv::HOGDescriptor::getDefaultPeopleDetector());
    out.push_back({"daimler", HogPeopleDetector::Daimler(),
                   cv::HOGDescriptor(cv::Size(48, 96), cv::Size(16, 16), cv::Size(8, 8), cv::Size(8, 8), 9)});
    out.back().theirs.setSVMDetector(cv::HOGDescriptor::getDaimlerPeopleDetector());
    return out;
}

// A few frames of each real clip that is here; none when they are not.
std::vector<Sample> ClipFrames()
{
    std::vector<Sample> out;
    const fs::path dir = QEL_CLIP_DIR;
    if (!fs::is_directory(dir)) return out;
    std::vector<fs::path> clips;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().extension() == ".gif") clips.push_back(entry.path());
    std::sort(clips.begin(), clips.end());
    for (const fs::path& clip : clips) {
        QelTrack::VideoReader reader(clip.string());
        QelTrack::RgbFrame frame;
        for (int i = 0; reader.Next(frame) && i <= 20; ++i) {
            if (i % 20 != 0) continue;
            const cv::Mat rgb(static_cast<int>(frame.height), static_cast<int>(frame.width), CV_8UC3, frame.rgb.data());
            cv::Mat grey;
            cv::cvtColor(rgb, grey, cv::COLOR_RGB2GRAY);
            out.push_back({clip.filename().string() + "#" + std::to_string(i), grey});
        }
    }
    return out;
}

std::vector<Sample> Pictures()
{
    std::vector<Sample> out{{"noise", HogSamples::Noise({200, 300}, 3)},
                            {"shading", HogSamples::Shading({200, 300})},
                            {"shapes", HogSamples::Shapes({200, 300}, 5)}};
    int i = 0;
    for (const cv::Mat& frame : HogSamples::SceneFrames({40, 160, 320}))
        out.push_back({"scene" + std::to_string(i++), frame});
    for (Sample& s : ClipFrames()) out.push_back(std::move(s));
    return out;
}

double MaxDifference(const std::vector<float>& a, const std::vector<float>& b)
{
    double worst = 0;
    for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(static_cast<double>(a[i]) - b[i]));
    return worst;
}

// On the fastest instructions here, then on those every x86-64 has.
class Hog : public ::testing::TestWithParam<bool> {
protected:
    // OpenCV's levels and hits then come in order.
    void SetUp() override
    {
        m_threads = cv::getNumThreads();
        cv::setNumThreads(0);
        HogPeopleDetector::BaselineOnly(GetParam());
    }
    void TearDown() override
    {
        HogPeopleDetector::BaselineOnly(false);
        cv::setNumThreads(m_threads);
    }

private:
    int m_threads = 1;
};

TEST_P(Hog, ResizeIsOpenCvsExactResize)
{
    HogPeopleDetector hog = HogPeopleDetector::Default();
    std::mt19937 rng(9);
    for (const Sample& s : Pictures()) {
        for (int i = 0; i < 6; ++i) {
            // Blown up too, as a crop is before detection.
            const double scale = 0.45 + 0.3 * i + 0.01 * static_cast<double>(rng() % 10);
            const cv::Size size(std::max(1, static_cast<int>(std::lrint(s.grey.cols / scale))),
                                std::max(1, static_cast<int>(std::lrint(s.grey.rows / scale))));
            cv::Mat theirs;
            cv::resize(s.grey, theirs, size, 0, 0, cv::INTER_LINEAR_EXACT);
            const cv::Mat& ours = hog.Resize(s.grey, size);
            ASSERT_EQ(ours.size(), size);
            EXPECT_EQ(cv::norm(ours, theirs, cv::NORM_INF), 0) << s.name << " to " << size;
        }
    }
}

TEST_P(Hog, DescriptorsAreOpenCvs)
{
    for (Detector& d : Detectors()) {
        const cv::Size window = d.ours.Window();
        std::vector<float> ours, theirs;
        for (const Sample& s : Pictures()) {
            // A window on its own: its borders are the image's.
            for (const cv::Point at :
                 {cv::Point(0, 0), cv::Point(s.grey.cols - window.width, s.grey.rows - window.height),
                  cv::Point(s.grey.cols / 3, s.grey.rows / 4)}) {
                const cv::Mat crop = s.grey(cv::Rect(at, window)).clone();
                d.theirs.compute(crop, theirs);
                d.ours.Descriptor(crop, {0, 0}, {8, 8}, ours);
                ASSERT_EQ(ours.size(), theirs.size());
                EXPECT_LT(MaxDifference(ours, theirs), 1e-4) << d.name << " " << s.name << " crop at " << at;
            }
            // Windows of a whole image on a 4-pixel grid.
            const std::vector<cv::Point> at{{0, 0}, {4, 8}, {12, 4}, {s.grey.cols / 4 * 4 - window.width / 2 * 2, 20}};
            std::vector<cv::Point> inside;
            for (const cv::Point& p : at)
                if (p.x + window.width <= s.grey.cols && p.y + window.height <= s.grey.rows) inside.push_back(p);
            d.theirs.compute(s.grey, theirs, {4, 4}, {0, 0}, inside);
            ASSERT_EQ(theirs.size(), inside.size() * d.ours.DescriptorSize());
            for (size_t i = 0; i < inside.size(); ++i) {
                d.ours.Descriptor(s.grey, inside[i], {4, 4}, ours);
                const std::vector<float> one(theirs.begin() + static_cast<std::ptrdiff_t>(i * ours.size()),
                                             theirs.begin() + static_cast<std::ptrdiff_t>((i + 1) * ours.size()));
                EXPECT_LT(MaxDifference(ours, one), 1e-4) << d.name << " " << s.name << " at " << inside[i];
            }
        }
    }
}

TEST_P(Hog, WindowScoresAreOpenCvs)
{
    for (Detector& d : Detectors())
        for (const Sample& s : Pictures())
            for (const cv::Size stride : {cv::Size(4, 4), cv::Size(8, 8)}) {
                std::vector<cv::Point> ours, theirs;
                std::vector<double> ourScores, theirScores;
                d.ours.Scores(s.grey, stride, ours, ourScores);
                d.theirs.detect(s.grey, theirs, theirScores, -1e30, stride, {0, 0});
                ASSERT_EQ(ours, theirs) << d.name << " " << s.name;
                ASSERT_EQ(ourScores.size(), theirScores.size());
                double worst = 0;
                for (size_t i = 0; i < ourScores.size(); ++i)
                    worst = std::max(worst, std::abs(ourScores[i] - theirScores[i]));
                EXPECT_LT(worst, 1e-3) << d.name << " " << s.name << " stride " << stride;
            }
}

struct Parameters {
    cv::Size stride;
    double scale;
    int levels;
    double threshold[2];  // default, Daimler
};

// Hits of a level that lie this close to the threshold may go either way.
constexpr double kBorderline = 0.01;

void Clip(std::vector<cv::Rect>& boxes, std::vector<double>& weights, cv::Size size)
{
    size_t kept = 0;
    for (size_t i = 0; i < boxes.size(); ++i) {
        const cv::Rect r = boxes[i] & cv::Rect({0, 0}, size);
        if (r.area() <= 0) continue;
        boxes[kept] = r;
        weights[kept++] = weights[i];
    }
    boxes.resize(kept);
    weights.resize(kept);
}

void DropBorderline(std::vector<cv::Rect>& boxes, std::vector<double>& weights, double threshold)
{
    size_t kept = 0;
    for (size_t i = 0; i < boxes.size(); ++i) {
        if (std::abs(weights[i] - threshold) < kBorderline) continue;
        boxes[kept] = boxes[i];
        weights[kept++] = weights[i];
    }
    boxes.resize(kept);
    weights.resize(kept);
}

TEST_P(Hog, DetectionsAreOpenCvs)
{
    // As the person detector looks: around one person, blown up to the
    // detector's scale, and the whole frame; with thresholds lower than its
    // own, for more hits to group.
    const Parameters sets[] = {{{4, 4}, 1.09, 9, {-0.3, 0.5}},
                               {{4, 4}, 1.09, 9, {-1.0, -0.5}},
                               {{8, 8}, 1.1, 12, {0.9, 1.7}},
                               {{8, 8}, 1.1, 12, {-0.5, 0.0}}};
    std::vector<Sample> images;
    for (const Sample& s : Pictures()) {
        if (s.grey.cols <= 300) {
            images.push_back(s);
            continue;
        }
        images.push_back({s.name + " whole", s.grey});
        const cv::Rect middle(s.grey.cols / 3, s.grey.rows / 6, s.grey.cols / 4, s.grey.rows * 2 / 3);
        cv::Mat crop;
        cv::resize(s.grey(middle), crop, {}, 1.7, 1.7, cv::INTER_LINEAR);
        images.push_back({s.name + " middle", crop});
    }

    int cases = 0, exact = 0, found = 0;
    for (Detector& d : Detectors()) {
        const int which = d.name == "default" ? 0 : 1;
        for (const Sample& s : images)
            for (const Parameters& p : sets) {
                const double threshold = p.threshold[which];
                // Their level hits, ungrouped, then grouped.
                std::vector<cv::Rect> theirHits, theirs, ourHits, ours;
                std::vector<double> theirHitWeights, theirWeights, ourHitWeights, ourWeights;
                d.theirs.nlevels = p.levels;
                d.theirs.detectMultiScale(s.grey, theirHits, theirHitWeights, threshold, p.stride, {0, 0}, p.scale, 0.0,
                                          false);
                d.theirs.detectMultiScale(s.grey, theirs, theirWeights, threshold, p.stride, {0, 0}, p.scale, 1.0,
                                          false);
                d.ours.DetectMultiScale(s.grey, ours, ourWeights, threshold, p.stride, p.scale, p.levels);
                d.ours.Candidates(ourHits, ourHitWeights);
                Clip(ourHits, ourHitWeights, s.grey.size());
                const std::string what = d.name + " " + s.name + " stride " + std::to_string(p.stride.width) +
                                         " threshold " + std::to_string(threshold);
                ++cases;
                found += static_cast<int>(ours.size());

                // The same windows, but for those on the threshold.
                const bool same = ourHits == theirHits;
                DropBorderline(ourHits, ourHitWeights, threshold);
                DropBorderline(theirHits, theirHitWeights, threshold);
                ASSERT_EQ(ourHits, theirHits) << what;
                for (size_t i = 0; i < ourHits.size(); ++i)
                    EXPECT_NEAR(ourHitWeights[i], theirHitWeights[i], 1e-3) << what << " hit " << i;
                if (!same) continue;

                // With the same windows, the same groups.
                ++exact;
                EXPECT_EQ(ours, theirs) << what;
                ASSERT_EQ(ourWeights.size(), theirWeights.size()) << what;
                for (size_t i = 0; i < ours.size(); ++i)
                    EXPECT_NEAR(ourWeights[i], theirWeights[i], 1e-3) << what << " group " << i;
            }
    }
    // Windows on the threshold are rare: nearly every case is compared whole.
    EXPECT_GE(exact * 10, cases * 9) << exact << " of " << cases;
    EXPECT_GT(found, cases) << "too few people found to compare the grouping";
}

TEST_P(Hog, DetectsOnItsOwnResizedImage)
{
    // The resized image stays whole while the pyramid is made below it.
    HogPeopleDetector hog = HogPeopleDetector::Daimler();
    const cv::Mat frame = HogSamples::SceneFrames({320})[0];
    const cv::Mat& crop = hog.Resize(frame(cv::Rect(200, 20, 180, 300)), {240, 400});
    const cv::Mat copy = crop.clone();
    std::vector<cv::Rect> onCrop, onCopy;
    std::vector<double> weights;
    hog.DetectMultiScale(crop, onCrop, weights, 0.0, {4, 4}, 1.09, 9);
    EXPECT_EQ(cv::norm(crop, copy, cv::NORM_INF), 0);
    hog.DetectMultiScale(copy, onCopy, weights, 0.0, {4, 4}, 1.09, 9);
    EXPECT_EQ(onCrop, onCopy);
    EXPECT_FALSE(onCopy.empty());
}

TEST_P(Hog, BadInputGivesNoHitsOrAClearError)
{
    HogPeopleDetector hog = HogPeopleDetector::Default();
    std::vector<cv::Rect> found{{1, 2, 3, 4}};
    std::vector<double> weights{1.0};
    hog.DetectMultiScale(cv::Mat(), found, weights, 0, {8, 8}, 1.1, 12);
    EXPECT_TRUE(found.empty());
    EXPECT_TRUE(weights.empty());

    // Smaller than the window either way, or just one pixel short.
    for (const cv::Size size : {cv::Size(63, 400), cv::Size(400, 127), cv::Size(1, 1), cv::Size(63, 127)}) {
        found.assign(1, {1, 2, 3, 4});
        hog.DetectMultiScale(HogSamples::Noise(size, 1), found, weights, -10, {4, 4}, 1.09, 9);
        EXPECT_TRUE(found.empty()) << size;
        std::vector<cv::Point> at;
        hog.Scores(HogSamples::Noise(size, 1), {4, 4}, at, weights);
        EXPECT_TRUE(at.empty()) << size;
    }
    // Exactly the window: one window, scored.
    std::vector<cv::Point> at;
    hog.Scores(HogSamples::Noise({64, 128}, 1), {4, 4}, at, weights);
    EXPECT_EQ(at.size(), 1u);

    const cv::Mat colour(200, 200, CV_8UC3, cv::Scalar(1, 2, 3));
    EXPECT_THROW(hog.DetectMultiScale(colour, found, weights, 0, {8, 8}, 1.1, 12), std::invalid_argument);
    const cv::Mat floats(200, 200, CV_32FC1, cv::Scalar(1));
    EXPECT_THROW(hog.DetectMultiScale(floats, found, weights, 0, {8, 8}, 1.1, 12), std::invalid_argument);
    const cv::Mat grey = HogSamples::Noise({200, 200}, 2);
    EXPECT_THROW(hog.DetectMultiScale(grey, found, weights, 0, {0, 8}, 1.1, 12), std::invalid_argument);
    EXPECT_THROW(hog.DetectMultiScale(grey, found, weights, 0, {8, -4}, 1.1, 12), std::invalid_argument);
    EXPECT_THROW(hog.DetectMultiScale(grey, found, weights, 0, {8, 8}, 1.1, 0), std::invalid_argument);
    EXPECT_THROW(hog.DetectMultiScale(grey, found, weights, 0, {8, 8}, std::nan(""), 3), std::invalid_argument);
    std::vector<float> descriptor;
    EXPECT_THROW(hog.Descriptor(grey, {4, 0}, {8, 8}, descriptor), std::invalid_argument);
    EXPECT_THROW(hog.Descriptor(grey, {160, 0}, {8, 8}, descriptor), std::invalid_argument);
    EXPECT_THROW(hog.Resize(grey, {0, 100}), std::invalid_argument);
    EXPECT_THROW(hog.Resize(cv::Mat(), {10, 10}), std::invalid_argument);
    EXPECT_THROW(hog.Resize(cv::Mat(1, 5, CV_8UC1), {10, 10}), std::invalid_argument);
    // A step of 1 or less looks at the image's own scale only, as OpenCV does.
    hog.DetectMultiScale(grey, found, weights, -10, {8, 8}, 0.5, 12);

    EXPECT_THROW(HogPeopleDetector({60, 128}, cv::HOGDescriptor::getDefaultPeopleDetector()), std::invalid_argument);
    EXPECT_THROW(HogPeopleDetector({48, 96}, cv::HOGDescriptor::getDefaultPeopleDetector()), std::invalid_argument);
    EXPECT_THROW(HogPeopleDetector({8, 8}, std::vector<float>{}), std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(Instructions, Hog, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "Baseline" : "Fastest";
});

TEST(HogInstructions, Avx2GivesTheBaselinesDescriptorsAndScores)
{
    if (!HogPeopleDetector::Avx2()) GTEST_SKIP() << "no AVX2 here";
    for (Detector& d : Detectors())
        for (const Sample& s : Pictures())
            for (const cv::Size stride : {cv::Size(4, 4), cv::Size(8, 8)}) {
                const cv::Point at(s.grey.cols / 2 / stride.width * stride.width - d.ours.Window().width / 2 / 8 * 8,
                                   0);
                std::vector<float> fast, slow;
                std::vector<cv::Point> fastAt, slowAt;
                std::vector<double> fastScores, slowScores;
                d.ours.Descriptor(s.grey, at, stride, fast);
                d.ours.Scores(s.grey, stride, fastAt, fastScores);
                HogPeopleDetector::BaselineOnly(true);
                d.ours.Descriptor(s.grey, at, stride, slow);
                d.ours.Scores(s.grey, stride, slowAt, slowScores);
                HogPeopleDetector::BaselineOnly(false);
                const std::string what = d.name + " " + s.name + " stride " + std::to_string(stride.width);
                // The histograms to the bit: only the window sums are fused,
                // and summed in another order.
                EXPECT_EQ(fast, slow) << what;
                ASSERT_EQ(fastAt, slowAt) << what;
                double worst = 0;
                for (size_t i = 0; i < fastScores.size(); ++i)
                    worst = std::max(worst, std::abs(fastScores[i] - slowScores[i]));
                EXPECT_LT(worst, 1e-4) << what;
            }
}

}  // namespace
