// Planar YUV to packed pictures on libyuv. libyuv names byte orders by the
// little-endian word: its "RGB24" is B, G, R in memory, "RAW" is R, G, B.

#include <libyuv/convert_argb.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <vector>

#include "KestCv/YuvConverter.h"

namespace KestCv::Utils {

namespace {

using ToPacked = int (*)(const uint8_t*, int, const uint8_t*, int, const uint8_t*, int, uint8_t*, int, int, int);

class YuvConverter final : public IYuvConverter {
public:
    explicit YuvConverter(PixelFormat target) : m_target(target) {}

    bool Convert(PixelFormat source, uint32_t width, uint32_t height, const uint32_t* pitches,
                 const uint8_t* const* planes, uint32_t dstWidth, uint32_t dstHeight, uint32_t dstStride,
                 uint8_t* dst) override
    {
        // The rectangle is cut out, never scaled.
        if (width != dstWidth || height != dstHeight || width == 0 || height == 0) return false;
        if (pitches == nullptr || planes == nullptr || planes[0] == nullptr || dst == nullptr) return false;
        if (width > kMaxSide || height > kMaxSide || pitches[0] > kMaxSide * 4 || dstStride > kMaxSide * 4)
            return false;
        const int w = static_cast<int>(width);
        const int h = static_cast<int>(height);
        const int stride = static_cast<int>(dstStride);

        if (m_target == PF_GRAY8) {
            if (dstStride < width) return false;
            libyuv::CopyPlane(planes[0], static_cast<int>(pitches[0]), dst, stride, w, h);
            return true;
        }
        if (dstStride < width * 3) return false;

        const uint8_t* u = planes[1];
        const uint8_t* v = planes[2];
        int pitchU = static_cast<int>(pitches[1]);
        int pitchV = static_cast<int>(pitches[2]);
        ToPacked convert = nullptr;
        switch (source) {
        case PF_YUV420P: convert = m_target == PF_RGB24 ? libyuv::I420ToRAW : libyuv::I420ToRGB24; break;
        case PF_YUV422P: convert = m_target == PF_RGB24 ? libyuv::I422ToRAW : libyuv::I422ToRGB24; break;
        case PF_YUV444P: convert = m_target == PF_RGB24 ? libyuv::I444ToRAW : libyuv::I444ToRGB24; break;
        case PF_GRAY8: return GreyToPacked(planes[0], static_cast<int>(pitches[0]), dst, stride, w, h);
        default: return false;
        }
        if (u == nullptr || v == nullptr) return false;
        if (pitches[1] > kMaxSide * 4 || pitches[2] > kMaxSide * 4) return false;
        return convert(planes[0], static_cast<int>(pitches[0]), u, pitchU, v, pitchV, dst, stride, w, h) == 0;
    }

private:
    static constexpr uint32_t kMaxSide = 1u << 28;
    static constexpr int kStripRows = 16;

    // Luma only: grey pixels, the same in either byte order. A few rows at
    // a time through a strip that stays in cache, which is cheaper than a
    // full conversion with neutral chroma and gives the same values.
    bool GreyToPacked(const uint8_t* y, int pitchY, uint8_t* dst, int stride, int w, int h)
    {
        const size_t stripStride = static_cast<size_t>(w) * 4;
        if (m_strip.size() < stripStride * kStripRows) m_strip.resize(stripStride * kStripRows);
        for (int row = 0; row < h; row += kStripRows) {
            const int rows = std::min(kStripRows, h - row);
            const int argbStride = static_cast<int>(stripStride);
            if (libyuv::I400ToARGB(y + static_cast<ptrdiff_t>(row) * pitchY, pitchY, m_strip.data(), argbStride, w,
                                   rows) != 0 ||
                libyuv::ARGBToRGB24(m_strip.data(), argbStride, dst + static_cast<ptrdiff_t>(row) * stride, stride, w,
                                    rows) != 0)
                return false;
        }
        return true;
    }

    const PixelFormat m_target;
    std::vector<uint8_t> m_strip;  // kStripRows rows of 4-byte pixels
};

// The resource every converter of the process shares.
struct ConverterLibrary {};

std::shared_ptr<void> Library()
{
    static const std::shared_ptr<ConverterLibrary> library = std::make_shared<ConverterLibrary>();
    return library;
}

}  // namespace

YuvConverterPtr CreateYuvConverter(Kest8::ILogger*, MemType memType, PixelFormat target)
{
    if (memType != MT_HOST) throw std::runtime_error("YUV converter: unsupported memory type");
    if (target != PF_BGR24 && target != PF_RGB24 && target != PF_GRAY8)
        throw std::runtime_error("YUV converter: unsupported target format");
    return YuvConverterPtr(new YuvConverter(target), YuvConverterDeleter(Library()));
}

}  // namespace KestCv::Utils
