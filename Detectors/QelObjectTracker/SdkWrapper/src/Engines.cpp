#include "Engines.h"

#include <fmt/format.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <exception>
#include <map>
#include <mutex>
#include <stdexcept>

#include "KestCv/DynamicThreadPool.h"
#include "Logger.h"
#include "SdkErrors.h"

namespace QelWrapper {
namespace {

std::shared_ptr<KestCvUtils::IDynamicThreadPool> threadPool;
std::mutex poolMutex;
// Only touched inside creation tasks, which run one at a time.
std::map<std::string, fsdk::WeakRef<fsdk::IFaceEngine>> faceEngineCache;
std::map<std::string, std::weak_ptr<Engines::Tracker>> trackerCache;

std::string DataDirectory(const Configurations& config)
{
    return (boost::filesystem::path(config.modulePath) / "QelSdk/gpu" / "data").string();
}

fsdk::ISettingsProviderPtr CreateSettings(const std::string& dataDir, const char* fileName)
{
    const std::string path = (boost::filesystem::path(dataDir) / fileName).string();
    auto created = fsdk::createSettingsProvider(path.c_str());
    if (created.isError()) throw std::runtime_error(fmt::format("Unable to create settings provider for {}", fileName));
    return std::move(created).getValue();
}

}  // namespace

Engines::Tracker::Tracker(tsdk::ITrackEnginePtr engine, fsdk::ISettingsProviderPtr settings)
    : trackEngine(std::move(engine)), trackSettings(std::move(settings))
{
    trackEngine->setBatchedObserver(&batchObserver);
}

Engines::Tracker::~Tracker()
{
    trackEngine->stop();
}

std::string Engines::FaceKey(const Configurations& config)
{
    return fmt::format("device{}x{},threads{}", static_cast<int32_t>(config.deviceType), config.deviceIndex,
                       config.numThreads);
}

std::string Engines::TrackKey(const Configurations& config)
{
    return fmt::format(
        "device{}-{},detectorStep{},detectionsSkipped{},minimalTrackLength{},roiW{},roiH{},scale-result-size{}",
        static_cast<int32_t>(config.deviceType), config.deviceIndex, config.detectorStep, config.detectionsSkipped,
        config.minimalTrackLength, config.roiWidth, config.roiHeight, config.detectorScaling);
}

Engines::Engines(const Configurations& config)
{
    std::lock_guard<std::mutex> lock(poolMutex);
    if (!threadPool) threadPool = KestCvUtils::CreateDynamicThreadPool(nullptr, "QelObjectTracker", 256, 1, 1, true);
    auto creation = threadPool->PostTask([this, &config]() -> std::exception_ptr {
        try {
            InitSdkLogger(config.logger, "ObjectObserver");
            const std::string dataDir = DataDirectory(config);
            GetOrCreateFaceEngine(config, dataDir);
            GetOrCreateTracker(config, dataDir);
            DumpSdkConfigs(faceSettings, runtimeSettings, tracker->trackSettings);
            return nullptr;
        } catch (...) {
            return std::current_exception();
        }
    });
    if (const std::exception_ptr failure = creation.get()) {
        // What the task built goes with this thread; the pool is not asked
        // again for a failed construction.
        std::rethrow_exception(failure);
    }
}

void Engines::GetOrCreateFaceEngine(const Configurations& config, const std::string& dataDir)
{
    const std::string key = FaceKey(config);
    fsdk::WeakRef<fsdk::IFaceEngine>& cached = faceEngineCache[key];
    if (fsdk::IFaceEnginePtr shared = cached.lock()) {
        faceEngine = std::move(shared);
        LogToOurFiles(1, fmt::format("Using shared faceengine, shared props: {}", key).c_str());
        return;
    }
    LogToOurFiles(1, fmt::format("Creating new faceengine, shared props: {}", key).c_str());
    faceSettings = CreateSettings(dataDir, "faceengine.conf");
    runtimeSettings = CreateSettings(dataDir, "runtime.conf");

    runtimeSettings->setValue("Runtime", "numThreads", config.numThreads);
    runtimeSettings->setValue("Runtime", "numComputeStreams", config.numThreads);
    runtimeSettings->setValue("Runtime", "deviceClass", config.deviceType == GPU ? "gpu" : "cpu");
    runtimeSettings->setValue("Runtime", "defaultGpuDevice", config.deviceIndex);
    runtimeSettings->setValue("Runtime", "programCacheSize", 1024);
    const int32_t verbose = IsSdkLogFileOpen() ? 4 : 0;
    faceSettings->setValue("system", "verboseLogging", verbose);
    runtimeSettings->setValue("Runtime", "verboseLogging", verbose);

    auto created = fsdk::createFaceEngine(dataDir.c_str(), nullptr, nullptr);
    if (created.isError())
        throw std::runtime_error(
            fmt::format("Failed to create face engine instance. What: {}", SdkErrorText(created.getError())));
    if (!created.getValue()) throw std::runtime_error("Failed to create face engine instance.");
    faceEngine = std::move(created).getValue();
    faceEngine->setSettingsProvider(faceSettings.get());
    faceEngine->setRuntimeSettingsProvider(runtimeSettings.get());
    cached = faceEngine;
}

void Engines::GetOrCreateTracker(const Configurations& config, const std::string& dataDir)
{
    const std::string key = TrackKey(config);
    std::weak_ptr<Tracker>& cached = trackerCache[key];
    if (std::shared_ptr<Tracker> shared = cached.lock()) {
        tracker = std::move(shared);
        LogToOurFiles(1, fmt::format("Using shared trackengine, shared props: {}", key).c_str());
        return;
    }
    LogToOurFiles(1, fmt::format("Creating new trackengine, shared props: {}", key).c_str());
    fsdk::LaunchOptions launchOptions;
    const bool gpu = config.deviceType != CPU;
    if (gpu) {
        launchOptions.deviceClass = 1;
        launchOptions.runConcurrently = true;
        launchOptions.defaultGpuDevice = config.deviceIndex;
    }
    fsdk::ISettingsProviderPtr settings = CreateSettings(dataDir, "trackengine.conf");

    const bool verbose = IsSdkLogFileOpen();
    settings->setValue("logging", "mode", "l2c");
    settings->setValue("logging", "severity", verbose ? 0 : 3);
    settings->setValue("other", "callback-mode", 1);
    settings->setValue("other", "detector-step", config.detectorStep);
    settings->setValue("other", "skip-frames", config.detectionsSkipped);
    settings->setValue("other", "frg-subtractor", 0);
    settings->setValue("other", "frames-buffer-size", 20);
    settings->setValue("other", "detector-scaling", 1);
    settings->setValue("other", "scale-result-size",
                       std::min(config.detectorScaling, std::max(config.roiWidth, config.roiHeight)));
    settings->setValue("other", "max-detection-count", 128);
    settings->setValue("other", "tracker-type", "qelTracker");
    settings->setValue("face", "face-landmarks-detection", 0);
    settings->setValue("human", "inactive-tracks-lifetime", 50);
    settings->setValue("detectors", "use-face-detector", 0);
    settings->setValue("detectors", "use-body-detector", 1);
    settings->setValue("other", "minimal-track-length", config.minimalTrackLength);

    auto created = tsdk::createTrackEngine(faceEngine.get(), settings.get(), nullptr, gpu ? &launchOptions : nullptr);
    if (created.isError())
        throw std::runtime_error(
            fmt::format("Failed to create tracker engine instance. What: {}", SdkErrorText(created.getError())));
    if (!created.getValue()) throw std::runtime_error("Failed to create tracker engine instance.");
    tracker = std::make_shared<Tracker>(std::move(created).getValue(), std::move(settings));
    cached = tracker;
}

Engines::~Engines()
{
    try {
        // The pool is set once, before any Engines exists; no lock needed.
        if (threadPool) threadPool->PostTask([this] { Release(); }).wait();
    } catch (...) {
        // Refused (or the wait failed): released below on this thread.
    }
    // Nothing here when the task ran; otherwise nothing may leak.
    Release();
}

void Engines::Release() noexcept
{
    tracker.reset();
    faceEngine.reset();
}

tsdk::IStreamPtr Engines::CreateStream(ObjectObserver& observer)
{
    tsdk::IStreamPtr stream = tracker->trackEngine->createStream(nullptr);
    if (!stream) return stream;
    stream->setObserverEnabled(tsdk::StreamObserverType::Tracking, true);
    stream->setObserverEnabled(tsdk::StreamObserverType::Debug, false);
    stream->setObserverEnabled(tsdk::StreamObserverType::Visual, true);
    tracker->batchObserver.Register(stream->getId(), &observer);
    return stream;
}

void Engines::UnregisterStream(const tsdk::IStreamPtr& stream)
{
    if (stream) tracker->batchObserver.Unregister(stream->getId());
}

const tsdk::ITrackEnginePtr& Engines::TrackEngine() const noexcept
{
    return tracker->trackEngine;
}

const fsdk::ISettingsProviderPtr& Engines::TrackSettings() const noexcept
{
    return tracker->trackSettings;
}

BatchObserver& Engines::GetBatchObserver() noexcept
{
    return tracker->batchObserver;
}

}  // namespace QelWrapper
