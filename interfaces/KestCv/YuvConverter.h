#pragma once

#include <functional>
#include <memory>

#include "KestCv/PixelFormat.h"

namespace Kest8 {
class ILogger;
}

namespace KestCv::Utils {

class IYuvConverter {
public:
    virtual ~IYuvConverter() = default;
    // `planes` start at the first pixel to convert; dst receives dstHeight
    // rows of dstWidth pixels, row r at dst + r * dstStride.
    virtual bool Convert(PixelFormat source, uint32_t width, uint32_t height, const uint32_t* pitches,
                         const uint8_t* const* planes, uint32_t dstWidth, uint32_t dstHeight, uint32_t dstStride,
                         uint8_t* dst) = 0;
};

// Deletes the converter, then lets go of the library resource it holds.
class YuvConverterDeleter {
public:
    YuvConverterDeleter() = default;
    explicit YuvConverterDeleter(std::shared_ptr<void> resource) : m_resource(std::move(resource)) {}
    void operator()(IYuvConverter* converter) const noexcept { delete converter; }

private:
    std::shared_ptr<void> m_resource;
};

using YuvConverterPtr = std::unique_ptr<IYuvConverter, YuvConverterDeleter>;

// Throws std::runtime_error for a memory type or target it cannot serve.
YuvConverterPtr CreateYuvConverter(Kest8::ILogger* logger, MemType memType, PixelFormat target);

}  // namespace KestCv::Utils
