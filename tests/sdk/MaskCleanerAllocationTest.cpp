// Once a mask size has been seen, cleaning and labelling allocate nothing,
// whatever the masks hold.

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <random>
#include <vector>

#include "MaskSamples.h"
#include "track/BinaryMask.h"

#include "AllocationCounter.h"

namespace {

using tsdk::detail::ComponentStats;
using tsdk::detail::MaskCleaner;

using MaskSamples::Noise;

TEST(MaskCleanerAllocations, NoneInTheSteadyState)
{
    for (const cv::Size size : {cv::Size(480, 270), cv::Size(640, 360)}) {
        // From few components to as many as fit: the first call sizes
        // everything for the worst.
        std::vector<cv::Mat> masks;
        for (const double density : {0.0, 0.02, 0.3, 0.6, 1.0}) masks.push_back(Noise(size, density, 5));
        cv::Mat checkerboard(size, CV_8UC1);
        for (int y = 0; y < size.height; ++y)
            for (int x = 0; x < size.width; ++x) checkerboard.at<uint8_t>(y, x) = (x % 2 == 0 && y % 2 == 0) ? 255 : 0;
        masks.push_back(checkerboard);
        std::vector<cv::Mat> work(masks.size());
        for (size_t i = 0; i < masks.size(); ++i) work[i] = masks[i].clone();

        MaskCleaner cleaner;
        cv::Mat labels;
        std::vector<ComponentStats> stats;
        cv::Mat first = masks[1].clone();
        cleaner.Open3x3(first);
        cleaner.CloseEllipse(first, {5, 9});
        cleaner.Label(first, labels, stats);

        long allocated = 0;
        for (int round = 0; round < 3; ++round)
            for (size_t i = 0; i < masks.size(); ++i) {
                masks[i].copyTo(work[i]);
                const long before = AllocationCount();
                cleaner.Label(work[i], labels, stats);
                cleaner.Open3x3(work[i]);
                cleaner.CloseEllipse(work[i], {5, 9});
                cleaner.OpenThenClose(work[i], {5, 9});
                cleaner.Label(work[i], labels, stats);
                allocated += AllocationCount() - before;
            }
        EXPECT_EQ(allocated, 0) << size.width << "x" << size.height;
    }
}

}  // namespace
