// Streams one process serves in real time: N detectors, each fed from a
// thread of its own at a camera's frame rate, with frames of the built-in
// scene rendered and converted beforehand, so that only the plug-in, the
// wrapper and our SDK spend time. A stream keeps up when none of its frames
// is refused and its Receive calls fit their frame interval.
//
// Every stream plays the scene on without ever jumping back: a scene played
// in a loop makes everyone vanish and reappear elsewhere at each turn, which
// no camera shows and which costs the detector far more than people walking
// do. The first seconds, when the streams start and each makes its first
// whole-frame look, are counted apart from the steady state after: with
// every stream starting at the same moment, and with the streams joining
// one after another over ten seconds.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Kest8/Analytics.h"
#include "RefHost/Host.h"
#include "RefHost/ModuleLoader.h"
#include "RefHost/Samples.h"
#include "Scene/Generator.h"

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

std::vector<std::unique_ptr<RefHost::FrameSample>> Pictures(uint32_t width, uint32_t height, double fps, uint32_t count)
{
    Scene::Settings settings;
    settings.width = width;
    settings.height = height;
    settings.fps = fps;
    settings.frames = count;
    const Scene::Generator scene(settings);
    RefHost::SampleShape shape;
    shape.width = width;
    shape.height = height;
    std::vector<std::unique_ptr<RefHost::FrameSample>> pictures;
    std::vector<uint8_t> rgb;
    for (uint32_t f = 0; f < scene.FrameCount(); ++f) {
        scene.Render(f, rgb);
        pictures.push_back(RefHost::FrameSample::FromRgb(shape, rgb.data()));
    }
    return pictures;
}

void BM_RealTimeStreams(benchmark::State& state)
{
    const auto width = static_cast<uint32_t>(state.range(0));
    const auto height = static_cast<uint32_t>(state.range(1));
    const auto fps = static_cast<double>(state.range(2));
    const auto streams = static_cast<size_t>(state.range(3));
    // Seconds over which the streams join one after another, as a server
    // brings its cameras up; 0: all at once.
    const auto ramp = static_cast<double>(state.range(4));
    constexpr double kWarmUpSeconds = 15;
    constexpr double kSeconds = 25;
    const auto frames = static_cast<size_t>(kSeconds * fps);
    const auto warmUpFrames = static_cast<size_t>(kWarmUpSeconds * fps);
    // The built-in scene's minute (six people and a car), every stream
    // starting at a place of its own: together the streams see all of it,
    // its crowded and its quiet moments, as cameras of one site would.
    const auto scene = static_cast<size_t>(60 * fps);
    const auto pictures = Pictures(width, height, fps, static_cast<uint32_t>(scene));
    const auto firstPicture = [&](size_t s) { return s * (scene - frames) / streams; };

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

    const auto interval = std::chrono::duration<double>(1.0 / fps);
    const auto refusals = [&host] { return host.logger.LinesWithText("failed pushing the frame to stream").size(); };
    std::atomic<long> late{0}, failed{0};
    double cpuBefore = 0;
    size_t refusedBefore = 0;
    for (auto _ : state) {
        std::vector<std::thread> feeders;
        const auto start = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        // The steady state starts when every stream has played its first
        // seconds.
        std::thread meter([&] {
            std::this_thread::sleep_until(start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                      interval * static_cast<double>(warmUpFrames)));
            cpuBefore = CpuSeconds();
            refusedBefore = refusals();
        });
        for (size_t s = 0; s < streams; ++s) {
            feeders.emplace_back([&, s] {
                auto* receiver = Kest8::QueryContractAs<Kest8::Analytics::IMediaReceiver>(detectors[s]);
                StampedFrame frame;
                // Spread over the interval, as independent cameras are.
                const auto offset = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                    interval * (static_cast<double>(s) / static_cast<double>(streams)));
                const auto joins =
                    static_cast<size_t>(ramp * fps * static_cast<double>(s) / static_cast<double>(streams));
                for (size_t f = joins; f < frames; ++f) {
                    const auto due = start + offset +
                                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                         interval * static_cast<double>(f));
                    std::this_thread::sleep_until(due);
                    frame.Show(pictures[firstPicture(s) + f].get(),
                               static_cast<uint64_t>(1000.0 * static_cast<double>(f) / fps));
                    const int32_t answer = receiver->Receive(&frame);
                    if (answer != 0) {
                        if (failed++ == 0 && std::getenv("QEL_BENCH_LOG") != nullptr)
                            std::fprintf(stderr, "Receive answered %d\n", answer);
                    }
                    if (f >= warmUpFrames && std::chrono::steady_clock::now() > due + interval) ++late;
                }
            });
        }
        for (std::thread& feeder : feeders) feeder.join();
        meter.join();
    }
    const double cpu = CpuSeconds() - cpuBefore;
    const auto refusedAll = refusals();
    const auto refused = refusedAll - refusedBefore;
    if (std::getenv("QEL_BENCH_LOG") != nullptr)
        for (const auto& text : host.logger.Texts()) std::fprintf(stderr, "%s\n", text.c_str());
    for (auto* detector : detectors) detector->Destroy();
    module.Finalize();

    const double total = static_cast<double>((frames - warmUpFrames) * streams);
    state.counters["streams"] = static_cast<double>(streams);
    // Steady state, and the first seconds.
    state.counters["refused"] = static_cast<double>(refused);
    state.counters["refused_at_start"] = static_cast<double>(refusedBefore);
    state.counters["late_share"] = static_cast<double>(late.load()) / total;
    state.counters["receive_errors"] = static_cast<double>(failed.load());
    // What a frame costs the process, and the streams that would fill every
    // core of the machine at that cost.
    const double cpuPerFrame = cpu / (total - static_cast<double>(refused));
    state.counters["cpu_ms_per_frame"] = 1000.0 * cpuPerFrame;
    state.counters["streams_at_full_load"] = std::thread::hardware_concurrency() / (cpuPerFrame * fps);
}
BENCHMARK(BM_RealTimeStreams)
    ->ArgNames({"width", "height", "fps", "streams", "ramp"})
    ->Args({1920, 1080, 10, 4, 0})
    ->Args({1920, 1080, 10, 40, 0})
    ->Args({1920, 1080, 10, 40, 10})
    ->Args({640, 360, 25, 4, 0})
    ->Args({640, 360, 25, 60, 0})
    ->Args({640, 360, 25, 60, 10})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
