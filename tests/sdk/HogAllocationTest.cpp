// Once the largest image has been seen, HOG detection allocates nothing,
// whatever the image holds and however many people it shows.

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <vector>

#include "HogSamples.h"
#include "track/Hog.h"

#include "AllocationCounter.h"

namespace {

using tsdk::detail::HogPeopleDetector;

TEST(HogAllocations, NoneInTheSteadyState)
{
    std::vector<cv::Mat> images = HogSamples::SceneFrames({40, 160, 320});
    const cv::Mat frame = images[1];
    images.push_back(frame(cv::Rect(220, 30, 200, 300)));
    images.push_back(frame(cv::Rect(220, 30, 200, 300)).clone());
    images.push_back(HogSamples::Noise({200, 300}, 4));
    images.push_back(HogSamples::Shading({480, 270}));
    images.push_back(HogSamples::Shapes({64, 128}, 2));

    struct Look {
        cv::Size stride;
        double scale;
        int levels;
        double threshold;
    };
    // As the person detector looks, and with low thresholds for many hits.
    const Look looks[] = {{{4, 4}, 1.09, 9, -0.3},
                          {{8, 8}, 1.1, 12, 0.9},
                          {{4, 4}, 1.09, 9, -1.5},
                          {{8, 8}, 1.1, 12, 0.5},
                          {{8, 8}, 1.1, 12, -0.5}};

    for (HogPeopleDetector hog : {HogPeopleDetector::Default(), HogPeopleDetector::Daimler()}) {
        std::vector<cv::Rect> found;
        std::vector<double> weights;
        // One round sizes everything, the caller's vectors included.
        for (const cv::Mat& image : images)
            for (const Look& l : looks)
                hog.DetectMultiScale(image, found, weights, l.threshold, l.stride, l.scale, l.levels);

        long allocated = 0;
        size_t hits = 0;
        for (int round = 0; round < 2; ++round)
            for (const cv::Mat& image : images)
                for (const Look& l : looks) {
                    const long before = AllocationCount();
                    hog.DetectMultiScale(image, found, weights, l.threshold, l.stride, l.scale, l.levels);
                    allocated += AllocationCount() - before;
                    hits += found.size();
                }
        EXPECT_EQ(allocated, 0) << hog.Window();
        EXPECT_GT(hits, 0u) << hog.Window();
    }
}

}  // namespace
