// Host-memory frame conversion against the bare libyuv call and a memcpy of
// the output's size, with the allocations made per frame; and what a
// 1080p picture costs in memory fresh from the kernel, in 4 KiB pages and
// in 2 MiB pages asked for as the SDK's pictures ask.

#include <benchmark/benchmark.h>
#include <libyuv/convert_argb.h>
#include <malloc.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "FrameConverter.h"
#include "RefHost/Samples.h"

#include "AllocationCounter.h"

namespace {

using Kest8::Framework::PixelRect;

std::unique_ptr<RefHost::FrameSample> FullHd()
{
    RefHost::SampleShape shape;
    shape.width = 1920;
    shape.height = 1080;
    auto sample = std::make_unique<RefHost::FrameSample>(shape);
    // Some texture, so the conversion does real work.
    auto* y = const_cast<uint8_t*>(sample->GetPlaneY());
    for (size_t i = 0; i < sample->LumaBytes(); ++i) y[i] = static_cast<uint8_t>(16 + (i * 7) % 220);
    return sample;
}

void Converter(benchmark::State& state, PixelRect roi)
{
    auto sample = FullHd();
    Kest8::Framework::FrameConverter converter(nullptr, KestCv::PF_RGB24);
    converter.Convert(sample->Planar(), roi);
    const long before = AllocationCount();
    for (auto _ : state) {
        converter.Convert(sample->Planar(), roi);
        benchmark::DoNotOptimize(converter.GetData());
    }
    state.counters["allocs_per_frame"] =
        benchmark::Counter(static_cast<double>(AllocationCount() - before) / static_cast<double>(state.iterations()));
    state.SetBytesProcessed(state.iterations() * converter.GetWidth() * converter.GetHeight() * 3);
}

void BareLibyuv(benchmark::State& state, PixelRect roi)
{
    auto sample = FullHd();
    std::vector<uint8_t> out(static_cast<size_t>(roi.width) * roi.height * 3);
    for (auto _ : state) {
        const uint32_t py = sample->GetPitchY(), pc = sample->GetPitchU();
        libyuv::I420ToRAW(sample->GetPlaneY() + roi.y * py + roi.x, static_cast<int>(py),
                          sample->GetPlaneU() + roi.y / 2 * pc + roi.x / 2, static_cast<int>(pc),
                          sample->GetPlaneV() + roi.y / 2 * pc + roi.x / 2, static_cast<int>(pc), out.data(),
                          roi.width * 3, roi.width, roi.height);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(out.size()));
}

void Memcpy(benchmark::State& state, size_t bytes)
{
    std::vector<uint8_t> from(bytes, 1), to(bytes);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}

void FreshPicture(benchmark::State& state, bool hugePages)
{
    constexpr size_t kBytes = size_t{1920} * 1080 * 3;
    constexpr size_t kHugePage = size_t{2} << 20;
    constexpr size_t kLength = (kBytes + kHugePage - 1) / kHugePage * kHugePage;
    const std::vector<uint8_t> from(kBytes, 1);
    for (auto _ : state) {
        void* block = ::operator new (kLength, std::align_val_t{kHugePage});
        if (hugePages) madvise(block, kLength, MADV_HUGEPAGE);
        std::memcpy(block, from.data(), kBytes);
        benchmark::DoNotOptimize(block);
        state.PauseTiming();
        ::operator delete (block, std::align_val_t{kHugePage});
        malloc_trim(0);  // the next block is fresh memory again
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kBytes));
}

const PixelRect kWhole{0, 0, 1920, 1080};
const PixelRect kRegion{640, 300, 640, 480};

BENCHMARK_CAPTURE(Converter, whole_1920x1080, kWhole);
BENCHMARK_CAPTURE(BareLibyuv, whole_1920x1080, kWhole);
BENCHMARK_CAPTURE(Memcpy, whole_1920x1080, size_t{1920} * 1080 * 3);
BENCHMARK_CAPTURE(Converter, region_640x480, kRegion);
BENCHMARK_CAPTURE(BareLibyuv, region_640x480, kRegion);
BENCHMARK_CAPTURE(Memcpy, region_640x480, size_t{640} * 480 * 3);
BENCHMARK_CAPTURE(FreshPicture, small_pages_1920x1080, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(FreshPicture, huge_pages_1920x1080, true)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
