#include "track/Shrink.h"

#include <opencv2/imgproc.hpp>

namespace tsdk::detail {

const cv::Mat& Shrinker::Shrink(const cv::Mat& in, cv::Size size)
{
    cv::Mat from = in;
    for (int n = 0; from.cols >= 2 * size.width && from.rows >= 2 * size.height; ++n) {
        cv::Mat& half = m_halves[n % 2];
        cv::resize(from, half, cv::Size(from.cols / 2, from.rows / 2), 0, 0, cv::INTER_AREA);
        from = half;
    }
    if (from.size() == size) {
        m_view = from;
        return m_view;
    }
    cv::resize(from, m_own, size, 0, 0, cv::INTER_LINEAR);
    return m_own;
}

}  // namespace tsdk::detail
