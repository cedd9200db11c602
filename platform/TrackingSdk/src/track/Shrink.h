#pragma once
// Scales pictures down fast without losing what a smaller picture can
// show. Grey pictures go through libyuv's box filter, each pixel the mean
// of those it covers, at any ratio (1080p to 480x270: 0.09 ms on one core).
// libyuv has no such filter for colour: colour pictures are halved by
// averaging 2x2 blocks while at least twice the target, then bilinear over
// the last step, which is then under two. OpenCV's area resize gives much
// the same pixels but costs up to twenty times more at ratios that are not
// whole numbers (6.5 ms for 1080p to 512x288, against 0.8 ms).

#include <opencv2/core.hpp>

namespace tsdk::detail {

class Shrinker {
public:
    // `in` at `size`, in memory of its own unless `in` already has that
    // size, when it is `in` itself. Valid until the next call. Throws
    // std::invalid_argument for a picture libyuv cannot address.
    const cv::Mat& Shrink(const cv::Mat& in, cv::Size size);

private:
    // Only ever our own memory: a picture of the caller is never written.
    cv::Mat m_halves[2];
    cv::Mat m_own;
    cv::Mat m_view;  // what was returned as it was
};

// Whether libyuv can address a picture: 8-bit, its row steps fit an int.
bool Addressable(const cv::Mat& picture) noexcept;

}  // namespace tsdk::detail
