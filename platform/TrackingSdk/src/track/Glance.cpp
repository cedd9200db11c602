#include "track/Glance.h"

#include <algorithm>
#include <cstdlib>

namespace tsdk::detail {

void Glance::Take(const cv::Mat& grey, const cv::Rect& region)
{
    m_cells.fill(0);
    m_region = region & cv::Rect(0, 0, grey.cols, grey.rows);
    if (m_region.width <= 0 || m_region.height <= 0 || grey.type() != CV_8UC1) {
        m_region = cv::Rect(region.x, region.y, 0, 0);
        return;
    }
    // Cell edges spread the region's pixels as evenly as they divide; in a
    // region smaller than the grid, cells share pixels (every edge lies
    // inside the region, so each cell's one pixel at least does too).
    std::array<int, kGrid + 1> xs{}, ys{};
    for (int i = 0; i <= kGrid; ++i) {
        xs[static_cast<size_t>(i)] = m_region.x + m_region.width * i / kGrid;
        ys[static_cast<size_t>(i)] = m_region.y + m_region.height * i / kGrid;
    }
    for (int cy = 0; cy < kGrid; ++cy) {
        const int y0 = ys[static_cast<size_t>(cy)];
        const int y1 = std::max(ys[static_cast<size_t>(cy) + 1], y0 + 1);
        std::array<uint32_t, kGrid> sums{};
        std::array<uint32_t, kGrid> counts{};
        for (int y = y0; y < y1; ++y) {
            const uint8_t* row = grey.ptr<uint8_t>(y);
            for (int cx = 0; cx < kGrid; ++cx) {
                const int x0 = xs[static_cast<size_t>(cx)];
                const int x1 = std::max(xs[static_cast<size_t>(cx) + 1], x0 + 1);
                uint32_t sum = 0;
                for (int x = x0; x < x1; ++x) sum += row[x];
                sums[static_cast<size_t>(cx)] += sum;
                counts[static_cast<size_t>(cx)] += static_cast<uint32_t>(x1 - x0);
            }
        }
        for (int cx = 0; cx < kGrid; ++cx) {
            const auto c = static_cast<size_t>(cx);
            m_cells[static_cast<size_t>(cy * kGrid) + c] = static_cast<uint8_t>((sums[c] + counts[c] / 2) / counts[c]);
        }
    }
}

bool Glance::Same(const Glance& other, int cellLimit, double meanLimit) const noexcept
{
    if (m_region != other.m_region || m_region.area() <= 0) return false;
    int total = 0;
    for (size_t i = 0; i < m_cells.size(); ++i) {
        const int change = std::abs(int{m_cells[i]} - int{other.m_cells[i]});
        if (change > cellLimit) return false;
        total += change;
    }
    return total <= meanLimit * static_cast<double>(m_cells.size());
}

}  // namespace tsdk::detail
