#pragma once
// A glance at a region of a grey picture: the mean brightness of each cell
// of a fixed grid over it. Two glances at the same region tell whether
// anything there changed since, far more cheaply than looking for people in
// it again, and without being fooled by the sensor's noise, which the cells
// average out.

#include <opencv2/core.hpp>

#include <array>
#include <cstdint>

namespace tsdk::detail {

class Glance {
public:
    static constexpr int kGrid = 8;

    // Cells of a region no pixel wide nor high are all zero.
    void Take(const cv::Mat& grey, const cv::Rect& region);

    // Whether `other`, taken of the same region, sees what this one saw: no
    // cell's mean moved by more than `cellLimit`, nor all of them by more
    // than `meanLimit` on average.
    bool Same(const Glance& other, int cellLimit, double meanLimit) const noexcept;

    const cv::Rect& Region() const noexcept { return m_region; }

private:
    cv::Rect m_region;
    std::array<uint8_t, kGrid * kGrid> m_cells{};
};

}  // namespace tsdk::detail
