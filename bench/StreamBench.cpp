// Frames through a track engine's stream as a camera's stream sends them:
// each pushed with its frame data, a few waiting for their results at once,
// the results read by the observer. Then the same through the wrapper: the
// conversion, the push and the result queue. The blob detector (its SDK
// data) on light boxes moving over a plain background, so that every frame
// has tracks. CPU time is the whole process's, the SDK's worker and delivery
// threads included; so are the page faults counted per frame.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ObjectObserver.h"
#include "RefHost/Logger.h"
#include "RefHost/Samples.h"
#include "fsdk/FaceEngineSDK.h"
#include "tsdk/TrackEngine.h"

namespace {

const std::string kDataDir = std::string(QEL_BLOB_MODULE_DIR) + "/QelSdk/gpu/data";

// Frames of one stream that wait for their results at once.
constexpr long kInFlight = 4;
// Pictures rendered beforehand, played forth and back.
constexpr int kPositions = 24;

// Four light boxes of a person's shape on a dark plain background.
std::vector<std::vector<uint8_t>> Pictures(int width, int height)
{
    std::vector<std::vector<uint8_t>> pictures;
    const int boxWidth = width / 24, boxHeight = height / 4;
    for (int p = 0; p < kPositions; ++p) {
        std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3, 40);
        for (int k = 0; k < 4; ++k) {
            const int step = (k % 2 == 0 ? 1 : -1) * (k + 1) * width / 400;
            const int left = width / 10 + k * width / 5 + p * step;
            const int top = height / 3 + k * height / 20;
            for (int y = top; y < top + boxHeight; ++y)
                for (int x = left; x < left + boxWidth; ++x)
                    for (int c = 0; c < 3; ++c) rgb[(static_cast<size_t>(y) * width + x) * 3 + c] = 220;
        }
        pictures.push_back(std::move(rgb));
    }
    return pictures;
}

long MinorFaults()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

int Position(long frame)
{
    const long turn = frame % (2 * kPositions - 2);
    return static_cast<int>(turn < kPositions ? turn : 2 * kPositions - 2 - turn);
}

struct Stamp final : tsdk::AdditionalFrameData {
    explicit Stamp(uint64_t value) : value(value) {}
    uint64_t value;
};

// Reads every result as a host's observer would, and counts them.
class Counter final : public tsdk::ITrackingResultObserver {
public:
    void batchTrackingResult(const fsdk::Ref<tsdk::ITrackingResultBatch>& batch) override
    {
        long results = 0, objects = 0;
        uint64_t stamps = 0;
        for (const uint32_t stream : batch->getStreamIds()) {
            for (const uint32_t frameId : batch->getStreamFrameIds(stream)) {
                const tsdk::TrackingResult result = batch->getTrackingResult(stream, frameId);
                ++results;
                objects += static_cast<long>(result.objects.size);
                if (const auto* stamp = dynamic_cast<const Stamp*>(result.additionalData)) stamps += stamp->value;
            }
        }
        benchmark::DoNotOptimize(stamps);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_results += results;
            m_objects += objects;
        }
        m_changed.notify_all();
    }

    void WaitFor(long results)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return m_results >= results; });
    }
    long Objects()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_objects;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    long m_results = 0;
    long m_objects = 0;
};

void SdkStream(benchmark::State& state)
{
    const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
    const auto streamCount = static_cast<size_t>(state.range(2));
    const auto pictures = Pictures(width, height);

    auto face = fsdk::createFaceEngine(kDataDir.c_str(), nullptr, (kDataDir + "/runtime.conf").c_str());
    auto settings = fsdk::createSettingsProvider((kDataDir + "/trackengine.conf").c_str());
    if (face.isError() || settings.isError()) {
        state.SkipWithError("no engines of the blob detector's data");
        return;
    }
    face.value->getRuntimeSettingsProvider()->setValue("Runtime", "numThreads", 2);
    auto engine = tsdk::createTrackEngine(face.value.get(), settings.value.get());
    if (engine.isError()) {
        state.SkipWithError("no track engine");
        return;
    }
    Counter counter;
    engine.value->setBatchedObserver(&counter);
    std::vector<tsdk::IStreamPtr> streams;
    for (size_t s = 0; s < streamCount; ++s) streams.push_back(engine.value->createStream());

    std::vector<fsdk::Image> images;
    for (const auto& rgb : pictures) images.emplace_back(width, height, fsdk::Format::R8G8B8, rgb.data(), false);
    long pushed = 0, refused = 0;
    const long window = kInFlight * static_cast<long>(streamCount);
    const long faults = MinorFaults();
    for (auto _ : state) {
        const fsdk::Image& image = images[static_cast<size_t>(Position(pushed / static_cast<long>(streamCount)))];
        tsdk::IStream& stream = *streams[static_cast<size_t>(pushed) % streamCount];
        if (stream.pushFrame(image, static_cast<uint32_t>(pushed), new Stamp(static_cast<uint64_t>(pushed))))
            ++pushed;
        else
            ++refused;
        counter.WaitFor(pushed - window + 1);
    }
    for (const tsdk::IStreamPtr& stream : streams) stream->join();
    state.counters["faults_per_frame"] =
        static_cast<double>(MinorFaults() - faults) / static_cast<double>(std::max(pushed, 1L));
    state.counters["objects_per_frame"] = static_cast<double>(counter.Objects()) / static_cast<double>(pushed);
    state.counters["refused"] = static_cast<double>(refused);
    streams.clear();
    engine.value->stop();
}

void WrapperStream(benchmark::State& state)
{
    const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
    std::vector<std::unique_ptr<RefHost::FrameSample>> samples;
    for (const auto& rgb : Pictures(width, height)) {
        RefHost::SampleShape shape;
        shape.width = static_cast<uint32_t>(width);
        shape.height = static_cast<uint32_t>(height);
        samples.push_back(RefHost::FrameSample::FromRgb(shape, rgb.data()));
    }
    RefHost::Logger logger(1);
    QelWrapper::Configurations config;
    config.logger = &logger;
    config.modulePath = QEL_BLOB_MODULE_DIR;
    config.frameWidth = config.roiWidth = width;
    config.frameHeight = config.roiHeight = height;
    config.numThreads = 2;
    QelWrapper::ObjectObserver observer(config);

    QelWrapper::FrameResult result;
    long pushed = 0, popped = 0, refused = 0, objects = 0;
    const auto take = [&] {
        if (!observer.PopResult(result)) return false;
        ++popped;
        objects += static_cast<long>(result.objects.size());
        return true;
    };
    const long faults = MinorFaults();
    for (auto _ : state) {
        auto& sample = *samples[static_cast<size_t>(Position(pushed))];
        sample.SetTimestamp(static_cast<uint64_t>(pushed) * 40);
        if (observer.PushFrame(sample.Planar()))
            ++pushed;
        else
            ++refused;
        while (take()) {
        }
        // The wrapper's queue is polled, as the plug-in does; the wait
        // itself costs no CPU.
        while (pushed - popped >= kInFlight)
            if (!take()) std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    observer.Stop();
    while (take()) {
    }
    state.counters["faults_per_frame"] =
        static_cast<double>(MinorFaults() - faults) / static_cast<double>(std::max(pushed, 1L));
    state.counters["objects_per_frame"] = static_cast<double>(objects) / static_cast<double>(popped);
    state.counters["refused"] = static_cast<double>(refused);
}

BENCHMARK(SdkStream)
    ->ArgNames({"width", "height", "streams"})
    ->Args({1920, 1080, 1})
    ->Args({640, 360, 1})
    ->Args({640, 360, 8})
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(WrapperStream)
    ->ArgNames({"width", "height"})
    ->Args({1920, 1080})
    ->Args({640, 360})
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
