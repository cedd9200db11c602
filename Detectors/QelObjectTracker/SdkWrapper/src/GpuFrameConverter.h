#pragma once
// Device-memory NV12 frames to packed R, G, B pictures in host memory.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "FrameConverter.h"
#include "Kest8/MFF.h"

namespace QelWrapper {

using Kest8::Framework::PixelRect;

// One block of device memory holding a packed picture.
class DeviceBuffer {
public:
    // Throws std::bad_alloc when the device refuses the memory.
    DeviceBuffer(int32_t width, int32_t height, int32_t bytesPerPixel);
    ~DeviceBuffer();
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;

    void* Data() const noexcept { return data; }
    int32_t Width() const noexcept { return width; }
    int32_t Height() const noexcept { return height; }
    int32_t BytesPerPixel() const noexcept { return bytesPerPixel; }
    size_t Size() const noexcept { return size; }
    int32_t Pitch() const noexcept { return width * bytesPerPixel; }

private:
    void* data = nullptr;
    int32_t width;
    int32_t height;
    int32_t bytesPerPixel;
    size_t size;
};

class GpuFrameConverter {
public:
    // Writes roi.width x roi.height R, G, B pixels, rows packed, to hostDst.
    // Throws std::runtime_error for a rectangle outside the frame and for
    // conversion or copy failures, std::bad_alloc for device memory.
    void Convert(const Kest8::MFF::ICompositeBuffer2& frame, void* hostDst, const PixelRect& roi);

    const DeviceBuffer* Buffer() const noexcept { return buffer.get(); }

private:
    std::unique_ptr<DeviceBuffer> buffer;
};

}  // namespace QelWrapper
