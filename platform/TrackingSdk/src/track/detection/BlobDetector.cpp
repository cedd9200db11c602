#include <algorithm>
#include <array>
#include <cstdlib>

#include "track/detection/Detector.h"
#include "track/engine/Config.h"

namespace tsdk::detail {
namespace {

class BlobDetector final : public IDetector {
public:
    explicit BlobDetector(const EngineConfig& config)
        : m_blob(config.blob),
          m_scaling(config.detectorScaling),
          m_scaleSize(config.scaleResultSize),
          m_maxCount(config.maxDetectionCount)
    {
    }

    void Detect(const fsdk::Image& image, std::vector<Detection>& out) override
    {
        out.clear();
        if (!image.isValid() || image.getBytesPerPixel() == 0) return;
        Sample(image);
        EstimateBackground();
        BuildMask();
        FindBlobs(static_cast<float>(image.getWidth()) / m_width, static_cast<float>(image.getHeight()) / m_height,
                  out);
    }

private:
    struct Blob {
        int minX, minY, maxX, maxY, count;
    };

    // Nearest-neighbour samples of the image on the detection grid, colour
    // channels only.
    void Sample(const fsdk::Image& image)
    {
        const int width = image.getWidth();
        const int height = image.getHeight();
        const int larger = std::max(width, height);
        if (m_scaling && larger > m_scaleSize) {
            m_width = std::max(1, static_cast<int>(int64_t{width} * m_scaleSize / larger));
            m_height = std::max(1, static_cast<int>(int64_t{height} * m_scaleSize / larger));
        } else {
            m_width = width;
            m_height = height;
        }
        const int bpp = image.getBytesPerPixel();
        m_channels = std::min(bpp, 3);
        const auto* data = static_cast<const uint8_t*>(image.getData());
        const int64_t rowSize = image.getRowSize();
        m_columns.resize(m_width);
        for (int x = 0; x < m_width; ++x) m_columns[x] = static_cast<int>(int64_t{x} * width / m_width) * bpp;
        m_pixels.resize(static_cast<size_t>(m_width) * m_height * m_channels);
        uint8_t* dst = m_pixels.data();
        for (int y = 0; y < m_height; ++y) {
            const uint8_t* row = data + int64_t{y} * height / m_height * rowSize;
            for (int x = 0; x < m_width; ++x)
                for (int c = 0; c < m_channels; ++c) *dst++ = row[m_columns[x] + c];
        }
    }

    // Per channel median of the border pixels.
    void EstimateBackground()
    {
        std::array<std::array<int, 256>, 3> histogram{};
        int samples = 0;
        auto add = [&](int x, int y) {
            const uint8_t* p = Pixel(x, y);
            for (int c = 0; c < m_channels; ++c) ++histogram[c][p[c]];
            ++samples;
        };
        for (int x = 0; x < m_width; ++x) {
            add(x, 0);
            if (m_height > 1) add(x, m_height - 1);
        }
        for (int y = 1; y + 1 < m_height; ++y) {
            add(0, y);
            if (m_width > 1) add(m_width - 1, y);
        }
        for (int c = 0; c < m_channels; ++c) {
            int seen = 0;
            int value = 0;
            while (value < 255 && (seen += histogram[c][value]) * 2 < samples) ++value;
            m_background[c] = value;
        }
    }

    void BuildMask()
    {
        m_mask.assign(static_cast<size_t>(m_width) * m_height, 0);
        const uint8_t* p = m_pixels.data();
        for (size_t i = 0; i < m_mask.size(); ++i, p += m_channels) {
            int difference = 0;
            for (int c = 0; c < m_channels; ++c) difference = std::max(difference, std::abs(p[c] - m_background[c]));
            m_mask[i] = difference > m_blob.backgroundThreshold ? 1 : 0;
        }
    }

    void FindBlobs(float scaleX, float scaleY, std::vector<Detection>& out)
    {
        m_blobs.clear();
        for (int start = 0; start < static_cast<int>(m_mask.size()); ++start) {
            if (m_mask[start] != 1) continue;
            Blob blob{m_width, m_height, -1, -1, 0};
            m_stack.clear();
            m_stack.push_back(start);
            m_mask[start] = 2;
            while (!m_stack.empty()) {
                const int at = m_stack.back();
                m_stack.pop_back();
                const int x = at % m_width;
                const int y = at / m_width;
                blob.minX = std::min(blob.minX, x);
                blob.maxX = std::max(blob.maxX, x);
                blob.minY = std::min(blob.minY, y);
                blob.maxY = std::max(blob.maxY, y);
                ++blob.count;
                auto visit = [&](int next) {
                    if (m_mask[next] == 1) {
                        m_mask[next] = 2;
                        m_stack.push_back(next);
                    }
                };
                if (x > 0) visit(at - 1);
                if (x + 1 < m_width) visit(at + 1);
                if (y > 0) visit(at - m_width);
                if (y + 1 < m_height) visit(at + m_width);
            }
            if (IsPersonShaped(blob)) m_blobs.push_back(blob);
        }
        // The largest first when there are too many, then in reading order.
        std::stable_sort(m_blobs.begin(), m_blobs.end(),
                         [](const Blob& a, const Blob& b) { return Area(a) > Area(b); });
        if (static_cast<int>(m_blobs.size()) > m_maxCount) m_blobs.resize(m_maxCount);
        std::sort(m_blobs.begin(), m_blobs.end(),
                  [](const Blob& a, const Blob& b) { return a.minY != b.minY ? a.minY < b.minY : a.minX < b.minX; });
        out.reserve(m_blobs.size());
        for (const Blob& blob : m_blobs) {
            Detection detection;
            detection.box.x = blob.minX * scaleX;
            detection.box.y = blob.minY * scaleY;
            detection.box.width = (blob.maxX + 1 - blob.minX) * scaleX;
            detection.box.height = (blob.maxY + 1 - blob.minY) * scaleY;
            detection.score = static_cast<float>(blob.count) / static_cast<float>(Area(blob));
            out.push_back(detection);
        }
    }

    bool IsPersonShaped(const Blob& blob) const
    {
        const int64_t width = blob.maxX + 1 - blob.minX;
        const int64_t height = blob.maxY + 1 - blob.minY;
        return width >= m_blob.minWidth && height >= m_blob.minHeight &&
               int64_t{blob.count} * 100 >= int64_t{m_blob.minFillPercent} * width * height &&
               height * 100 >= m_blob.minAspectPercent * width && height * 100 <= m_blob.maxAspectPercent * width;
    }

    static int64_t Area(const Blob& blob) { return int64_t{blob.maxX + 1 - blob.minX} * (blob.maxY + 1 - blob.minY); }

    const uint8_t* Pixel(int x, int y) const
    {
        return m_pixels.data() + (static_cast<size_t>(y) * m_width + x) * m_channels;
    }

    const BlobDetectorConfig m_blob;
    const bool m_scaling;
    const int m_scaleSize;
    const int m_maxCount;

    int m_width = 0;
    int m_height = 0;
    int m_channels = 0;
    std::array<int, 3> m_background{};
    std::vector<int> m_columns;
    std::vector<uint8_t> m_pixels;
    std::vector<uint8_t> m_mask;
    std::vector<int> m_stack;
    std::vector<Blob> m_blobs;
};

}  // namespace

std::unique_ptr<IDetector> CreateBlobDetector(const EngineConfig& config)
{
    return std::make_unique<BlobDetector>(config);
}

}  // namespace tsdk::detail
