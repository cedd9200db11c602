// HOG people detection as the person detector runs it: our detector against
// OpenCV's HOGDescriptor::detectMultiScale on a whole 640 x 360 frame and on
// a 200 x 300 crop around a person, with the allocations made per call.
// Arguments: w, h; look 0 around a person (stride 4, step 1.09, 9 levels),
// 1 over the whole image (stride 8, step 1.1, 12 levels); detector 0 the
// default one, 1 Daimler's. Ours also without AVX2.

#include <benchmark/benchmark.h>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

#include <vector>

#include "Scene/Generator.h"
#include "track/Hog.h"

#include "AllocationCounter.h"

namespace {

using tsdk::detail::HogPeopleDetector;

struct Look {
    cv::Size stride;
    double scale;
    int levels;
    double threshold[2];  // default, Daimler
};
// The person detector's thresholds.
const Look kLooks[] = {{{4, 4}, 1.09, 9, {-0.3, 0.5}}, {{8, 8}, 1.1, 12, {0.9, 1.7}}};

// A frame of the generated scene with people in it, or the middle of one.
cv::Mat Picture(const benchmark::State& state)
{
    const Scene::Generator scene(Scene::Settings{});
    std::vector<uint8_t> rgb;
    scene.Render(160, rgb);
    const cv::Mat colour(static_cast<int>(scene.settings().height), static_cast<int>(scene.settings().width), CV_8UC3,
                         rgb.data());
    cv::Mat grey;
    cv::cvtColor(colour, grey, cv::COLOR_RGB2GRAY);
    const cv::Size size(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    if (size == grey.size()) return grey;
    return grey(cv::Rect((grey.cols - size.width) / 2, (grey.rows - size.height) / 2, size.width, size.height)).clone();
}

void Allocations(benchmark::State& state, long before, size_t found)
{
    state.counters["allocs"] =
        benchmark::Counter(static_cast<double>(AllocationCount() - before) / static_cast<double>(state.iterations()));
    state.counters["found"] = static_cast<double>(found);
}

void HogOurs(benchmark::State& state, bool baselineOnly)
{
    HogPeopleDetector::BaselineOnly(baselineOnly);
    const cv::Mat grey = Picture(state);
    const Look& look = kLooks[state.range(2)];
    const int detector = static_cast<int>(state.range(3));
    HogPeopleDetector hog = detector == 0 ? HogPeopleDetector::Default() : HogPeopleDetector::Daimler();
    std::vector<cv::Rect> found;
    std::vector<double> weights;
    hog.DetectMultiScale(grey, found, weights, look.threshold[detector], look.stride, look.scale, look.levels);
    const long before = AllocationCount();
    for (auto _ : state) {
        hog.DetectMultiScale(grey, found, weights, look.threshold[detector], look.stride, look.scale, look.levels);
        benchmark::DoNotOptimize(found.data());
    }
    Allocations(state, before, found.size());
    HogPeopleDetector::BaselineOnly(false);
}

void BM_HogOurs(benchmark::State& state)
{
    HogOurs(state, false);
}

// Without AVX2, as on processors that lack it.
void BM_HogOursBaseline(benchmark::State& state)
{
    HogOurs(state, true);
}

// On the calling thread, as the SDK has it.
void BM_HogOpenCv(benchmark::State& state)
{
    cv::setNumThreads(0);
    const cv::Mat grey = Picture(state);
    const Look& look = kLooks[state.range(2)];
    const int detector = static_cast<int>(state.range(3));
    cv::HOGDescriptor hog(detector == 0 ? cv::Size(64, 128) : cv::Size(48, 96), cv::Size(16, 16), cv::Size(8, 8),
                          cv::Size(8, 8), 9);
    hog.setSVMDetector(detector == 0 ? cv::HOGDescriptor::getDefaultPeopleDetector()
                                     : cv::HOGDescriptor::getDaimlerPeopleDetector());
    hog.nlevels = look.levels;
    std::vector<cv::Rect> found;
    std::vector<double> weights;
    hog.detectMultiScale(grey, found, weights, look.threshold[detector], look.stride, {0, 0}, look.scale, 1.0, false);
    const long before = AllocationCount();
    for (auto _ : state) {
        hog.detectMultiScale(grey, found, weights, look.threshold[detector], look.stride, {0, 0}, look.scale, 1.0,
                             false);
        benchmark::DoNotOptimize(found.data());
    }
    Allocations(state, before, found.size());
    cv::setNumThreads(-1);
}

void Sizes(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"w", "h", "look", "detector"});
    for (const int detector : {0, 1})
        for (const int look : {0, 1}) b->Args({200, 300, look, detector})->Args({640, 360, look, detector});
    b->Unit(benchmark::kMillisecond);
}

}  // namespace

BENCHMARK(BM_HogOurs)->Apply(Sizes);
BENCHMARK(BM_HogOursBaseline)->Apply(Sizes);
BENCHMARK(BM_HogOpenCv)->Apply(Sizes);

BENCHMARK_MAIN();
