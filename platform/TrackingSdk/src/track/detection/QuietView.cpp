#include "track/detection/QuietView.h"

#include <algorithm>
#include <cstdlib>

namespace tsdk::detail {
namespace {

// Pixels across and down a cell's sample: enough to average camera noise
// away.
constexpr int kPatch = 4;

}  // namespace

bool QuietView::Look(const fsdk::Image& image, uint64_t frame)
{
    m_looked = false;
    const int bpp = image.getBytesPerPixel();
    const auto* data = static_cast<const uint8_t*>(image.getData());
    if (m_config.longestReuse == 0 || !image.isValid() || data == nullptr || (bpp != 1 && bpp != 3 && bpp != 4))
        return false;
    m_width = image.getWidth();
    m_height = image.getHeight();
    const int64_t rowSize = image.getRowSize();
    // At most four times as many rows as columns, however tall the picture.
    const int rows = static_cast<int>(
        std::clamp<int64_t>((int64_t{m_height} * kColumns + m_width / 2) / std::max(m_width, 1), 1, 4 * kColumns));
    const int patchW = std::min(kPatch, m_width), patchH = std::min(kPatch, m_height);
    m_thumbnail.resize(static_cast<size_t>(rows) * kColumns);
    uint8_t* cell = m_thumbnail.data();
    for (int r = 0; r < rows; ++r) {
        const int y0 = std::clamp(static_cast<int>((r + 0.5) * m_height / rows) - patchH / 2, 0, m_height - patchH);
        for (int c = 0; c < kColumns; ++c, ++cell) {
            const int x0 =
                std::clamp(static_cast<int>((c + 0.5) * m_width / kColumns) - patchW / 2, 0, m_width - patchW);
            int sum = 0;
            for (int y = y0; y < y0 + patchH; ++y) {
                const uint8_t* p = data + y * rowSize + static_cast<int64_t>(x0) * bpp;
                for (int x = 0; x < patchW; ++x, p += bpp)
                    // Red and blue weigh alike, so RGB and BGR give one luma.
                    sum += bpp == 1 ? 4 * p[0] : p[0] + 2 * p[1] + p[2];
            }
            *cell = static_cast<uint8_t>(sum / (4 * patchW * patchH));
        }
    }
    m_frame = frame;
    m_looked = true;
    return true;
}

bool QuietView::Unchanged() const
{
    if (!m_looked || !m_hasReference || m_width != m_referenceWidth || m_height != m_referenceHeight) return false;
    if (m_frame - m_referenceFrame >= static_cast<uint64_t>(m_config.longestReuse)) return false;
    int changed = 0;
    for (size_t i = 0; i < m_thumbnail.size(); ++i)
        if (std::abs(m_thumbnail[i] - m_reference[i]) > m_config.changeLevel && ++changed >= m_config.changedCells)
            return false;
    return true;
}

void QuietView::Ran()
{
    if (!m_looked) {
        m_hasReference = false;
        return;
    }
    m_reference = m_thumbnail;
    m_referenceWidth = m_width;
    m_referenceHeight = m_height;
    m_referenceFrame = m_frame;
    m_hasReference = true;
}

}  // namespace tsdk::detail
