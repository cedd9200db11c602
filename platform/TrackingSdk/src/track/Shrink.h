#pragma once
// Scales pictures down fast without losing what a smaller picture can
// show: halved by averaging 2x2 blocks while a picture is at least twice
// the target, then bilinear over the last step, which is then under two.
// OpenCV's area resize gives much the same pixels but costs up to twenty
// times more at ratios that are not whole numbers (6.5 ms for 1080p to
// 512x288 on one core, against 0.8 ms).

#include <opencv2/core.hpp>

namespace tsdk::detail {

class Shrinker {
public:
    // `in` at `size`, in memory of its own unless `in` already has that
    // size, when it is `in` itself. Valid until the next call.
    const cv::Mat& Shrink(const cv::Mat& in, cv::Size size);

private:
    // Only ever our own memory: a picture of the caller is never written.
    cv::Mat m_halves[2];
    cv::Mat m_own;
    cv::Mat m_view;  // what was returned as it was
};

}  // namespace tsdk::detail
