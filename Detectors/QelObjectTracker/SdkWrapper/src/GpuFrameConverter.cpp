#include "GpuFrameConverter.h"

#include <fmt/format.h>

#include <limits>
#include <new>
#include <stdexcept>

#include "cuda_runtime_api.h"
#include "nppi_color_conversion.h"

namespace QelWrapper {

DeviceBuffer::DeviceBuffer(int32_t width, int32_t height, int32_t bytesPerPixel)
    : width(width), height(height), bytesPerPixel(bytesPerPixel), size(0)
{
    // Formed in 64 bits: a 32-bit product overflows for large pictures.
    const int64_t bytes = static_cast<int64_t>(width) * height * bytesPerPixel;
    if (width <= 0 || height <= 0 || bytesPerPixel <= 0 ||
        static_cast<int64_t>(width) * bytesPerPixel > std::numeric_limits<int32_t>::max())
        throw std::bad_alloc();
    size = static_cast<size_t>(bytes);
    if (cudaMalloc(&data, size) != cudaSuccess) throw std::bad_alloc();
}

DeviceBuffer::~DeviceBuffer()
{
    cudaFree(data);
}

void GpuFrameConverter::Convert(const Kest8::MFF::ICompositeBuffer2& frame, void* hostDst, const PixelRect& roi)
{
    const uint64_t frameWidth = frame.GetWidth();
    const uint64_t frameHeight = frame.GetHeight();
    const uint64_t pitch = frame.GetPitch();
    // Never read outside the picture: the rectangle must lie inside it.
    if (roi.x < 0 || roi.y < 0 || roi.width <= 0 || roi.height <= 0 ||
        static_cast<uint64_t>(roi.x) + static_cast<uint64_t>(roi.width) > frameWidth ||
        static_cast<uint64_t>(roi.y) + static_cast<uint64_t>(roi.height) > frameHeight)
        throw std::runtime_error(fmt::format("Region of interest {},{} {}x{} does not lie inside the {}x{} frame.",
                                             roi.x, roi.y, roi.width, roi.height, frameWidth, frameHeight));
    if (frame.GetData() == nullptr || pitch < frameWidth ||
        pitch > static_cast<uint64_t>(std::numeric_limits<int>::max()))
        throw std::runtime_error("The GPU frame has no data or a pitch smaller than its width.");
    if (hostDst == nullptr) throw std::runtime_error("No host memory to copy the GPU frame into.");

    const auto [cx, cy] = Kest8::Framework::ChromaPosition(KestCv::PF_YUV420P, roi);
    auto* base = static_cast<const Npp8u*>(frame.GetData());
    const Npp8u* luma = base + static_cast<uint64_t>(roi.y) * pitch + static_cast<uint64_t>(roi.x);
    const Npp8u* chroma =
        base + frameHeight * pitch + static_cast<uint64_t>(cy) * pitch + 2 * static_cast<uint64_t>(cx);

    if (!buffer || buffer->Width() != roi.width || buffer->Height() != roi.height) {
        // The old buffer stays when the new one cannot be had.
        auto fresh = std::make_unique<DeviceBuffer>(roi.width, roi.height, 3);
        buffer = std::move(fresh);
    }

    const Npp8u* const sources[2] = {luma, chroma};
    const NppStatus status =
        nppiNV12ToRGB_8u_P2C3R(sources, static_cast<int>(pitch), static_cast<Npp8u*>(buffer->Data()), buffer->Pitch(),
                               NppiSize{roi.width, roi.height});
    if (status != NPP_SUCCESS)
        throw std::runtime_error(fmt::format("Failed to convert gpu frame. code:{}", static_cast<int>(status)));
    if (cudaMemcpy(hostDst, buffer->Data(), buffer->Size(), cudaMemcpyDeviceToHost) != cudaSuccess)
        throw std::runtime_error("Failed copying frame to host.");
}

}  // namespace QelWrapper
