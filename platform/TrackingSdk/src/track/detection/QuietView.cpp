#include "track/detection/QuietView.h"

#include <algorithm>
#include <cstdlib>

namespace tsdk::detail {

bool QuietView::Unchanged(const cv::Mat& grey, uint64_t frame)
{
    m_hasThumbnail = false;
    if (m_config.longestReuse == 0 || grey.empty() || grey.type() != CV_8UC1) return false;
    const int rows = std::max(1, (grey.rows * kColumns + grey.cols / 2) / std::max(grey.cols, 1));
    m_shrinker.Shrink(grey, cv::Size(kColumns, rows)).copyTo(m_thumbnail);
    m_hasThumbnail = true;
    if (!m_hasReference || m_reference.size() != m_thumbnail.size()) return false;
    if (frame - m_referenceFrame >= static_cast<uint64_t>(m_config.longestReuse)) return false;
    int changed = 0;
    for (int r = 0; r < m_thumbnail.rows; ++r) {
        const uint8_t* now = m_thumbnail.ptr<uint8_t>(r);
        const uint8_t* then = m_reference.ptr<uint8_t>(r);
        for (int c = 0; c < m_thumbnail.cols; ++c)
            if (std::abs(now[c] - then[c]) > m_config.changeLevel && ++changed >= m_config.changedCells) return false;
    }
    return true;
}

void QuietView::Ran(uint64_t frame)
{
    if (!m_hasThumbnail) {
        m_hasReference = false;
        return;
    }
    std::swap(m_reference, m_thumbnail);
    m_hasThumbnail = false;
    m_hasReference = true;
    m_referenceFrame = frame;
}

}  // namespace tsdk::detail
