// Full-height chroma planes are 4:2:2 however wide their rows are: padded
// rows, or one pitch for all three planes, must not turn them into 4:4:4.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "FrameConverter.h"
#include "FramePictures.h"
#include "RefHost/Contract.h"
#include "RefHost/Samples.h"

namespace {

using Kest8::Framework::FrameConverter;
using Kest8::Framework::PixelRect;
using RefHost::FrameSample;
using RefHost::PlanarLayout;
using RefHost::SampleShape;

constexpr int kTolerance = 6;  // YUV round trip, BT.601 limited range

std::unique_ptr<FrameSample> Picture422(uint32_t w, uint32_t h, uint32_t padding)
{
    SampleShape shape;
    shape.width = w;
    shape.height = h;
    shape.layout = PlanarLayout::I422;
    shape.pitchPadding = padding;
    const auto rgb = FrameTests::BlockPicture(w, h);
    return FrameSample::FromRgb(shape, rgb.data());
}

// The planes of a 4:2:2 sample laid out again with the luma pitch for all
// three, as some hosts allocate them.
class OnePitchSample final : public Kest8::MFF::IPlanarBuffer {
public:
    explicit OnePitchSample(const FrameSample& from)
        : width(from.GetWidth()), height(from.GetHeight()), pitch(from.GetPitchY())
    {
        y.assign(from.GetPlaneY(), from.GetPlaneY() + static_cast<size_t>(pitch) * height);
        u.assign(static_cast<size_t>(pitch) * height, 128);
        v.assign(static_cast<size_t>(pitch) * height, 128);
        for (uint32_t row = 0; row < height; ++row) {
            std::memcpy(&u[row * pitch], from.GetPlaneU() + row * from.GetPitchU(), (width + 1) / 2);
            std::memcpy(&v[row * pitch], from.GetPlaneV() + row * from.GetPitchV(), (width + 1) / 2);
        }
    }

    REFHOST_CONTRACTS(Kest8::MFF::IPlanarBuffer, Kest8::MFF::IPlanarBuffer)
    uint64_t GetTimestamp() const override { return 0; }
    void Release() override {}
    uint32_t GetWidth() const override { return width; }
    uint32_t GetHeight() const override { return height; }
    const uint8_t* GetPlaneY() const override { return y.data(); }
    const uint8_t* GetPlaneU() const override { return u.data(); }
    const uint8_t* GetPlaneV() const override { return v.data(); }
    uint32_t GetSizeU() const override { return static_cast<uint32_t>(u.size()); }
    uint32_t GetPitchY() const override { return pitch; }
    uint32_t GetPitchU() const override { return pitch; }
    uint32_t GetPitchV() const override { return pitch; }

private:
    uint32_t width, height, pitch;
    std::vector<uint8_t> y, u, v;
};

TEST(ChromaLayout, PaddedFullHeightChromaIsConvertedAs422)
{
    constexpr uint32_t W = 64, H = 48;
    const auto rgb = FrameTests::BlockPicture(W, H);
    // Chroma rows padded to less than, exactly and more than the picture's width.
    for (uint32_t padding : {13u, 32u, 40u}) {
        auto sample = Picture422(W, H, padding);
        ASSERT_EQ(sample->GetPitchU(), W / 2 + padding);
        FrameConverter converter(nullptr, KestCv::PF_RGB24);
        converter.Convert(sample->Planar(), PixelRect{8, 16, 40, 24});
        EXPECT_LE(FrameTests::MaxDifference(converter.GetData(), 40 * 3, rgb, W, 8, 16, 40, 24), kTolerance)
            << "padding " << padding;
        converter.Convert(sample->Planar(), PixelRect{0, 0, 0, 0});
        EXPECT_LE(FrameTests::MaxDifference(converter.GetData(), W * 3, rgb, W, 0, 0, W, H), kTolerance)
            << "padding " << padding;
    }
}

TEST(ChromaLayout, OnePitchForAllPlanesIsConvertedAs422)
{
    constexpr uint32_t W = 1280, H = 16;
    const auto rgb = FrameTests::BlockPicture(W, H);
    const auto original = Picture422(W, H, 0);
    OnePitchSample sample(*original);
    FrameConverter converter(nullptr, KestCv::PF_RGB24);
    converter.Convert(&sample, PixelRect{0, 0, 0, 0});
    EXPECT_LE(FrameTests::MaxDifference(converter.GetData(), W * 3, rgb, W, 0, 0, W, H), kTolerance);
    converter.Convert(&sample, PixelRect{100, 3, 640, 8});
    EXPECT_LE(FrameTests::MaxDifference(converter.GetData(), 640 * 3, rgb, W, 100, 3, 640, 8), kTolerance);
}

}  // namespace
