#include "track/association/FlowFollower.h"

#include <libyuv/convert.h>
#include <libyuv/convert_from_argb.h>
#include <opencv2/video/tracking.hpp>

#include <algorithm>
#include <cmath>

namespace tsdk::detail {
namespace {

// 9x9 rather than 11x11: a followed person costs a quarter less
// (BM_FlowFollower), and the annotated clips track as well or better.
const cv::Size kWindow(9, 9);
constexpr int kLevels = 2;
// Points across and down the middle of a box: the person's body, little
// of what is beside them. Points side by side closer than half a window
// see much the same pixels, so a narrow box gets fewer columns;
// its rows stay, for the change of its size.
constexpr int kMaxColumns = 5;
constexpr int kMinColumns = 3;
constexpr int kRows = 8;
constexpr float kSpacing = 4.f;  // working pixels
constexpr float kInsetX = 0.2f;
constexpr float kInsetTop = 0.1f;
constexpr float kInsetBottom = 0.1f;
// A point is trusted when tracking it back lands this close (working
// pixels) to where it started; a box needs this many such points.
constexpr float kMaxBackError = 1.0f;
constexpr size_t kMinPoints = 8;
// A box changes its size by at most this much from one frame to the next.
constexpr float kMaxScaleChange = 0.1f;

using ToGrey = int (*)(const uint8_t*, int, uint8_t*, int, int, int);

// libyuv names byte orders by the little-endian word: its "RAW" is R, G, B
// in memory, "RGB24" B, G, R, "ABGR" R, G, B, X and "ARGB" B, G, R, X.
ToGrey GreyConversion(fsdk::Format format)
{
    switch (format) {
    case fsdk::Format::R8G8B8: return libyuv::RAWToJ400;
    case fsdk::Format::B8G8R8: return libyuv::RGB24ToJ400;
    case fsdk::Format::R8G8B8X8: return libyuv::ABGRToJ400;
    case fsdk::Format::B8G8R8X8: return libyuv::ARGBToJ400;
    default: return nullptr;
    }
}

float Median(std::vector<float>& values)
{
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

}  // namespace

void FlowFollower::Reset()
{
    m_hasPrevious = false;
    m_current.clear();
}

bool FlowFollower::NextFrame(const fsdk::Image& image)
{
    const int bpp = image.getBytesPerPixel();
    if (!image.isValid() || image.getData() == nullptr || (bpp != 1 && bpp != 3 && bpp != 4)) {
        Reset();
        return false;
    }
    const cv::Mat frame(image.getHeight(), image.getWidth(), CV_8UC(bpp), const_cast<void*>(image.getData()),
                        static_cast<size_t>(image.getRowSize()));
    m_scale = std::min(1.0, static_cast<double>(kWorkingWidth) / frame.cols);
    const cv::Size working(std::max(1, static_cast<int>(std::lround(frame.cols * m_scale))),
                           std::max(1, static_cast<int>(std::lround(frame.rows * m_scale))));
    if (!Addressable(frame)) {
        Reset();
        return false;
    }
    cv::Mat grey = frame;
    if (bpp != 1) {
        m_fullGrey.create(frame.size(), CV_8UC1);
        const auto toGrey = GreyConversion(image.getFormat());
        const int from = static_cast<int>(frame.step[0]), to = static_cast<int>(m_fullGrey.step[0]);
        if (toGrey == nullptr || toGrey(frame.data, from, m_fullGrey.data, to, frame.cols, frame.rows) != 0) {
            Reset();
            return false;
        }
        grey = m_fullGrey;
    }
    m_grey = m_shrinker.Shrink(grey, working);
    // A frame of another size has nothing to be followed from.
    const bool sameSize = !m_current.empty() && m_current[0].size() == working;
    std::swap(m_previous, m_current);
    // Copied: the picture may be the caller's, which goes with this frame.
    cv::buildOpticalFlowPyramid(m_grey, m_current, kWindow, kLevels, true, cv::BORDER_REFLECT_101, cv::BORDER_CONSTANT,
                                false);
    m_hasPrevious = sameSize;
    return true;
}

bool FlowFollower::Follow(const fsdk::Rect& box, fsdk::Rect& moved)
{
    if (!m_hasPrevious || m_previous.empty() || m_current.empty()) return false;
    if (!(box.width > 0.f) || !(box.height > 0.f)) return false;
    const float s = static_cast<float>(m_scale);
    const float left = (box.x + kInsetX * box.width) * s;
    const float top = (box.y + kInsetTop * box.height) * s;
    const float width = (1.f - 2.f * kInsetX) * box.width * s;
    const float height = (1.f - kInsetTop - kInsetBottom) * box.height * s;
    const float maxX = static_cast<float>(m_current[0].cols - 1), maxY = static_cast<float>(m_current[0].rows - 1);
    const int columns = std::clamp(static_cast<int>(width / kSpacing), kMinColumns, kMaxColumns);
    m_points.clear();
    for (int r = 0; r < kRows; ++r)
        for (int c = 0; c < columns; ++c) {
            const float x = left + (static_cast<float>(c) + 0.5f) * width / static_cast<float>(columns);
            const float y = top + (static_cast<float>(r) + 0.5f) * height / kRows;
            if (x >= 0.f && y >= 0.f && x <= maxX && y <= maxY) m_points.emplace_back(x, y);
        }
    if (m_points.size() < kMinPoints) return false;
    const cv::TermCriteria criteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 10, 0.05);
    cv::calcOpticalFlowPyrLK(m_previous, m_current, m_points, m_moved, m_status, m_errors, kWindow, kLevels, criteria);
    // Tracked back from where it went, a point found again lands where it
    // started: the way back starts there and needs no pyramid.
    m_back = m_points;
    cv::calcOpticalFlowPyrLK(m_current, m_previous, m_moved, m_back, m_backStatus, m_errors, kWindow, 0, criteria,
                             cv::OPTFLOW_USE_INITIAL_FLOW);
    m_good.clear();
    m_dx.clear();
    m_dy.clear();
    for (size_t i = 0; i < m_points.size(); ++i) {
        if (!m_status[i] || !m_backStatus[i]) continue;
        const cv::Point2f error = m_back[i] - m_points[i];
        if (error.x * error.x + error.y * error.y > kMaxBackError * kMaxBackError) continue;
        m_good.push_back(static_cast<int>(i));
        m_dx.push_back(m_moved[i].x - m_points[i].x);
        m_dy.push_back(m_moved[i].y - m_points[i].y);
    }
    if (m_good.size() < kMinPoints) return false;
    const float dx = Median(m_dx), dy = Median(m_dy);
    // The change of the box's size: how the distances between pairs of
    // points grew or shrank.
    m_spread.clear();
    const size_t n = m_good.size();
    for (size_t a = 0; a < n; ++a)
        for (size_t b = a + 1; b < n; b += 3) {
            const cv::Point2f before = m_points[m_good[a]] - m_points[m_good[b]];
            const cv::Point2f after = m_moved[m_good[a]] - m_moved[m_good[b]];
            const float was = std::hypot(before.x, before.y);
            if (was < 2.f) continue;
            m_spread.push_back(std::hypot(after.x, after.y) / was);
        }
    float scale = m_spread.empty() ? 1.f : Median(m_spread);
    scale = std::clamp(scale, 1.f - kMaxScaleChange, 1.f + kMaxScaleChange);
    const float cx = box.x + box.width / 2 + dx / s, cy = box.y + box.height / 2 + dy / s;
    moved.width = box.width * scale;
    moved.height = box.height * scale;
    moved.x = cx - moved.width / 2;
    moved.y = cy - moved.height / 2;
    return true;
}

}  // namespace tsdk::detail
