// Streams one process serves in real time with the neural detector: N
// detectors, each fed from a thread of its own at a camera's frame rate,
// with frames decoded and converted beforehand, so that only the plug-in,
// the wrapper and our SDK spend time. "Detector step" is the plug-in's
// default, 7.
//
// Busy streams play OpenCV's pedestrian clip, where people are always in
// view, forth and back, each from a place of its own, so that nobody jumps.
// Quiet streams show the same place empty: the clip's background (the
// median of frames across it) under fresh camera noise on every frame.
// The first seconds, when the streams start, are counted apart from the
// steady state after; the streams start at the same instant, or join one
// after another over ten seconds.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <opencv2/core.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ClipFrames.h"
#include "Kest8/Analytics.h"
#include "RefHost/Host.h"
#include "RefHost/ModuleLoader.h"
#include "RefHost/Samples.h"

namespace {

// A shared picture under a stream's own time stamp.
class StampedFrame final : public Kest8::MFF::IPlanarBuffer {
public:
    const Kest8::IContract* QueryContract(const char* typeName) const override
    {
        return const_cast<StampedFrame*>(this)->QueryContract(typeName);
    }
    Kest8::IContract* QueryContract(const char* typeName) override
    {
        return Kest8::IsContract<Kest8::MFF::IPlanarBuffer>(typeName) || Kest8::IsContract<Kest8::IContract>(typeName)
                   ? this
                   : nullptr;
    }

    void Show(const RefHost::FrameSample* picture, uint64_t timestamp)
    {
        m_picture = picture;
        m_timestamp = timestamp;
    }
    uint64_t GetTimestamp() const override { return m_timestamp; }
    void Release() override {}
    uint32_t GetWidth() const override { return m_picture->GetWidth(); }
    uint32_t GetHeight() const override { return m_picture->GetHeight(); }
    const uint8_t* GetPlaneY() const override { return m_picture->GetPlaneY(); }
    const uint8_t* GetPlaneU() const override { return m_picture->GetPlaneU(); }
    const uint8_t* GetPlaneV() const override { return m_picture->GetPlaneV(); }
    uint32_t GetSizeU() const override { return m_picture->GetSizeU(); }
    uint32_t GetPitchY() const override { return m_picture->GetPitchY(); }
    uint32_t GetPitchU() const override { return m_picture->GetPitchU(); }
    uint32_t GetPitchV() const override { return m_picture->GetPitchV(); }

private:
    const RefHost::FrameSample* m_picture = nullptr;
    uint64_t m_timestamp = 0;
};

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

using Clock = std::chrono::steady_clock;
using Pictures = std::vector<std::unique_ptr<RefHost::FrameSample>>;

constexpr int kClipFrames = 400;  // 40 seconds
constexpr int kNoisyFrames = 16;  // quiet frames, each with noise of its own

const std::vector<cv::Mat>& Clip()
{
    static const std::vector<cv::Mat> clip = QelBench::ReadClip(kClipFrames);
    return clip;
}

std::unique_ptr<RefHost::FrameSample> Sample(const cv::Mat& rgb)
{
    RefHost::SampleShape shape;
    shape.width = static_cast<uint32_t>(rgb.cols);
    shape.height = static_cast<uint32_t>(rgb.rows);
    return RefHost::FrameSample::FromRgb(shape, rgb.data);
}

Pictures BusyPictures(cv::Size size)
{
    Pictures pictures;
    for (const cv::Mat& frame : Clip()) pictures.push_back(Sample(QelBench::Sized(frame, size)));
    return pictures;
}

Pictures QuietPictures(cv::Size size)
{
    // Each pixel's median over frames spread across the clip: the place
    // without the people who walk through it.
    const std::vector<cv::Mat>& clip = Clip();
    constexpr int kSamples = 25;
    cv::Mat background(clip[0].size(), CV_8UC3);
    std::vector<uint8_t> values(kSamples);
    for (int y = 0; y < background.rows; ++y)
        for (int x = 0; x < background.cols * 3; ++x) {
            for (int i = 0; i < kSamples; ++i) values[i] = clip[i * clip.size() / kSamples].ptr<uint8_t>(y)[x];
            std::nth_element(values.begin(), values.begin() + kSamples / 2, values.end());
            background.ptr<uint8_t>(y)[x] = values[kSamples / 2];
        }
    const cv::Mat sized = QelBench::Sized(background, size);
    Pictures pictures;
    std::mt19937 random(1);
    std::normal_distribution<float> noise(0.f, 2.f);
    for (int i = 0; i < kNoisyFrames; ++i) {
        cv::Mat noisy = sized.clone();
        for (int y = 0; y < noisy.rows; ++y) {
            uint8_t* row = noisy.ptr<uint8_t>(y);
            for (int x = 0; x < noisy.cols * 3; ++x)
                row[x] =
                    static_cast<uint8_t>(std::clamp(static_cast<int>(row[x] + std::lround(noise(random))), 0, 255));
        }
        pictures.push_back(Sample(noisy));
    }
    return pictures;
}

const Pictures& PicturesOf(cv::Size size, bool busy)
{
    static std::vector<std::pair<std::tuple<int, int, bool>, Pictures>> made;
    const auto key = std::make_tuple(size.width, size.height, busy);
    for (const auto& [k, pictures] : made)
        if (k == key) return pictures;
    made.emplace_back(key, busy ? BusyPictures(size) : QuietPictures(size));
    return made.back().second;
}

// The picture of frame f of a stream starting at `first`: forth and back
// through the pictures.
size_t PictureAt(size_t count, size_t first, size_t f)
{
    if (count < 2) return 0;
    const size_t period = 2 * count - 2;
    const size_t at = (first + f) % period;
    return at < count ? at : period - at;
}

void BM_RealTimeStreams(benchmark::State& state)
{
    const auto width = static_cast<int>(state.range(0));
    const auto height = static_cast<int>(state.range(1));
    const bool busy = state.range(2) != 0;
    const auto streams = static_cast<size_t>(state.range(3));
    // Seconds over which the streams join one after another, as a server
    // brings its cameras up; 0: all at once.
    const auto ramp = static_cast<double>(state.range(4));
    constexpr double kFps = 10;
    constexpr double kWarmUpSeconds = 15;
    constexpr double kSeconds = 35;
    const auto frames = static_cast<size_t>(kSeconds * kFps);
    const auto warmUpFrames = static_cast<size_t>(kWarmUpSeconds * kFps);
    const Pictures* pictures = nullptr;
    try {
        pictures = &PicturesOf(cv::Size(width, height), busy);
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }

    RefHost::Host host(1);
    RefHost::LoadedModule module(std::string(QEL_MODULE_DIR) + "/" + RefHost::kModuleLibraryName);
    if (module.Initialize(&host.services, QEL_MODULE_DIR) != 0) {
        state.SkipWithError("the module did not initialise");
        return;
    }
    std::vector<std::unique_ptr<RefHost::Host>> contexts;
    std::vector<Kest8::Analytics::IDetector*> detectors;
    for (size_t s = 0; s < streams; ++s) {
        contexts.push_back(std::make_unique<RefHost::Host>(3));
        detectors.push_back(module.Get()->CreateDetector("QelObjectTracker", &contexts.back()->context));
    }

    const auto interval = std::chrono::duration<double>(1.0 / kFps);
    const auto refusals = [&host] { return host.logger.LinesWithText("failed pushing the frame to stream").size(); };
    std::atomic<long> late{0}, failed{0};
    double cpuBefore = 0;
    size_t refusedBefore = 0;
    size_t reportsBefore = 0;  // one report a frame whose results came back
    double lastRefusal = -1;   // seconds after the start
    for (auto _ : state) {
        std::vector<std::thread> feeders;
        const auto start = Clock::now() + std::chrono::milliseconds(200);
        const auto end = start + std::chrono::duration_cast<Clock::duration>(interval * static_cast<double>(frames));
        // Watches the refusals, and marks where the steady state starts.
        std::thread meter([&] {
            const auto steady =
                start + std::chrono::duration_cast<Clock::duration>(interval * static_cast<double>(warmUpFrames));
            bool marked = false;
            size_t seen = 0;
            for (auto now = start; now < end; now += std::chrono::milliseconds(100)) {
                std::this_thread::sleep_until(now);
                if (!marked && now >= steady) {
                    cpuBefore = CpuSeconds();
                    refusedBefore = refusals();
                    reportsBefore = host.targets.CreatedLists();
                    marked = true;
                }
                const size_t count = refusals();
                if (count != seen) lastRefusal = std::chrono::duration<double>(now - start).count();
                seen = count;
            }
        });
        for (size_t s = 0; s < streams; ++s) {
            feeders.emplace_back([&, s] {
                auto* receiver = Kest8::QueryContractAs<Kest8::Analytics::IMediaReceiver>(detectors[s]);
                StampedFrame frame;
                // Spread over the interval, as independent cameras are.
                const auto offset = std::chrono::duration_cast<Clock::duration>(
                    interval * (static_cast<double>(s) / static_cast<double>(streams)));
                const auto joins =
                    static_cast<size_t>(ramp * kFps * static_cast<double>(s) / static_cast<double>(streams));
                const size_t first = s * 37;
                for (size_t f = joins; f < frames; ++f) {
                    const auto due =
                        start + offset + std::chrono::duration_cast<Clock::duration>(interval * static_cast<double>(f));
                    std::this_thread::sleep_until(due);
                    frame.Show((*pictures)[PictureAt(pictures->size(), first, f)].get(),
                               static_cast<uint64_t>(1000.0 * static_cast<double>(f) / kFps));
                    const int32_t answer = receiver->Receive(&frame);
                    if (answer != 0) {
                        if (failed++ == 0 && std::getenv("QEL_BENCH_LOG") != nullptr)
                            std::fprintf(stderr, "Receive answered %d\n", answer);
                    }
                    if (f >= warmUpFrames && Clock::now() > due + interval) ++late;
                }
            });
        }
        for (std::thread& feeder : feeders) feeder.join();
        meter.join();
    }
    const double cpu = CpuSeconds() - cpuBefore;
    const auto reports = static_cast<double>(host.targets.CreatedLists() - reportsBefore);
    const auto refused = refusals() - refusedBefore;
    if (std::getenv("QEL_BENCH_LOG") != nullptr)
        for (const auto& text : host.logger.Texts()) std::fprintf(stderr, "%s\n", text.c_str());
    for (auto* detector : detectors) detector->Destroy();
    module.Finalize();

    const double steadySeconds = static_cast<double>(frames - warmUpFrames) / kFps;
    const double total = static_cast<double>(frames - warmUpFrames) * static_cast<double>(streams);
    state.counters["streams"] = static_cast<double>(streams);
    // Steady state, and the first seconds.
    state.counters["refused"] = static_cast<double>(refused);
    state.counters["refused_at_start"] = static_cast<double>(refusedBefore);
    state.counters["last_refusal_s"] = lastRefusal;
    state.counters["late_share"] = static_cast<double>(late.load()) / total;
    state.counters["receive_errors"] = static_cast<double>(failed.load());
    // What a second of one stream costs the process, and the streams that
    // would fill every core of the machine at that cost.
    const double perStreamSecond = cpu / (steadySeconds * static_cast<double>(streams));
    state.counters["cpu_ms_per_stream_s"] = 1000.0 * perStreamSecond;
    // Streams near the machine's limit may fall behind at the start and
    // catch up in the steady state, whose CPU then pays for frames of the
    // start too: per frame whose results came back it does not.
    state.counters["frames_done_share"] = reports / total;
    if (reports > 0) state.counters["cpu_ms_per_done_frame_x_fps"] = 1000.0 * cpu / reports * kFps;
    state.counters["streams_at_full_load"] = std::thread::hardware_concurrency() / perStreamSecond;
}
BENCHMARK(BM_RealTimeStreams)
    ->ArgNames({"width", "height", "busy", "streams", "ramp"})
    ->Args({640, 360, 1, 12, 10})
    ->Args({640, 360, 1, 14, 10})
    ->Args({1920, 1080, 1, 10, 10})
    ->Args({1920, 1080, 1, 12, 10})
    ->Args({640, 360, 0, 60, 10})
    ->Args({1920, 1080, 0, 12, 10})
    ->Args({640, 360, 1, 14, 0})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
