// Host-memory planar frames to packed pictures.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "FrameConverter.h"
#include "FramePictures.h"
#include "RefHost/Samples.h"

namespace {

using Kest8::Framework::FrameConverter;
using Kest8::Framework::PixelRect;
using RefHost::FrameSample;
using RefHost::PlanarLayout;
using RefHost::SampleShape;

constexpr int kTolerance = 6;  // YUV round trip, BT.601 limited range

std::unique_ptr<FrameSample> Picture(uint32_t w, uint32_t h, PlanarLayout layout, uint32_t padding = 0)
{
    SampleShape shape;
    shape.width = w;
    shape.height = h;
    shape.layout = layout;
    shape.pitchPadding = padding;
    const auto rgb = FrameTests::BlockPicture(w, h);
    return FrameSample::FromRgb(shape, rgb.data());
}

TEST(FrameConverter, TargetFormatsAndTheirPixelSizes)
{
    EXPECT_EQ(FrameConverter(nullptr, KestCv::PF_BGR24).GetBytesPerPixel(), 3);
    EXPECT_EQ(FrameConverter(nullptr, KestCv::PF_RGB24).GetBytesPerPixel(), 3);
    EXPECT_EQ(FrameConverter(nullptr, KestCv::PF_GRAY8).GetBytesPerPixel(), 1);
    for (int code : {0, -1, 3, 5, 6, 8, 99}) {
        try {
            FrameConverter converter(nullptr, static_cast<KestCv::PixelFormat>(code));
            ADD_FAILURE() << code << " accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Unsupported target format.");
        }
    }
    FrameConverter fresh(nullptr, KestCv::PF_RGB24);
    EXPECT_EQ(fresh.GetWidth(), 0);
    EXPECT_EQ(fresh.GetStride(), 0);
    EXPECT_EQ(fresh.GetReserved(), 0);
}

TEST(FrameConverter, EveryLayoutConvertsToTheRightColoursInBothByteOrders)
{
    constexpr uint32_t W = 64, H = 48;
    const auto rgb = FrameTests::BlockPicture(W, H);
    for (auto layout : {PlanarLayout::I420, PlanarLayout::I422}) {
        for (uint32_t padding : {0u, 13u}) {
            auto sample = Picture(W, H, layout, padding);
            FrameConverter converter(nullptr, KestCv::PF_RGB24);
            const PixelRect roi{8, 16, 40, 24};
            EXPECT_TRUE(converter.Convert(sample->Planar(), roi));
            EXPECT_EQ(converter.GetStride(), 40 * 3);
            EXPECT_LE(FrameTests::MaxDifference(converter.GetData(), 120, rgb, W, 8, 16, 40, 24), kTolerance)
                << "layout " << static_cast<int>(layout) << " padding " << padding;

            // Target 1 holds the same pixels in B, G, R order.
            FrameConverter bgr(nullptr, KestCv::PF_BGR24);
            bgr.Convert(sample->Planar(), roi);
            for (size_t i = 0; i < 40 * 24; ++i) {
                EXPECT_EQ(bgr.GetData()[i * 3], converter.GetData()[i * 3 + 2]);
                EXPECT_EQ(bgr.GetData()[i * 3 + 2], converter.GetData()[i * 3]);
            }
        }
    }
}

// BT.601 limited range: luma 16 is black, 235 white.
int GreyOf(int luma)
{
    return std::clamp(static_cast<int>(std::lround((luma - 16) * 255.0 / 219.0)), 0, 255);
}

TEST(FrameConverter, LumaOnlyPicturesKeepEveryLevelAndRowAcrossLargeRectangles)
{
    // Rows beyond any internal strip, not a multiple of one, cut from a
    // padded picture whose every pixel has a level of its own.
    constexpr uint32_t W = 300, H = 70;
    auto gray = Picture(W, H, PlanarLayout::Gray, 9);
    auto* y = const_cast<uint8_t*>(gray->GetPlaneY());
    const uint32_t pitch = gray->GetPitchY();
    for (uint32_t r = 0; r < H; ++r)
        for (uint32_t c = 0; c < W; ++c) y[r * pitch + c] = static_cast<uint8_t>((c + 37 * r) % 256);
    for (const auto target : {KestCv::PF_RGB24, KestCv::PF_BGR24}) {
        FrameConverter converter(nullptr, target);
        const PixelRect roi{3, 5, 256 + 7, 61};
        converter.Convert(gray->Planar(), roi);
        int worst = 0;
        for (int r = 0; r < roi.height; ++r) {
            for (int c = 0; c < roi.width; ++c) {
                const uint8_t* px = converter.GetData() + (r * roi.width + c) * 3;
                const int expected = GreyOf(y[(r + roi.y) * pitch + c + roi.x]);
                ASSERT_EQ(px[0], px[1]);
                ASSERT_EQ(px[0], px[2]);
                worst = std::max(worst, std::abs(px[0] - expected));
            }
        }
        EXPECT_LE(worst, 1) << "target " << target;
    }
}

TEST(FrameConverter, LumaOnlySourcesGiveGreyPictures)
{
    auto gray = Picture(32, 32, PlanarLayout::Gray);
    FrameConverter converter(nullptr, KestCv::PF_RGB24);
    converter.Convert(gray->Planar(), PixelRect{});
    for (size_t i = 0; i < 32 * 32; ++i) {
        EXPECT_EQ(converter.GetData()[i * 3], converter.GetData()[i * 3 + 1]);
        EXPECT_EQ(converter.GetData()[i * 3], converter.GetData()[i * 3 + 2]);
    }

    // A U plane whose rows give a ratio of 1.5 is taken as luma only, and so
    // is a U plane with a size but a pitch of 0.
    auto odd = Picture(24, 12, PlanarLayout::I420);
    odd->ReportSizeU(12 * 8);  // 8 rows of pitch 12 for 12 picture rows
    converter.Convert(odd->Planar(), PixelRect{});
    EXPECT_EQ(converter.GetData()[0], converter.GetData()[2]);
    auto noPitch = Picture(24, 12, PlanarLayout::I420);
    noPitch->ReportPitchU(0);
    EXPECT_NO_THROW(converter.Convert(noPitch->Planar(), PixelRect{}));
    EXPECT_EQ(converter.GetData()[0], converter.GetData()[1]);

    FrameConverter luma(nullptr, KestCv::PF_GRAY8);
    auto colour = Picture(16, 16, PlanarLayout::I420, 4);
    luma.Convert(colour->Planar(), PixelRect{2, 3, 5, 7});
    EXPECT_EQ(luma.GetStride(), 5);
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 5; ++x) EXPECT_EQ(luma.GetData()[y * 5 + x], colour->GetPlaneY()[(y + 3) * 20 + x + 2]);
}

TEST(FrameConverter, GeometryChangeIsReportedAndZeroSizesMeanTheWholeFrame)
{
    auto sample = Picture(32, 24, PlanarLayout::I420);
    FrameConverter converter(nullptr, KestCv::PF_RGB24);
    EXPECT_TRUE(converter.Convert(sample->Planar(), PixelRect{0, 0, 0, 0}));
    EXPECT_EQ(converter.GetWidth(), 32);
    EXPECT_EQ(converter.GetHeight(), 24);
    EXPECT_FALSE(converter.Convert(sample->Planar(), PixelRect{0, 0, 32, 24})) << "same geometry after defaulting";
    EXPECT_TRUE(converter.Convert(sample->Planar(), PixelRect{2, 4, 10, 8}));
    EXPECT_EQ(converter.GetLeft(), 2);
    EXPECT_EQ(converter.GetTop(), 4);
    EXPECT_FALSE(converter.Convert(sample->Planar(), PixelRect{2, 4, 10, 8}));
}

TEST(FrameConverter, BadSamplesAndRectanglesAreRefusedWithoutTouchingState)
{
    auto sample = Picture(32, 24, PlanarLayout::I420);
    FrameConverter converter(nullptr, KestCv::PF_RGB24);
    converter.Convert(sample->Planar(), PixelRect{4, 4, 8, 8});
    const uint8_t* data = converter.GetData();

    try {
        converter.Convert(nullptr, PixelRect{});
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Unexpected buffer type, Kest8::MFF::IPlanarBuffer is expected.");
    }
    SampleShape gpuOnly;
    gpuOnly.width = 16;
    gpuOnly.height = 16;
    gpuOnly.planar = false;
    gpuOnly.nv12 = true;
    FrameSample nv12(gpuOnly);
    EXPECT_THROW(converter.Convert(nv12.Sample(), PixelRect{}), std::runtime_error);

    const PixelRect outside[] = {{-1, 0, 8, 8}, {0, -2, 8, 8}, {25, 0, 8, 8}, {0, 17, 8, 8},
                                 {0, 0, 33, 8}, {0, 0, 8, 25}, {0, 0, -4, 8}, {2147483647, 0, 2, 2}};
    for (const auto& roi : outside) {
        EXPECT_THROW(converter.Convert(sample->Planar(), roi), std::runtime_error) << roi.x << "," << roi.y;
    }
    EXPECT_EQ(converter.GetLeft(), 4);
    EXPECT_EQ(converter.GetWidth(), 8);
    EXPECT_EQ(converter.GetData(), data);

    // Planes smaller than the picture they claim are never read past.
    auto shortChroma = Picture(32, 24, PlanarLayout::I420);
    shortChroma->ReportSizeU(16 * 11 + 1);
    EXPECT_THROW(converter.Convert(shortChroma->Planar(), PixelRect{}), std::runtime_error);
    // Padded rows need no padding after the last one: 11 rows of pitch 22
    // and one of 16 bytes hold the 12 chroma rows; a byte less does not.
    auto tight = Picture(32, 24, PlanarLayout::I420, 6);
    tight->ReportSizeU(22 * 11 + 16);
    EXPECT_NO_THROW(converter.Convert(tight->Planar(), PixelRect{}));
    tight->ReportSizeU(22 * 11 + 15);
    EXPECT_THROW(converter.Convert(tight->Planar(), PixelRect{}), std::runtime_error);
}

TEST(FrameConverter, OwnBufferGrowsExactlyAndIsReused)
{
    auto big = Picture(64, 32, PlanarLayout::I420);
    FrameConverter converter(nullptr, KestCv::PF_RGB24);
    converter.Convert(big->Planar(), PixelRect{0, 0, 10, 4});
    // 30-byte rows: the last one padded to 32.
    const uint8_t* first = converter.GetData();
    converter.Convert(big->Planar(), PixelRect{0, 0, 5, 2});
    EXPECT_EQ(converter.GetData(), first) << "a smaller picture keeps the buffer";
    converter.Convert(big->Planar(), PixelRect{0, 0, 64, 32});
    EXPECT_EQ(converter.GetStride(), 192);

    std::vector<uint8_t> out;
    converter.Convert(big->Planar(), out, PixelRect{0, 0, 10, 4});
    EXPECT_EQ(out.size(), 120u);
    EXPECT_EQ(out.capacity(), 32u + 3 * 30u);
}

TEST(FrameConverter, CallerMemoryGetsRowsAtItsStride)
{
    constexpr uint32_t W = 32, H = 16;
    const auto rgb = FrameTests::BlockPicture(W, H);
    auto sample = Picture(W, H, PlanarLayout::I422);
    FrameConverter converter(nullptr, KestCv::PF_RGB24);
    std::vector<uint8_t> memory(100 * 8, 0xEE);
    EXPECT_TRUE(converter.Convert(sample->Planar(), memory.data(), 100, PixelRect{8, 8, 16, 8}));
    EXPECT_EQ(converter.GetStride(), 100);
    EXPECT_LE(FrameTests::MaxDifference(memory.data(), 100, rgb, W, 8, 8, 16, 8), kTolerance);
    for (size_t row = 0; row < 8; ++row)
        for (size_t x = 48; x < 100; ++x) ASSERT_EQ(memory[row * 100 + x], 0xEE) << "padding written";
    EXPECT_THROW(converter.Convert(sample->Planar(), memory.data(), 47, PixelRect{8, 8, 16, 8}), std::runtime_error);
    EXPECT_THROW(converter.Convert(sample->Planar(), nullptr, 100, PixelRect{8, 8, 16, 8}), std::runtime_error);
}

TEST(FrameConverter, ChromaPositionBySourceCode)
{
    using Kest8::Framework::ChromaPosition;
    const PixelRect r{7, 5, 3, 3};
    EXPECT_EQ(ChromaPosition(KestCv::PF_YUV420P, r), std::make_pair(3, 2));
    EXPECT_EQ(ChromaPosition(KestCv::PF_YUV422P, r), std::make_pair(3, 5));
    EXPECT_EQ(ChromaPosition(KestCv::PF_YUV444P, r), std::make_pair(7, 5));
    EXPECT_EQ(ChromaPosition(KestCv::PF_GRAY8, r), std::make_pair(0, 0));
}

}  // namespace
