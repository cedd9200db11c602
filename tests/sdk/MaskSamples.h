#pragma once
// Masks for the tests of the mask clean-up.

#include <opencv2/core.hpp>

#include <cstdint>
#include <random>

namespace MaskSamples {

// Foreground with the given chance per pixel; integer thresholds, so the
// masks are the same with every standard library.
inline cv::Mat Noise(cv::Size size, double density, uint32_t seed)
{
    std::mt19937 rng(seed);
    const auto threshold = static_cast<uint64_t>(density * 4294967296.0);
    cv::Mat mask(size, CV_8UC1);
    for (int y = 0; y < size.height; ++y)
        for (int x = 0; x < size.width; ++x) mask.at<uint8_t>(y, x) = rng() < threshold ? 255 : 0;
    return mask;
}

}  // namespace MaskSamples
