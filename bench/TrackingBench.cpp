// Per-frame cost of our SDK's tracking of one stream: the person detector
// every detector-step frames and the following in between, on a generated
// scene of people walking, with the allocations made per frame.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "Scene/Generator.h"
#include "track/Config.h"
#include "track/Detector.h"
#include "track/StreamTracker.h"

#include "AllocationCounter.h"

namespace {

// Frames 0 to 139 of the default scene (640 by 360, six people, 10 frames a
// second), rendered once.
const std::vector<std::vector<uint8_t>>& Frames()
{
    static const std::vector<std::vector<uint8_t>> frames = [] {
        Scene::Settings settings;
        settings.frames = 140;
        const Scene::Generator scene(settings);
        std::vector<std::vector<uint8_t>> out(scene.FrameCount());
        for (uint32_t f = 0; f < scene.FrameCount(); ++f) scene.Render(f, out[f]);
        return out;
    }();
    return frames;
}

// The engine's settings as the wrapper writes them, at a detector step.
tsdk::detail::EngineConfig Config(int step)
{
    tsdk::detail::EngineConfig config;
    config.detectorStep = step;
    config.skipFrames = 18;
    config.inactiveTracksLifetime = 50;
    config.scaleResultSize = 640;
    config.minimalTrackLength = 1;
    return config;
}

void BM_TrackSceneFrame(benchmark::State& state)
{
    const auto& frames = Frames();
    const tsdk::detail::EngineConfig config = Config(static_cast<int>(state.range(0)));
    tsdk::detail::TrackIdSource ids;
    auto tracker = std::make_unique<tsdk::detail::StreamTracker>(config, ids, tsdk::detail::CreateDetector(config));
    std::vector<tsdk::TrackedObject> objects;
    std::vector<int32_t> finished;
    objects.reserve(64);
    finished.reserve(64);
    size_t next = 0;
    long allocated = 0, counted = 0;
    for (auto _ : state) {
        if (next == frames.size()) {
            // The scene starts again on a stream of its own.
            state.PauseTiming();
            tracker = std::make_unique<tsdk::detail::StreamTracker>(config, ids, tsdk::detail::CreateDetector(config));
            next = 0;
            state.ResumeTiming();
        }
        const fsdk::Image image(640, 360, fsdk::Format::R8G8B8, frames[next].data(), false);
        objects.clear();
        finished.clear();
        const long before = AllocationCount();
        tracker->Process(image, objects, finished);
        // The first runs size the model and the scratch memory.
        if (next >= 2 * static_cast<size_t>(config.detectorStep)) {
            allocated += AllocationCount() - before;
            ++counted;
        }
        benchmark::DoNotOptimize(objects.data());
        ++next;
    }
    state.counters["allocations_per_frame"] =
        benchmark::Counter(counted > 0 ? static_cast<double>(allocated) / static_cast<double>(counted) : 0.0);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TrackSceneFrame)->Arg(7)->Arg(1)->ArgName("detector_step")->Unit(benchmark::kMicrosecond);

// The steady state of one stream as a server runs it: the scene played on
// without jumping back, at a camera's frame rate, with the engine's own
// settings (faces included) and its default detector step; each frame is
// rendered outside the timing, the stream's first frames are not timed.
void BM_TrackContinuousScene(benchmark::State& state)
{
    constexpr uint32_t kFrames = 1000;
    constexpr uint32_t kWarmUp = 30;
    Scene::Settings settings;
    settings.frames = kFrames + kWarmUp;
    settings.fps = static_cast<double>(state.range(0));
    const Scene::Generator scene(settings);
    tsdk::detail::EngineConfig config = Config(7);
    config.person.faceModel = QEL_FACE_MODEL;
    tsdk::detail::TrackIdSource ids;
    tsdk::detail::StreamTracker tracker(config, ids, tsdk::detail::CreateDetector(config));
    std::vector<tsdk::TrackedObject> objects;
    std::vector<int32_t> finished;
    std::vector<uint8_t> rgb;
    const auto track = [&] {
        const fsdk::Image image(640, 360, fsdk::Format::R8G8B8, rgb.data(), false);
        objects.clear();
        finished.clear();
        tracker.Process(image, objects, finished);
        benchmark::DoNotOptimize(objects.data());
    };
    for (uint32_t f = 0; f < kWarmUp; ++f) {
        scene.Render(f, rgb);
        track();
    }
    uint32_t next = kWarmUp;
    for (auto _ : state) {
        state.PauseTiming();
        scene.Render(next++, rgb);
        state.ResumeTiming();
        track();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TrackContinuousScene)->Arg(25)->Arg(10)->ArgName("fps")->Iterations(1000)->Unit(benchmark::kMicrosecond);

// The detection stage alone, as one detector run on one core: the
// foreground, its candidates and the HOG check of the people in them, on
// every frame of the scene, with the people it found as the tracker's hints.
void BM_DetectSceneFrame(benchmark::State& state)
{
    const auto& frames = Frames();
    const tsdk::detail::EngineConfig config = Config(1);
    auto detector = tsdk::detail::CreateDetector(config);
    std::vector<tsdk::detail::Detection> detections;
    std::vector<tsdk::detail::TrackHint> hints;
    std::vector<float> presence;
    hints.reserve(128);
    presence.reserve(128);
    size_t next = 0, found = 0;
    for (auto _ : state) {
        if (next == frames.size()) {
            state.PauseTiming();
            detector = tsdk::detail::CreateDetector(config);
            hints.clear();
            next = 0;
            state.ResumeTiming();
        }
        const fsdk::Image image(640, 360, fsdk::Format::R8G8B8, frames[next].data(), false);
        presence.assign(hints.size(), -1.f);
        tsdk::detail::DetectionContext context;
        context.tracks = {hints.data(), hints.size()};
        context.presence = {presence.data(), presence.size()};
        detector->Detect(image, context, detections);
        hints.clear();
        for (const auto& d : detections) hints.push_back({d.box, true, false, d.person});
        found += detections.size();
        ++next;
    }
    state.counters["detections_per_frame"] =
        benchmark::Counter(static_cast<double>(found) / static_cast<double>(state.iterations()));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DetectSceneFrame)->Unit(benchmark::kMicrosecond);

// A stream's first detector run, which also looks at the whole picture for
// the people in view from the start: what every stream costs once when a
// server starts its cameras.
void BM_FirstLook(benchmark::State& state)
{
    // A stream's first frame, at the detection size the wrapper asks for:
    // 640 by 360 as it comes, 1920 by 1080 scaled to 960 wide.
    const auto width = static_cast<uint32_t>(state.range(0));
    const uint32_t height = width * 9 / 16;
    std::vector<uint8_t> rgb;
    Scene::Settings settings;
    settings.width = width;
    settings.height = height;
    settings.frames = 140;
    Scene::Generator(settings).Render(0, rgb);
    tsdk::detail::EngineConfig config = Config(7);
    config.scaleResultSize = std::min<int>(static_cast<int>(width), 960);
    config.person.faceModel = QEL_FACE_MODEL;
    auto detector = tsdk::detail::CreateDetector(config);
    std::vector<tsdk::detail::Detection> detections;
    const fsdk::Image image(static_cast<int>(width), static_cast<int>(height), fsdk::Format::R8G8B8, rgb.data(), false);
    for (auto _ : state) {
        state.PauseTiming();
        detector = tsdk::detail::CreateDetector(config);
        state.ResumeTiming();
        detector->Detect(image, tsdk::detail::DetectionContext{}, detections);
        benchmark::DoNotOptimize(detections.data());
    }
}
BENCHMARK(BM_FirstLook)->Arg(640)->Arg(1920)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
