// What the frame converter hands to the YUV converter: source code, plane
// addresses, pitches, sizes. A spy stands in for the library's converter.

#include <gtest/gtest.h>

#include <vector>

#include "FrameConverter.h"
#include "RefHost/Samples.h"

namespace {

struct Call {
    KestCv::PixelFormat source;
    uint32_t width, height, dstStride;
    uint32_t pitches[3];
    const uint8_t* planes[3];
    uint8_t* dst;
};

std::vector<Call> calls;

class Spy final : public KestCv::Utils::IYuvConverter {
public:
    bool Convert(KestCv::PixelFormat source, uint32_t width, uint32_t height, const uint32_t* pitches,
                 const uint8_t* const* planes, uint32_t dstWidth, uint32_t dstHeight, uint32_t dstStride,
                 uint8_t* dst) override
    {
        EXPECT_EQ(width, dstWidth);
        EXPECT_EQ(height, dstHeight);
        calls.push_back({source,
                         width,
                         height,
                         dstStride,
                         {pitches[0], pitches[1], pitches[2]},
                         {planes[0], planes[1], planes[2]},
                         dst});
        return true;
    }
};

}  // namespace

namespace KestCv::Utils {
YuvConverterPtr CreateYuvConverter(Kest8::ILogger*, MemType, PixelFormat)
{
    return YuvConverterPtr(new Spy, YuvConverterDeleter());
}
}  // namespace KestCv::Utils

namespace {

using Kest8::Framework::FrameConverter;
using Kest8::Framework::PixelRect;
using RefHost::FrameSample;
using RefHost::PlanarLayout;
using RefHost::SampleShape;

std::unique_ptr<FrameSample> Sample(uint32_t w, uint32_t h, PlanarLayout layout)
{
    SampleShape shape;
    shape.width = w;
    shape.height = h;
    shape.layout = layout;
    return std::make_unique<FrameSample>(shape);
}

class FrameAddressing : public ::testing::Test {
protected:
    void SetUp() override { calls.clear(); }
};

TEST_F(FrameAddressing, FullHdRegionIsAddressedPlaneByPlane)
{
    auto sample = Sample(1920, 1080, PlanarLayout::I420);
    ASSERT_EQ(sample->GetPitchY(), 1920u);
    ASSERT_EQ(sample->GetPitchU(), 960u);
    ASSERT_EQ(sample->GetSizeU(), 518400u);
    FrameConverter converter(nullptr, KestCv::PF_RGB24);
    converter.Convert(sample->Planar(), PixelRect{100, 51, 640, 480});
    ASSERT_EQ(calls.size(), 1u);
    const Call& c = calls[0];
    EXPECT_EQ(c.source, KestCv::PF_YUV420P);
    EXPECT_EQ(c.planes[0] - sample->GetPlaneY(), 98020);
    EXPECT_EQ(c.planes[1] - sample->GetPlaneU(), 24050);
    EXPECT_EQ(c.planes[2] - sample->GetPlaneV(), 24050);
    EXPECT_EQ(c.pitches[0], 1920u);
    EXPECT_EQ(c.pitches[1], 960u);
    EXPECT_EQ(c.pitches[2], 960u);
    EXPECT_EQ(c.width, 640u);
    EXPECT_EQ(c.height, 480u);
    EXPECT_EQ(c.dstStride, 1920u);
    EXPECT_EQ(c.dst, converter.GetData());
    EXPECT_EQ(converter.GetStride(), 1920);
}

TEST_F(FrameAddressing, LayoutsByTheirChromaRows)
{
    auto i422 = Sample(64, 32, PlanarLayout::I422);
    auto i444 = Sample(64, 32, PlanarLayout::I444);
    auto gray = Sample(64, 32, PlanarLayout::Gray);
    FrameConverter converter(nullptr, KestCv::PF_RGB24);
    converter.Convert(i422->Planar(), PixelRect{6, 5, 8, 8});
    converter.Convert(i444->Planar(), PixelRect{6, 5, 8, 8});
    converter.Convert(gray->Planar(), PixelRect{6, 5, 8, 8});
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].source, KestCv::PF_YUV422P);
    EXPECT_EQ(calls[0].planes[1] - i422->GetPlaneU(), 5 * 32 + 3);
    // Full-width chroma rows are handed over as 4:2:2 all the same.
    EXPECT_EQ(calls[1].source, KestCv::PF_YUV422P);
    EXPECT_EQ(calls[1].planes[1] - i444->GetPlaneU(), 5 * 64 + 3);
    EXPECT_EQ(calls[2].source, KestCv::PF_GRAY8);
    EXPECT_EQ(calls[2].planes[0] - gray->GetPlaneY(), 5 * 64 + 6);

    // Luma only: chroma pointers go over unchanged.
    auto noChroma = Sample(64, 32, PlanarLayout::I420);
    noChroma->ReportSizeU(0);
    converter.Convert(noChroma->Planar(), PixelRect{6, 5, 8, 8});
    EXPECT_EQ(calls[3].source, KestCv::PF_GRAY8);
    EXPECT_EQ(calls[3].planes[1], noChroma->GetPlaneU());
    EXPECT_EQ(calls[3].planes[2], noChroma->GetPlaneV());
}

TEST_F(FrameAddressing, OddRowsUseTheChromaRowAbove)
{
    auto sample = Sample(64, 32, PlanarLayout::I420);
    FrameConverter converter(nullptr, KestCv::PF_RGB24);
    converter.Convert(sample->Planar(), PixelRect{0, 7, 8, 8});
    EXPECT_EQ(calls.at(0).planes[1] - sample->GetPlaneU(), 3 * 32);
}

TEST_F(FrameAddressing, SmallBufferPadsItsLastRow)
{
    auto sample = Sample(16, 16, PlanarLayout::I420);
    FrameConverter converter(nullptr, KestCv::PF_RGB24);
    converter.Convert(sample->Planar(), PixelRect{0, 0, 10, 2});
    std::vector<uint8_t> out;
    converter.Convert(sample->Planar(), out, PixelRect{0, 0, 10, 2});
    EXPECT_EQ(out.size(), 60u);
    EXPECT_GE(out.capacity(), 62u);

    FrameConverter gray(nullptr, KestCv::PF_GRAY8);
    gray.Convert(sample->Planar(), PixelRect{0, 0, 10, 2});
    EXPECT_EQ(gray.GetStride(), 10);
}

}  // namespace
