// The person detector's mask clean-up and labelling give what OpenCV's
// morphologyEx and connectedComponentsWithStats give, pixel for pixel.

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "MaskSamples.h"
#include "track/BinaryMask.h"

namespace {

using tsdk::detail::ComponentStats;
using tsdk::detail::MaskCleaner;

struct Case {
    std::string name;
    cv::Mat mask;
};

using MaskSamples::Noise;

// People-sized blobs, some cut by the edges, with specks around them.
cv::Mat Blobs(cv::Size size, uint32_t seed)
{
    std::mt19937 rng(seed);
    cv::Mat mask = Noise(size, 0.02, seed + 1);
    const auto pick = [&](int limit) { return static_cast<int>(rng() % static_cast<uint32_t>(limit)); };
    for (int i = 0; i < 12; ++i) {
        const cv::Point centre(pick(size.width + 20) - 10, pick(size.height + 20) - 10);
        const cv::Size axes(1 + pick(std::max(1, size.width / 8)), 1 + pick(std::max(1, size.height / 4)));
        cv::ellipse(mask, centre, axes, pick(180), 0, 360, cv::Scalar(255), cv::FILLED);
    }
    // Holes and bites for the closing to fill.
    cv::Mat holes = Noise(size, 0.1, seed + 2);
    mask.setTo(0, holes);
    cv::rectangle(mask, {0, 0}, {size.width / 5, size.height / 6}, cv::Scalar(255), cv::FILLED);
    cv::rectangle(mask, {size.width - 3, size.height / 2}, {size.width, size.height}, cv::Scalar(255), cv::FILLED);
    return mask;
}

// Pixels that touch only at their corners: one component each under
// 8-connectivity, many under 4.
cv::Mat Diagonals(cv::Size size)
{
    cv::Mat mask = cv::Mat::zeros(size, CV_8UC1);
    for (int y = 0; y < size.height; ++y)
        for (int x = 0; x < size.width; ++x) {
            const bool down = (x - y) % 7 == 0 && x < size.width / 2;
            const bool up = (x + y) % 9 == 0 && x >= size.width / 2;
            if (down || up) mask.at<uint8_t>(y, x) = 255;
        }
    return mask;
}

cv::Mat Checkerboard(cv::Size size)
{
    cv::Mat mask(size, CV_8UC1);
    for (int y = 0; y < size.height; ++y)
        for (int x = 0; x < size.width; ++x) mask.at<uint8_t>(y, x) = (x + y) % 2 == 0 ? 255 : 0;
    return mask;
}

std::vector<Case> Cases()
{
    std::vector<Case> cases;
    const cv::Size sizes[] = {{1, 1}, {2, 2}, {37, 1}, {1, 29}, {3, 5}, {9, 8}, {17, 13}, {63, 65}, {480, 270}};
    uint32_t seed = 1;
    for (const cv::Size size : sizes) {
        const std::string s = std::to_string(size.width) + "x" + std::to_string(size.height);
        cases.push_back({s + " empty", cv::Mat::zeros(size, CV_8UC1)});
        cases.push_back({s + " full", cv::Mat(size, CV_8UC1, cv::Scalar(255))});
        for (const double density : {0.05, 0.3, 0.5, 0.7, 0.95})
            cases.push_back({s + " noise " + std::to_string(density), Noise(size, density, seed++)});
        cases.push_back({s + " blobs", Blobs(size, seed++)});
        cases.push_back({s + " diagonals", Diagonals(size)});
        cases.push_back({s + " checkerboard", Checkerboard(size)});
    }
    cases.push_back({"640x360 blobs", Blobs({640, 360}, 99)});
    return cases;
}

::testing::AssertionResult SameMask(const cv::Mat& ours, const cv::Mat& theirs)
{
    if (ours.size() != theirs.size() || ours.type() != theirs.type())
        return ::testing::AssertionFailure() << "size or type differs";
    for (int y = 0; y < ours.rows; ++y)
        for (int x = 0; x < ours.cols; ++x)
            if (ours.at<uint8_t>(y, x) != theirs.at<uint8_t>(y, x))
                return ::testing::AssertionFailure()
                       << "differs first at x " << x << ", y " << y << ": " << int{ours.at<uint8_t>(y, x)} << " for "
                       << int{theirs.at<uint8_t>(y, x)};
    return ::testing::AssertionSuccess();
}

cv::Mat OpenCvOpen(const cv::Mat& mask)
{
    cv::Mat out;
    cv::morphologyEx(mask, out, cv::MORPH_OPEN, cv::getStructuringElement(cv::MORPH_RECT, {3, 3}));
    return out;
}

cv::Mat OpenCvClose(const cv::Mat& mask, cv::Size size)
{
    cv::Mat out;
    cv::morphologyEx(mask, out, cv::MORPH_CLOSE, cv::getStructuringElement(cv::MORPH_ELLIPSE, size));
    return out;
}

TEST(MaskCleanerMorphology, OpeningIsOpenCvs)
{
    MaskCleaner cleaner;
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        cv::Mat mask = c.mask.clone();
        cleaner.Open3x3(mask);
        EXPECT_TRUE(SameMask(mask, OpenCvOpen(c.mask)));
    }
}

TEST(MaskCleanerMorphology, ClosingIsOpenCvsForOddEllipses)
{
    MaskCleaner cleaner;
    const cv::Size ellipses[] = {{5, 9}, {1, 1}, {3, 3}, {1, 5}, {7, 1}, {9, 5}, {11, 11}, {5, 9}};
    for (const Case& c : Cases())
        for (const cv::Size e : ellipses) {
            SCOPED_TRACE(c.name + ", ellipse " + std::to_string(e.width) + "x" + std::to_string(e.height));
            cv::Mat mask = c.mask.clone();
            cleaner.CloseEllipse(mask, e);
            EXPECT_TRUE(SameMask(mask, OpenCvClose(c.mask, e)));
        }
}

TEST(MaskCleanerMorphology, DetectorSequenceIsOpenCvs)
{
    MaskCleaner cleaner;
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        const cv::Mat expected = OpenCvClose(OpenCvOpen(c.mask), {5, 9});
        cv::Mat mask = c.mask.clone();
        cleaner.Open3x3(mask);
        cleaner.CloseEllipse(mask, {5, 9});
        EXPECT_TRUE(SameMask(mask, expected));
        mask = c.mask.clone();
        cleaner.OpenThenClose(mask, {5, 9});
        EXPECT_TRUE(SameMask(mask, expected)) << "in one call";
    }
}

TEST(MaskCleanerMorphology, AnyNonZeroIsForegroundAndComesOutAs255)
{
    cv::Mat mask = Blobs({61, 47}, 7);
    cv::Mat faint = mask.clone();
    faint.setTo(1, mask);
    faint.setTo(17, Noise(mask.size(), 0.3, 8) & mask);
    MaskCleaner cleaner;
    cv::Mat opened = faint.clone(), closed = faint.clone();
    cleaner.Open3x3(opened);
    cleaner.CloseEllipse(closed, {5, 9});
    EXPECT_TRUE(SameMask(opened, OpenCvOpen(mask)));
    EXPECT_TRUE(SameMask(closed, OpenCvClose(mask, {5, 9})));
}

TEST(MaskCleanerMorphology, SubMatrixIsFilteredOnItsOwn)
{
    cv::Mat whole = Blobs({90, 70}, 11);
    const cv::Mat before = whole.clone();
    const cv::Rect inner(13, 9, 51, 40);
    cv::Mat view = whole(inner);
    const cv::Mat alone = view.clone();
    MaskCleaner cleaner;
    cleaner.Open3x3(view);
    cleaner.CloseEllipse(view, {5, 9});
    EXPECT_TRUE(SameMask(view, OpenCvClose(OpenCvOpen(alone), {5, 9})));
    cv::Mat outside = whole.clone();
    before(inner).copyTo(outside(inner));
    EXPECT_TRUE(SameMask(outside, before)) << "pixels outside the view changed";
}

TEST(MaskCleanerMorphology, BadInputIsRefused)
{
    MaskCleaner cleaner;
    cv::Mat colour(8, 8, CV_8UC3, cv::Scalar::all(0));
    cv::Mat wide(8, 8, CV_16UC1, cv::Scalar(0));
    cv::Mat mask(8, 8, CV_8UC1, cv::Scalar(0));
    EXPECT_THROW(cleaner.Open3x3(colour), std::invalid_argument);
    EXPECT_THROW(cleaner.CloseEllipse(wide, {5, 9}), std::invalid_argument);
    EXPECT_THROW(cleaner.CloseEllipse(mask, {4, 9}), std::invalid_argument);
    EXPECT_THROW(cleaner.CloseEllipse(mask, {5, 0}), std::invalid_argument);
    EXPECT_THROW(cleaner.CloseEllipse(mask, {-5, 9}), std::invalid_argument);
    EXPECT_THROW(cleaner.OpenThenClose(mask, {5, 8}), std::invalid_argument);
    EXPECT_THROW(cleaner.OpenThenClose(colour, {5, 9}), std::invalid_argument);
    cv::Mat empty;
    EXPECT_NO_THROW(cleaner.Open3x3(empty));
    EXPECT_NO_THROW(cleaner.CloseEllipse(empty, {5, 9}));
    EXPECT_NO_THROW(cleaner.OpenThenClose(empty, {5, 9}));
}

struct OpenCvLabels {
    int count;
    cv::Mat labels, stats;
};

OpenCvLabels OpenCvLabel(const cv::Mat& mask)
{
    OpenCvLabels out;
    cv::Mat centroids;
    out.count = cv::connectedComponentsWithStats(mask, out.labels, out.stats, centroids, 8, CV_32S);
    return out;
}

// The same pixels together, whatever the numbering: a label of ours stands
// for exactly one of OpenCV's and the other way round, 0 for 0.
::testing::AssertionResult SamePartition(const cv::Mat& ours, const cv::Mat& theirs, int count,
                                         std::vector<int>& toTheirs)
{
    if (ours.size() != theirs.size() || ours.type() != CV_32S)
        return ::testing::AssertionFailure() << "size or type differs";
    toTheirs.assign(static_cast<size_t>(count), -1);
    std::vector<int> toOurs(static_cast<size_t>(count), -1);
    for (int y = 0; y < ours.rows; ++y)
        for (int x = 0; x < ours.cols; ++x) {
            const int a = ours.at<int>(y, x), b = theirs.at<int>(y, x);
            if (a < 0 || a >= count) return ::testing::AssertionFailure() << "label " << a << " out of range";
            if ((a == 0) != (b == 0))
                return ::testing::AssertionFailure() << "background differs at " << x << ", " << y;
            int& ab = toTheirs[static_cast<size_t>(a)];
            int& ba = toOurs[static_cast<size_t>(b)];
            if (ab == -1) ab = b;
            if (ba == -1) ba = a;
            if (ab != b || ba != a)
                return ::testing::AssertionFailure() << "components differ at x " << x << ", y " << y;
        }
    for (int l = 1; l < count; ++l)
        if (toTheirs[static_cast<size_t>(l)] == -1) return ::testing::AssertionFailure() << "label " << l << " unused";
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult SameStats(const std::vector<ComponentStats>& ours, const OpenCvLabels& opencv,
                                     const std::vector<int>& toTheirs)
{
    const cv::Mat& theirs = opencv.stats;
    const int backgroundPixels = static_cast<int>(opencv.labels.total()) - cv::countNonZero(opencv.labels);
    if (ours.size() != static_cast<size_t>(theirs.rows))
        return ::testing::AssertionFailure() << ours.size() << " rows for " << theirs.rows;
    for (size_t l = 0; l < ours.size(); ++l) {
        const ComponentStats& s = ours[l];
        // OpenCV leaves the row of a missing background as it found the
        // memory; ours is all zero.
        if (l == 0 && backgroundPixels == 0) {
            if (s.left != 0 || s.top != 0 || s.width != 0 || s.height != 0 || s.area != 0)
                return ::testing::AssertionFailure() << "a missing background has a box or an area";
            continue;
        }
        const int* t = theirs.ptr<int>(toTheirs[l]);
        if (s.area != t[cv::CC_STAT_AREA] || s.left != t[cv::CC_STAT_LEFT] || s.top != t[cv::CC_STAT_TOP] ||
            s.width != t[cv::CC_STAT_WIDTH] || s.height != t[cv::CC_STAT_HEIGHT])
            return ::testing::AssertionFailure()
                   << "label " << l << ": " << s.left << "," << s.top << " " << s.width << "x" << s.height << " "
                   << s.area << " for " << t[cv::CC_STAT_LEFT] << "," << t[cv::CC_STAT_TOP] << " "
                   << t[cv::CC_STAT_WIDTH] << "x" << t[cv::CC_STAT_HEIGHT] << " " << t[cv::CC_STAT_AREA];
    }
    return ::testing::AssertionSuccess();
}

TEST(MaskCleanerLabels, ComponentsAndStatsAreOpenCvs)
{
    MaskCleaner cleaner;
    cv::Mat labels;
    std::vector<ComponentStats> stats;
    std::vector<int> toTheirs;
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        const OpenCvLabels expected = OpenCvLabel(c.mask);
        const int count = cleaner.Label(c.mask, labels, stats);
        ASSERT_EQ(count, expected.count);
        ASSERT_TRUE(SamePartition(labels, expected.labels, count, toTheirs));
        EXPECT_TRUE(SameStats(stats, expected, toTheirs));
    }
}

// Candidates come out in label order, so the detector sees them as it did
// with OpenCV.
TEST(MaskCleanerLabels, NumberingIsOpenCvs)
{
    MaskCleaner cleaner;
    cv::Mat labels;
    std::vector<ComponentStats> stats;
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        const OpenCvLabels expected = OpenCvLabel(c.mask);
        cleaner.Label(c.mask, labels, stats);
        ASSERT_EQ(cv::countNonZero(labels != expected.labels), 0);
    }
}

TEST(MaskCleanerLabels, CornerContactJoins)
{
    // Two pixels meeting at a corner each way, and a diagonal staircase.
    cv::Mat mask = cv::Mat::zeros(6, 8, CV_8UC1);
    mask.at<uint8_t>(0, 0) = mask.at<uint8_t>(1, 1) = 255;
    mask.at<uint8_t>(0, 5) = mask.at<uint8_t>(1, 4) = 255;
    for (int i = 0; i < 4; ++i) mask.at<uint8_t>(2 + i, 7 - i) = 255;
    MaskCleaner cleaner;
    cv::Mat labels;
    std::vector<ComponentStats> stats;
    ASSERT_EQ(cleaner.Label(mask, labels, stats), 4);
    EXPECT_EQ(labels.at<int>(0, 0), labels.at<int>(1, 1));
    EXPECT_EQ(labels.at<int>(0, 5), labels.at<int>(1, 4));
    EXPECT_EQ(labels.at<int>(2, 7), labels.at<int>(5, 4));
    EXPECT_EQ(stats[static_cast<size_t>(labels.at<int>(2, 7))].area, 4);
    EXPECT_EQ(stats[static_cast<size_t>(labels.at<int>(2, 7))].width, 4);
}

TEST(MaskCleanerLabels, SizesMayChangeBetweenCalls)
{
    MaskCleaner cleaner;
    cv::Mat labels;
    std::vector<ComponentStats> stats;
    std::vector<int> toTheirs;
    const cv::Size sizes[] = {{640, 360}, {31, 7}, {480, 270}, {7, 31}, {640, 360}};
    uint32_t seed = 50;
    for (const cv::Size size : sizes) {
        SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
        cv::Mat mask = Blobs(size, seed++);
        cv::Mat expected = mask.clone();
        cleaner.Open3x3(mask);
        cleaner.CloseEllipse(mask, {5, 9});
        ASSERT_TRUE(SameMask(mask, OpenCvClose(OpenCvOpen(expected), {5, 9})));
        const OpenCvLabels theirs = OpenCvLabel(mask);
        ASSERT_EQ(cleaner.Label(mask, labels, stats), theirs.count);
        ASSERT_TRUE(SamePartition(labels, theirs.labels, theirs.count, toTheirs));
        EXPECT_TRUE(SameStats(stats, theirs, toTheirs));
    }
}

TEST(MaskCleanerLabels, SubMatrixAndFaintForeground)
{
    cv::Mat whole = Blobs({90, 70}, 21);
    whole.setTo(3, whole);
    const cv::Mat view = whole(cv::Rect(5, 3, 77, 61));
    const OpenCvLabels expected = OpenCvLabel(view.clone());
    MaskCleaner cleaner;
    cv::Mat labels;
    std::vector<ComponentStats> stats;
    std::vector<int> toTheirs;
    ASSERT_EQ(cleaner.Label(view, labels, stats), expected.count);
    ASSERT_TRUE(SamePartition(labels, expected.labels, expected.count, toTheirs));
    EXPECT_TRUE(SameStats(stats, expected, toTheirs));
}

TEST(MaskCleanerLabels, BadInputIsRefused)
{
    MaskCleaner cleaner;
    std::vector<ComponentStats> stats;
    cv::Mat labels;
    EXPECT_THROW(cleaner.Label(cv::Mat(4, 4, CV_8UC3, cv::Scalar::all(0)), labels, stats), std::invalid_argument);
    EXPECT_THROW(cleaner.Label(cv::Mat(4, 4, CV_32SC1, cv::Scalar(0)), labels, stats), std::invalid_argument);
    cv::Mat mask(4, 4, CV_8UC1, cv::Scalar(255));
    EXPECT_THROW(cleaner.Label(mask, mask, stats), std::invalid_argument);
    EXPECT_EQ(cv::countNonZero(mask), 16);

    const cv::Mat empty;
    EXPECT_EQ(cleaner.Label(empty, labels, stats), 1);
    EXPECT_TRUE(labels.empty());
    ASSERT_EQ(stats.size(), 1u);
    EXPECT_EQ(stats[0].area, 0);
}

}  // namespace
