#include "track/Shrink.h"

#include <libyuv/scale.h>
#include <opencv2/imgproc.hpp>

#include <climits>
#include <stdexcept>

namespace tsdk::detail {

bool Addressable(const cv::Mat& picture) noexcept
{
    return picture.dims == 2 && picture.depth() == CV_8U && picture.step[0] <= static_cast<size_t>(INT_MAX) &&
           picture.cols > 0 && picture.rows > 0;
}

const cv::Mat& Shrinker::Shrink(const cv::Mat& in, cv::Size size)
{
    if (in.size() == size) {
        m_view = in;
        return m_view;
    }
    if (!Addressable(in) || size.width <= 0 || size.height <= 0)
        throw std::invalid_argument("a picture that cannot be scaled");
    if (in.channels() == 1) {
        m_own.create(size, in.type());
        libyuv::ScalePlane(in.data, static_cast<int>(in.step[0]), in.cols, in.rows, m_own.data,
                           static_cast<int>(m_own.step[0]), size.width, size.height, libyuv::kFilterBox);
        return m_own;
    }
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
