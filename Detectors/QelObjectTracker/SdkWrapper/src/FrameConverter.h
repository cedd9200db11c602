#pragma once
// Host-memory planar frames to packed pictures of a pixel rectangle.

#include <cstdint>
#include <utility>
#include <vector>

#include "Kest8/Contract.h"
#include "Kest8/Logger.h"
#include "Kest8/MFF.h"
#include "KestCv/YuvConverter.h"

namespace Kest8::Framework {

// A rectangle in pixels of a source frame. In FrameConverter a width or
// height of 0 stands for the sample's full width or height.
struct PixelRect {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
};

// Position of the rectangle's first chroma sample for a source code.
std::pair<int32_t, int32_t> ChromaPosition(int32_t sourceCode, const PixelRect& rect);

namespace Helper {

class IFrameConverter {
public:
    virtual ~IFrameConverter() = default;
    // Each answers whether the rectangle's geometry changed since the last call.
    virtual bool Convert(const Kest8::IContract* sample, const PixelRect& roi) = 0;
    virtual bool Convert(const Kest8::IContract* sample, std::vector<uint8_t>& out, const PixelRect& roi) = 0;
    virtual bool Convert(const Kest8::IContract* sample, void* dst, int32_t dstStride, const PixelRect& roi) = 0;
    virtual int32_t GetTop() const = 0;
    virtual int32_t GetLeft() const = 0;
    virtual int32_t GetWidth() const = 0;
    virtual int32_t GetHeight() const = 0;
    virtual int32_t GetBytesPerPixel() const = 0;
    virtual int32_t GetStride() const = 0;
    virtual const uint8_t* GetData() const = 0;
    virtual int32_t GetReserved() const = 0;
};

}  // namespace Helper

class FrameConverter final : public Helper::IFrameConverter {
public:
    // Target 1 or 2 (three bytes per pixel) or 4 (one); others throw
    // std::runtime_error("Unsupported target format.").
    FrameConverter(Kest8::ILogger* logger, KestCv::PixelFormat targetFormat);
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;

    bool Convert(const Kest8::IContract* sample, const PixelRect& roi) override;
    bool Convert(const Kest8::IContract* sample, std::vector<uint8_t>& out, const PixelRect& roi) override;
    bool Convert(const Kest8::IContract* sample, void* dst, int32_t dstStride, const PixelRect& roi) override;
    int32_t GetTop() const override { return top; }
    int32_t GetLeft() const override { return left; }
    int32_t GetWidth() const override { return width; }
    int32_t GetHeight() const override { return height; }
    int32_t GetBytesPerPixel() const override { return bytesPerPixel; }
    int32_t GetStride() const override { return stride; }
    const uint8_t* GetData() const override { return buffer.data(); }
    int32_t GetReserved() const override { return reserved; }

private:
    struct Source;
    // Checks the sample and the rectangle, stores the geometry; answers
    // whether it changed.
    bool Prepare(const Kest8::IContract* sample, const PixelRect& roi, Source& source);
    void ConvertInto(const Source& source, uint8_t* dst);

    const int32_t reserved = 0;
    int32_t left = 0;
    int32_t top = 0;
    int32_t width = 0;
    int32_t height = 0;
    int32_t bytesPerPixel = 0;
    int32_t stride = 0;
    std::vector<uint8_t> buffer;
    KestCv::Utils::YuvConverterPtr yuvConverter;
    Kest8::ILogger* logger;
};

}  // namespace Kest8::Framework
