#pragma once
// Frames of OpenCV's pedestrian sample clip (768 x 576, 10 frames a
// second, people always in view) for the benchmarks.

#include <opencv2/core.hpp>

#include <vector>

namespace QelBench {

// The clip's first `count` frames, RGB; throws when it is shorter.
std::vector<cv::Mat> ReadClip(int count);

// A clip frame at another size: a 16:9 size takes the clip's middle rows so
// that people keep their shape.
cv::Mat Sized(const cv::Mat& frame, cv::Size size);

}  // namespace QelBench
