// Device-memory NV12 frames to packed R, G, B in host memory.

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "CudaHost/Control.h"
#include "FrameConverter.h"
#include "FramePictures.h"
#include "GpuFrameConverter.h"
#include "RefHost/Samples.h"
#include "cuda_runtime_api.h"

namespace {

using QelWrapper::DeviceBuffer;
using QelWrapper::GpuFrameConverter;
using QelWrapper::PixelRect;
using RefHost::FrameSample;
using RefHost::SampleShape;

std::unique_ptr<FrameSample> Nv12AndPlanar(uint32_t w, uint32_t h, uint32_t padding = 0)
{
    SampleShape shape;
    shape.width = w;
    shape.height = h;
    shape.nv12 = true;
    shape.nv12PitchPadding = padding;
    const auto rgb = FrameTests::BlockPicture(w, h);
    return FrameSample::FromRgb(shape, rgb.data());
}

class GpuFrames : public ::testing::Test {
protected:
    void TearDown() override { CudaHost::ResetFailures(); }
};

TEST_F(GpuFrames, MatchesTheHostPathForTheSameRectangle)
{
    constexpr uint32_t W = 64, H = 48;
    auto sample = Nv12AndPlanar(W, H, 32);
    Kest8::Framework::FrameConverter host(nullptr, KestCv::PF_RGB24);
    GpuFrameConverter gpu;
    const auto rgb = FrameTests::BlockPicture(W, H);
    for (const PixelRect roi : {PixelRect{0, 0, 64, 48}, PixelRect{6, 4, 20, 10}, PixelRect{8, 7, 16, 9}}) {
        std::vector<uint8_t> out(static_cast<size_t>(roi.width) * roi.height * 3);
        gpu.Convert(*sample, out.data(), roi);
        host.Convert(sample->Planar(), roi);
        // An odd first row shares its chroma row with the row above it.
        if (roi.y % 2 == 0) {
            EXPECT_LE(FrameTests::MaxDifference(out.data(), roi.width * 3, rgb, W, roi.x, roi.y, roi.width, roi.height),
                      6);
        }
        int worst = 0;
        for (size_t i = 0; i < out.size(); ++i) worst = std::max(worst, std::abs(out[i] - host.GetData()[i]));
        EXPECT_LE(worst, 2) << "the same matrix on both paths, roi " << roi.x << "," << roi.y;
    }
}

TEST_F(GpuFrames, DeviceMemoryIsAllocatedOnlyWhenTheSizeChanges)
{
    auto sample = Nv12AndPlanar(32, 32);
    GpuFrameConverter gpu;
    std::vector<uint8_t> out(32 * 32 * 3);
    const size_t before = CudaHost::TotalAllocations();
    const size_t live = CudaHost::LiveAllocations();
    gpu.Convert(*sample, out.data(), PixelRect{0, 0, 16, 16});
    const void* first = gpu.Buffer()->Data();
    gpu.Convert(*sample, out.data(), PixelRect{4, 4, 16, 16});
    EXPECT_EQ(gpu.Buffer()->Data(), first);
    EXPECT_EQ(CudaHost::TotalAllocations(), before + 1);
    gpu.Convert(*sample, out.data(), PixelRect{0, 0, 8, 16});
    EXPECT_EQ(CudaHost::TotalAllocations(), before + 2);
    EXPECT_EQ(CudaHost::LiveAllocations(), live + 1) << "the old block is freed";
    EXPECT_EQ(gpu.Buffer()->Size(), 8u * 16 * 3);
    EXPECT_EQ(gpu.Buffer()->Pitch(), 24);
}

TEST_F(GpuFrames, RefusedDeviceMemoryKeepsThePreviousBuffer)
{
    auto sample = Nv12AndPlanar(32, 32);
    GpuFrameConverter gpu;
    std::vector<uint8_t> out(32 * 32 * 3);
    gpu.Convert(*sample, out.data(), PixelRect{0, 0, 16, 16});
    const void* kept = gpu.Buffer()->Data();
    CudaHost::FailNext(CudaHost::Call::Malloc);
    EXPECT_THROW(gpu.Convert(*sample, out.data(), PixelRect{0, 0, 8, 8}), std::bad_alloc);
    EXPECT_EQ(gpu.Buffer()->Data(), kept);
    EXPECT_NO_THROW(gpu.Convert(*sample, out.data(), PixelRect{0, 0, 16, 16}));
}

TEST_F(GpuFrames, ConversionAndCopyFailuresCarryTheirTexts)
{
    auto sample = Nv12AndPlanar(16, 16);
    GpuFrameConverter gpu;
    std::vector<uint8_t> out(16 * 16 * 3, 0xAB);
    CudaHost::FailNextNpp(1, -6);
    try {
        gpu.Convert(*sample, out.data(), PixelRect{0, 0, 16, 16});
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Failed to convert gpu frame. code:-6");
    }
    EXPECT_EQ(out[0], 0xAB) << "nothing written";
    CudaHost::FailNext(CudaHost::Call::Memcpy);
    try {
        gpu.Convert(*sample, out.data(), PixelRect{0, 0, 16, 16});
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Failed copying frame to host.");
    }
}

TEST_F(GpuFrames, RectanglesOutsideTheFrameAreRefused)
{
    auto sample = Nv12AndPlanar(32, 16);
    GpuFrameConverter gpu;
    std::vector<uint8_t> out(64 * 64 * 3);
    for (const PixelRect roi : {PixelRect{-2, 0, 8, 8}, PixelRect{0, -1, 8, 8}, PixelRect{30, 0, 4, 4},
                                PixelRect{0, 10, 4, 8}, PixelRect{0, 0, 0, 4}, PixelRect{0, 0, 4, -4}}) {
        EXPECT_THROW(gpu.Convert(*sample, out.data(), roi), std::runtime_error) << roi.x << "," << roi.y;
    }
    EXPECT_EQ(gpu.Buffer(), nullptr) << "nothing allocated for a refused frame";
    EXPECT_THROW(gpu.Convert(*sample, nullptr, PixelRect{0, 0, 4, 4}), std::runtime_error);
}

TEST_F(GpuFrames, DeviceBufferSizesDoNotOverflow)
{
    EXPECT_THROW(DeviceBuffer(0, 10, 3), std::bad_alloc);
    EXPECT_THROW(DeviceBuffer(10, -1, 3), std::bad_alloc);
    CudaHost::FailNext(CudaHost::Call::Malloc);
    EXPECT_THROW(DeviceBuffer(10, 10, 3), std::bad_alloc);
    DeviceBuffer small(3, 2, 3);
    EXPECT_EQ(small.Size(), 18u);
    EXPECT_EQ(small.Pitch(), 9);
    // 40000 x 40000 x 3 bytes is past 32 bits; refused here, so nothing is
    // allocated, but the request is seen.
    CudaHost::FailNext(CudaHost::Call::Malloc);
    EXPECT_THROW(DeviceBuffer(40000, 40000, 3), std::bad_alloc);
    EXPECT_EQ(CudaHost::LastRequestedSize(), size_t{40000} * 40000 * 3);
    // A row past 2^31 bytes is refused before anything is asked for.
    EXPECT_THROW(DeviceBuffer(800'000'000, 1, 3), std::bad_alloc);
    EXPECT_EQ(CudaHost::LastRequestedSize(), size_t{40000} * 40000 * 3);
}

TEST_F(GpuFrames, HostCudaRefusesCopiesFromOutsideDeviceBlocks)
{
    void* block = nullptr;
    ASSERT_EQ(cudaMalloc(&block, 64), cudaSuccess);
    uint8_t host[128];
    EXPECT_EQ(cudaMemcpy(host, block, 64, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_NE(cudaMemcpy(host, block, 65, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_NE(cudaMemcpy(host, host + 1, 4, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(cudaFree(block), cudaSuccess);
    EXPECT_NE(cudaFree(host), cudaSuccess);
}

}  // namespace
