// The way of one frame into our SDK, against one bare libyuv conversion of
// the same picture into a buffer allocated beforehand. Host-memory frames:
// the wrapper's conversion into its buffer, the SDK image copied from it and
// the SDK's hold on the pushed image. NV12 frames in (stand-in) device
// memory: the SDK image, the wrapper's GPU conversion into it and the SDK's
// hold.

#include <benchmark/benchmark.h>
#include <libyuv/convert_argb.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "FrameConverter.h"
#include "GpuFrameConverter.h"
#include "RefHost/Samples.h"
#include "common/ImageAccess.h"
#include "fsdk/Image.h"

namespace {

using Kest8::Framework::PixelRect;

enum class Kind { I420, I422, Gray, Nv12 };

std::unique_ptr<RefHost::FrameSample> Sample(Kind kind, uint32_t width, uint32_t height)
{
    RefHost::SampleShape shape;
    shape.width = width;
    shape.height = height;
    shape.layout = kind == Kind::I422   ? RefHost::PlanarLayout::I422
                   : kind == Kind::Gray ? RefHost::PlanarLayout::Gray
                                        : RefHost::PlanarLayout::I420;
    shape.planar = kind != Kind::Nv12;
    shape.nv12 = kind == Kind::Nv12;
    // Some texture, so the conversion does real work.
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>((i * 7 + i / 4093) % 251);
    return RefHost::FrameSample::FromRgb(shape, rgb.data());
}

// One bare libyuv conversion into `out`, allocated beforehand.
void BareConversion(Kind kind, const RefHost::FrameSample& s, std::vector<uint8_t>& out,
                    const std::vector<uint8_t>& neutral)
{
    const int w = static_cast<int>(s.GetWidth()), h = static_cast<int>(s.GetHeight());
    const int py = static_cast<int>(s.GetPitchY()), pu = static_cast<int>(s.GetPitchU()),
              pv = static_cast<int>(s.GetPitchV());
    switch (kind) {
    case Kind::I420:
        libyuv::I420ToRAW(s.GetPlaneY(), py, s.GetPlaneU(), pu, s.GetPlaneV(), pv, out.data(), w * 3, w, h);
        break;
    case Kind::I422:
        libyuv::I422ToRAW(s.GetPlaneY(), py, s.GetPlaneU(), pu, s.GetPlaneV(), pv, out.data(), w * 3, w, h);
        break;
    case Kind::Gray:
        // Neutral chroma: the one libyuv call that makes packed R, G, B of a luma plane.
        libyuv::I444ToRAW(s.GetPlaneY(), py, neutral.data(), 0, neutral.data(), 0, out.data(), w * 3, w, h);
        break;
    case Kind::Nv12: {
        const auto* base = static_cast<const uint8_t*>(s.GetData());
        const int pitch = static_cast<int>(s.GetPitch());
        libyuv::NV12ToRAW(base, pitch, base + static_cast<size_t>(pitch) * s.GetHeight(), pitch, out.data(), w * 3, w,
                          h);
        break;
    }
    }
}

// Each iteration times one bare conversion and one way into the SDK, one
// after the other, so that both meet the same machine; the iteration's time
// is the way into the SDK. The means of both times are given too.
void Ingest(benchmark::State& state, Kind kind, uint32_t width, uint32_t height)
{
    auto sample = Sample(kind, width, height);
    const int w = static_cast<int>(width), h = static_cast<int>(height);
    const PixelRect roi{0, 0, w, h};
    Kest8::Framework::FrameConverter converter(nullptr, KestCv::PF_RGB24);
    QelWrapper::GpuFrameConverter gpu;
    std::vector<uint8_t> out(static_cast<size_t>(width) * height * 3);
    const std::vector<uint8_t> neutral(width, 128);
    using Clock = std::chrono::steady_clock;
    double bareSeconds = 0, ingestSeconds = 0;
    std::vector<double> ratios;
    ratios.reserve(1 << 16);
    for (auto _ : state) {
        const auto started = Clock::now();
        BareConversion(kind, *sample, out, neutral);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
        const auto converted = Clock::now();
        {
            fsdk::Image held;
            if (kind == Kind::Nv12) {
                fsdk::Image image(w, h, fsdk::Format::R8G8B8, fsdk::Image::MemoryResidence::MemoryCPU, 0);
                gpu.Convert(*sample->Composite(), image.getData(), roi);
                held = fsdk::ImageAccess::OwnedCopy(image);
            } else {
                converter.Convert(sample->Planar(), roi);
                const fsdk::Image image(w, h, fsdk::Format::R8G8B8, converter.GetData(), true,
                                        fsdk::Image::MemoryResidence::MemoryCPU, 0);
                held = fsdk::ImageAccess::OwnedCopy(image);
            }
            benchmark::DoNotOptimize(held.getData());
            benchmark::ClobberMemory();
        }
        const auto ingested = Clock::now();
        const double bare = std::chrono::duration<double>(converted - started).count();
        const double ingest = std::chrono::duration<double>(ingested - converted).count();
        bareSeconds += bare;
        ingestSeconds += ingest;
        if (bare > 0 && ratios.size() < ratios.capacity()) ratios.push_back(ingest / bare);
        state.SetIterationTime(ingest);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["bare_us"] = 1e6 * bareSeconds / n;
    state.counters["ingest_us"] = 1e6 * ingestSeconds / n;
    // The median of the frames' own ratios: a neighbour's burst on a shared
    // machine slows single frames, not the comparison.
    if (!ratios.empty()) {
        std::nth_element(ratios.begin(), ratios.begin() + static_cast<std::ptrdiff_t>(ratios.size() / 2), ratios.end());
        state.counters["ratio_to_bare"] = ratios[ratios.size() / 2];
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(width) * height * 3);
}

#define QEL_INGEST_CASES(kind, name, width, height) \
    BENCHMARK_CAPTURE(Ingest, name##_##width##x##height, kind, width, height)->UseManualTime()

QEL_INGEST_CASES(Kind::I420, yuv420, 1920, 1080);
QEL_INGEST_CASES(Kind::I422, yuv422, 1920, 1080);
QEL_INGEST_CASES(Kind::Gray, gray, 1920, 1080);
QEL_INGEST_CASES(Kind::Nv12, nv12, 1920, 1080);
QEL_INGEST_CASES(Kind::I420, yuv420, 640, 360);
QEL_INGEST_CASES(Kind::I422, yuv422, 640, 360);
QEL_INGEST_CASES(Kind::Gray, gray, 640, 360);
QEL_INGEST_CASES(Kind::Nv12, nv12, 640, 360);

}  // namespace

BENCHMARK_MAIN();
