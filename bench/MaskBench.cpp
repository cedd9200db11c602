// The person detector's mask clean-up (3 x 3 opening, 5 x 9 elliptic
// closing) and 8-connected labelling: our allocation-free MaskCleaner
// against the OpenCV calls it replaces, at the detector's image sizes, with
// the allocations made per run.

#include <benchmark/benchmark.h>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <random>
#include <vector>

#include "track/BinaryMask.h"

#include "AllocationCounter.h"

namespace {

using tsdk::detail::ComponentStats;
using tsdk::detail::MaskCleaner;

// What the detector's foreground looks like: a handful of people, specks of
// noise and holes in the people.
cv::Mat Foreground(cv::Size size)
{
    std::mt19937 rng(17);
    cv::Mat mask(size, CV_8UC1);
    for (int y = 0; y < size.height; ++y)
        for (int x = 0; x < size.width; ++x) mask.at<uint8_t>(y, x) = rng() % 100 < 2 ? 255 : 0;
    const int h = size.height / 4;
    for (int i = 0; i < 8; ++i) {
        const cv::Point centre(static_cast<int>(rng() % static_cast<uint32_t>(size.width)),
                               static_cast<int>(rng() % static_cast<uint32_t>(size.height)));
        cv::ellipse(mask, centre, {h / 5, h / 2}, 0, 0, 360, cv::Scalar(255), cv::FILLED);
    }
    for (int i = 0; i < size.area() / 100; ++i)
        mask.at<uint8_t>(static_cast<int>(rng() % static_cast<uint32_t>(size.height)),
                         static_cast<int>(rng() % static_cast<uint32_t>(size.width))) = 0;
    return mask;
}

cv::Size SizeOf(const benchmark::State& state)
{
    return {static_cast<int>(state.range(0)), static_cast<int>(state.range(1))};
}

// OpenCV on its own threads, as in the SDK, or on the calling one.
void OpenCvThreads(const benchmark::State& state)
{
    cv::setNumThreads(state.range(2) != 0 ? -1 : 1);
}

void Allocations(benchmark::State& state, long before)
{
    state.counters["allocs"] =
        benchmark::Counter(static_cast<double>(AllocationCount() - before) / static_cast<double>(state.iterations()));
}

// Copying the mask in is part of every run, ours and OpenCV's alike.
void BM_CleanOurs(benchmark::State& state)
{
    const cv::Mat source = Foreground(SizeOf(state));
    cv::Mat mask = source.clone();
    MaskCleaner cleaner;
    cleaner.Open3x3(mask);
    cleaner.CloseEllipse(mask, {5, 9});
    const long before = AllocationCount();
    for (auto _ : state) {
        source.copyTo(mask);
        cleaner.Open3x3(mask);
        cleaner.CloseEllipse(mask, {5, 9});
        benchmark::DoNotOptimize(mask.data);
    }
    Allocations(state, before);
}

void BM_CleanOursTogether(benchmark::State& state)
{
    const cv::Mat source = Foreground(SizeOf(state));
    cv::Mat mask = source.clone();
    MaskCleaner cleaner;
    cleaner.OpenThenClose(mask, {5, 9});
    const long before = AllocationCount();
    for (auto _ : state) {
        source.copyTo(mask);
        cleaner.OpenThenClose(mask, {5, 9});
        benchmark::DoNotOptimize(mask.data);
    }
    Allocations(state, before);
}

void BM_CleanOpenCv(benchmark::State& state)
{
    OpenCvThreads(state);
    const cv::Mat source = Foreground(SizeOf(state));
    const cv::Mat open = cv::getStructuringElement(cv::MORPH_RECT, {3, 3});
    const cv::Mat close = cv::getStructuringElement(cv::MORPH_ELLIPSE, {5, 9});
    cv::Mat mask = source.clone();
    const long before = AllocationCount();
    for (auto _ : state) {
        source.copyTo(mask);
        cv::morphologyEx(mask, mask, cv::MORPH_OPEN, open);
        cv::morphologyEx(mask, mask, cv::MORPH_CLOSE, close);
        benchmark::DoNotOptimize(mask.data);
    }
    Allocations(state, before);
    cv::setNumThreads(-1);
}

cv::Mat Cleaned(cv::Size size)
{
    cv::Mat mask = Foreground(size);
    MaskCleaner cleaner;
    cleaner.Open3x3(mask);
    cleaner.CloseEllipse(mask, {5, 9});
    return mask;
}

void BM_LabelOurs(benchmark::State& state)
{
    const cv::Mat mask = Cleaned(SizeOf(state));
    MaskCleaner cleaner;
    cv::Mat labels;
    std::vector<ComponentStats> stats;
    int count = cleaner.Label(mask, labels, stats);
    const long before = AllocationCount();
    for (auto _ : state) {
        count = cleaner.Label(mask, labels, stats);
        benchmark::DoNotOptimize(labels.data);
    }
    Allocations(state, before);
    state.counters["components"] = count - 1;
}

void BM_LabelOpenCv(benchmark::State& state)
{
    OpenCvThreads(state);
    const cv::Mat mask = Cleaned(SizeOf(state));
    cv::Mat labels, stats, centroids;
    int count = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
    const long before = AllocationCount();
    for (auto _ : state) {
        count = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
        benchmark::DoNotOptimize(labels.data);
    }
    Allocations(state, before);
    state.counters["components"] = count - 1;
    cv::setNumThreads(-1);
}

// The detector's whole use: clean-up, then labelling.
void BM_DetectorOurs(benchmark::State& state)
{
    const cv::Mat source = Foreground(SizeOf(state));
    cv::Mat mask = source.clone(), labels;
    std::vector<ComponentStats> stats;
    MaskCleaner cleaner;
    cleaner.OpenThenClose(mask, {5, 9});
    cleaner.Label(mask, labels, stats);
    const long before = AllocationCount();
    for (auto _ : state) {
        source.copyTo(mask);
        cleaner.OpenThenClose(mask, {5, 9});
        benchmark::DoNotOptimize(cleaner.Label(mask, labels, stats));
    }
    Allocations(state, before);
}

void BM_DetectorOpenCv(benchmark::State& state)
{
    OpenCvThreads(state);
    const cv::Mat source = Foreground(SizeOf(state));
    const cv::Mat open = cv::getStructuringElement(cv::MORPH_RECT, {3, 3});
    const cv::Mat close = cv::getStructuringElement(cv::MORPH_ELLIPSE, {5, 9});
    cv::Mat mask = source.clone(), labels, stats, centroids;
    cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
    const long before = AllocationCount();
    for (auto _ : state) {
        source.copyTo(mask);
        cv::morphologyEx(mask, mask, cv::MORPH_OPEN, open);
        cv::morphologyEx(mask, mask, cv::MORPH_CLOSE, close);
        benchmark::DoNotOptimize(cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S));
    }
    Allocations(state, before);
    cv::setNumThreads(-1);
}

// Wall-clock time: OpenCV's own threads work while the caller waits.
void Sizes(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"w", "h"});
    b->Args({480, 270})->Args({640, 360});
    b->UseRealTime();
}

void OpenCvSizes(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"w", "h", "threads"});
    for (const int threads : {0, 1}) b->Args({480, 270, threads})->Args({640, 360, threads});
    b->UseRealTime();
}

}  // namespace

BENCHMARK(BM_CleanOurs)->Apply(Sizes);
BENCHMARK(BM_CleanOursTogether)->Apply(Sizes);
BENCHMARK(BM_CleanOpenCv)->Apply(OpenCvSizes);
BENCHMARK(BM_LabelOurs)->Apply(Sizes);
BENCHMARK(BM_LabelOpenCv)->Apply(OpenCvSizes);
BENCHMARK(BM_DetectorOurs)->Apply(Sizes);
BENCHMARK(BM_DetectorOpenCv)->Apply(OpenCvSizes);

BENCHMARK_MAIN();
