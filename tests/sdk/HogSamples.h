#pragma once
// Grey pictures for the tests of the HOG people detector: noise, smooth
// shading, hard-edged shapes and frames of the generated scene with people
// walking.

#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <random>
#include <vector>

#include "Scene/Generator.h"

namespace HogSamples {

inline cv::Mat Noise(cv::Size size, uint32_t seed)
{
    std::mt19937 rng(seed);
    cv::Mat image(size, CV_8UC1);
    for (int y = 0; y < size.height; ++y)
        for (int x = 0; x < size.width; ++x) image.at<uint8_t>(y, x) = static_cast<uint8_t>(rng() & 0xff);
    return image;
}

// Ramps and ripples: every orientation, with gradients small and large.
inline cv::Mat Shading(cv::Size size)
{
    cv::Mat image(size, CV_8UC1);
    for (int y = 0; y < size.height; ++y)
        for (int x = 0; x < size.width; ++x) {
            const double v = 128 + 60 * std::sin(0.11 * x + 0.05 * y) + 50 * std::cos(0.002 * x * y) + 0.1 * x;
            image.at<uint8_t>(y, x) = cv::saturate_cast<uint8_t>(v);
        }
    return image;
}

inline cv::Mat Shapes(cv::Size size, uint32_t seed)
{
    std::mt19937 rng(seed);
    const auto pick = [&](int limit) { return static_cast<int>(rng() % static_cast<uint32_t>(limit)); };
    cv::Mat image(size, CV_8UC1, cv::Scalar(90));
    for (int i = 0; i < 25; ++i) {
        const cv::Scalar grey(pick(256));
        if (i % 2 == 0)
            cv::rectangle(image, cv::Rect(pick(size.width), pick(size.height), pick(60) + 3, pick(90) + 3), grey,
                          cv::FILLED);
        else
            cv::ellipse(image, {pick(size.width), pick(size.height)}, {pick(30) + 2, pick(50) + 2}, pick(180), 0, 360,
                        grey, cv::FILLED);
    }
    return image;
}

// Frames of the default scene (640 x 360), as grey.
inline std::vector<cv::Mat> SceneFrames(const std::vector<uint32_t>& frames)
{
    const Scene::Generator scene(Scene::Settings{});
    std::vector<cv::Mat> out;
    std::vector<uint8_t> rgb;
    for (const uint32_t f : frames) {
        scene.Render(f, rgb);
        const cv::Mat colour(static_cast<int>(scene.settings().height), static_cast<int>(scene.settings().width),
                             CV_8UC3, rgb.data());
        cv::Mat grey;
        cv::cvtColor(colour, grey, cv::COLOR_RGB2GRAY);
        out.push_back(grey);
    }
    return out;
}

}  // namespace HogSamples
