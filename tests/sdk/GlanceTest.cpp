// A glance at a region: the cell means that tell whether a place still
// looks as it did, through the sensor's noise, at any size and at the
// picture's edges.

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <random>

#include "track/Glance.h"

namespace {

using tsdk::detail::Glance;

constexpr int kCell = 10;
constexpr double kMean = 3.0;

cv::Mat Noisy(uint32_t seed, double sigma)
{
    cv::Mat grey(120, 160, CV_8UC1);
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, sigma);
    for (int y = 0; y < grey.rows; ++y)
        for (int x = 0; x < grey.cols; ++x)
            grey.at<uint8_t>(y, x) = cv::saturate_cast<uint8_t>(60 + x / 2 + y + noise(random));
    return grey;
}

TEST(Glance, ThePlaceUnchangedLooksTheSameThroughTheSensorsNoise)
{
    const cv::Rect region(20, 10, 64, 96);
    Glance before, after;
    before.Take(Noisy(1, 3.0), region);
    after.Take(Noisy(2, 3.0), region);
    EXPECT_TRUE(before.Same(after, kCell, kMean));
    EXPECT_TRUE(after.Same(before, kCell, kMean));
    EXPECT_EQ(before.Region(), region);
}

TEST(Glance, SomethingInOneCellOrALightChangeEverywhereIsSeen)
{
    const cv::Rect region(20, 10, 64, 96);
    const cv::Mat still = Noisy(1, 0.0);
    Glance before;
    before.Take(still, region);

    // A head the size of one cell, 40 levels darker: its cell moves by 40.
    cv::Mat head = still.clone();
    head(cv::Rect(20 + 8, 10 + 12, 8, 12)) -= cv::Scalar(40);
    Glance after;
    after.Take(head, region);
    EXPECT_FALSE(before.Same(after, kCell, kMean));
    // Half a cell at 20 levels moves it by 10: at the limit, still the same.
    cv::Mat half = still.clone();
    half(cv::Rect(20 + 8, 10 + 12, 4, 12)) -= cv::Scalar(20);
    after.Take(half, region);
    EXPECT_TRUE(before.Same(after, kCell, 100.0));
    half(cv::Rect(20 + 8, 10 + 12, 4, 12)) -= cv::Scalar(2);
    after.Take(half, region);
    EXPECT_FALSE(before.Same(after, kCell, 100.0));

    // Every cell 4 levels brighter: no cell past its limit, the mean past its.
    after.Take(still + cv::Scalar(4), region);
    EXPECT_FALSE(before.Same(after, kCell, kMean));
    EXPECT_TRUE(before.Same(after, kCell, 4.0));
}

TEST(Glance, OnlyTheSameRegionCompares)
{
    const cv::Mat still = Noisy(1, 0.0);
    Glance a, b;
    a.Take(still, cv::Rect(20, 10, 64, 96));
    b.Take(still, cv::Rect(21, 10, 64, 96));
    EXPECT_FALSE(a.Same(b, 255, 255.0));
    b.Take(still, cv::Rect(20, 10, 64, 96));
    EXPECT_TRUE(a.Same(b, 0, 0.0));
}

TEST(Glance, EdgesTinyRegionsAndNothing)
{
    const cv::Mat still = Noisy(1, 0.0);
    Glance a, b;
    // Partly outside: the part inside.
    a.Take(still, cv::Rect(-10, -10, 40, 40));
    EXPECT_EQ(a.Region(), cv::Rect(0, 0, 30, 30));
    b.Take(still, cv::Rect(0, 0, 30, 30));
    EXPECT_TRUE(a.Same(b, 0, 0.0));
    a.Take(still, cv::Rect(150, 100, 40, 40));
    EXPECT_EQ(a.Region(), cv::Rect(150, 100, 10, 20));

    // Smaller than the grid, down to one pixel: some cells repeat a pixel.
    for (const cv::Rect& tiny : {cv::Rect(5, 5, 3, 2), cv::Rect(150, 5, 1, 1), cv::Rect(0, 0, 1, 9)}) {
        a.Take(still, tiny);
        b.Take(still, tiny);
        EXPECT_TRUE(a.Same(b, 0, 0.0)) << tiny;
        cv::Mat changed = still.clone();
        changed(tiny) += cv::Scalar(50);
        b.Take(changed, tiny);
        EXPECT_FALSE(a.Same(b, kCell, kMean)) << tiny;
    }

    // Nowhere, nothing, or a picture of another kind: never the same.
    a.Take(still, cv::Rect(500, 500, 10, 10));
    b.Take(still, cv::Rect(500, 500, 10, 10));
    EXPECT_FALSE(a.Same(b, 255, 255.0));
    a.Take(cv::Mat(), cv::Rect(0, 0, 10, 10));
    b.Take(cv::Mat(), cv::Rect(0, 0, 10, 10));
    EXPECT_FALSE(a.Same(b, 255, 255.0));
    const cv::Mat colour(120, 160, CV_8UC3, cv::Scalar(1, 2, 3));
    a.Take(colour, cv::Rect(0, 0, 10, 10));
    b.Take(colour, cv::Rect(0, 0, 10, 10));
    EXPECT_FALSE(a.Same(b, 255, 255.0));
}

}  // namespace
