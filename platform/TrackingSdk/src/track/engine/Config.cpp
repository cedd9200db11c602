#include "track/engine/Config.h"

#include <algorithm>
#include <thread>

#include "common/SdkLog.h"
#include "track/detection/Detector.h"

namespace tsdk::detail {
namespace {

class Reader {
public:
    Reader(const fsdk::ISettingsProvider* settings, const EngineConfig& config) : m_settings(settings), m_config(config)
    {
    }

    // The value of [section] key, or `fallback` when absent; values out of
    // [low, high] are clamped and said so.
    int Int(const char* section, const char* key, int fallback, int low, int high) const
    {
        int32_t value = fallback;
        if (m_settings == nullptr) return fallback;
        if (!m_settings->getInt(section, key, &value)) {
            if (m_settings->getText(section, key) != nullptr)
                fsdk::log::printf(m_config.logs(fsdk::log::Warning), fsdk::log::Warning,
                                  "track engine: [{}] {} must be an integer, using {}", section, key, fallback);
            return fallback;
        }
        const int clamped = std::clamp<int>(value, low, high);
        if (clamped != value)
            fsdk::log::printf(m_config.logs(fsdk::log::Warning), fsdk::log::Warning,
                              "track engine: [{}] {} = {} is out of range, using {}", section, key, value, clamped);
        return clamped;
    }

    std::string Text(const char* section, const char* key, const char* fallback) const
    {
        const char* value = m_settings ? m_settings->getText(section, key) : nullptr;
        return value ? value : fallback;
    }

private:
    const fsdk::ISettingsProvider* m_settings;
    const EngineConfig& m_config;
};

int DefaultThreads()
{
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware == 0 ? 2 : static_cast<int>(std::min(hardware, 8u));
}

}  // namespace

fsdk::FSDKError ReadEngineConfig(const fsdk::ISettingsProvider* settings, const fsdk::ISettingsProvider* runtime,
                                 const fsdk::LaunchOptions* launchOptions, EngineConfig& config)
{
    config = EngineConfig();
    const Reader track(settings, config);

    // Logging first, so that what follows is reported as asked.
    config.logSeverity = track.Int("logging", "severity", 2, 0, 3);
    const std::string mode = track.Text("logging", "mode", "l2c");
    config.logToCallback = mode != "none";
    if (mode != "l2c" && mode != "none")
        fsdk::log::printf(config.logs(fsdk::log::Warning), fsdk::log::Warning,
                          "track engine: [logging] mode '{}' is unknown, using l2c", mode);

    const Reader run(runtime, config);
    config.workerThreads = run.Int("Runtime", "numThreads", DefaultThreads(), 1, 64);
    const std::string deviceClass = run.Text("Runtime", "deviceClass", "cpu");
    if (deviceClass != "cpu" && deviceClass != "gpu")
        fsdk::log::printf(config.logs(fsdk::log::Warning), fsdk::log::Warning,
                          "track engine: [Runtime] deviceClass '{}' is unknown, using cpu", deviceClass);
    config.gpu = deviceClass == "gpu";
    config.gpuDevice = run.Int("Runtime", "defaultGpuDevice", 0, 0, 255);
    if (launchOptions != nullptr) {
        config.gpu = launchOptions->deviceClass == 1;
        config.gpuDevice = std::clamp<int>(launchOptions->defaultGpuDevice, 0, 255);
    }

    const int callbackMode = track.Int("other", "callback-mode", 1, 1, 1);
    (void)callbackMode;  // results are always delivered in batches
    config.detectorStep = track.Int("other", "detector-step", 1, 1, 1000);
    config.skipFrames = track.Int("other", "skip-frames", 0, 0, 100000);
    config.inactiveTracksLifetime = track.Int("human", "inactive-tracks-lifetime", 0, 0, 100000);
    config.framesBufferSize = track.Int("other", "frames-buffer-size", 20, 1, 4096);
    config.detectorScaling = track.Int("other", "detector-scaling", 1, 0, 1) == 1;
    config.scaleResultSize = track.Int("other", "scale-result-size", 640, 16, 16384);
    config.maxDetectionCount = track.Int("other", "max-detection-count", 128, 1, 1024);
    config.minimalTrackLength = track.Int("other", "minimal-track-length", 1, 1, 100000);
    config.associationOverlapPercent = track.Int("other", "association-overlap", 30, 1, 100);
    config.highScorePercent = track.Int("other", "high-detection-score", 30, 0, 100);
    config.lowScorePercent = track.Int("other", "low-detection-score", 15, 0, config.highScorePercent);
    config.personScorePercent = track.Int("other", "person-score", 28, 1, 100);
    config.stillPersonScorePercent = track.Int("other", "still-person-score", 45, 1, 100);
    config.useBodyDetector = track.Int("detectors", "use-body-detector", 1, 0, 1) == 1;
    if (track.Int("detectors", "use-face-detector", 0, 0, 1) == 1)
        fsdk::log::printf(config.logs(fsdk::log::Warning), fsdk::log::Warning,
                          "track engine: no face detector in this SDK, [detectors] use-face-detector ignored");
    config.bodyDetectorType = track.Text("detectors", "body-detector-type", "neural");
    if (!IsKnownDetector(config.bodyDetectorType)) {
        fsdk::log::printf(true, fsdk::log::Error, "track engine: [detectors] body-detector-type '{}' is unknown",
                          config.bodyDetectorType);
        return fsdk::FSDKError::InvalidConfig;
    }

    BlobDetectorConfig& blob = config.blob;
    blob.backgroundThreshold = track.Int("blob-detector", "background-threshold", 40, 1, 255);
    blob.minWidth = track.Int("blob-detector", "min-width", 4, 1, 100000);
    blob.minHeight = track.Int("blob-detector", "min-height", 8, 1, 100000);
    blob.minFillPercent = track.Int("blob-detector", "min-fill", 50, 1, 100);
    blob.minAspectPercent = track.Int("blob-detector", "min-aspect", 110, 1, 100000);
    blob.maxAspectPercent = track.Int("blob-detector", "max-aspect", 600, blob.minAspectPercent, 100000);

    NeuralDetectorConfig& neural = config.neural;
    neural.model = track.Text("neural-detector", "model", "centernet.onnx");
    neural.inputSize = track.Int("neural-detector", "input-size", 512, 64, 4096);
    neural.scorePercent = track.Int("neural-detector", "score-threshold", 15, 1, 100);
    neural.overlapPercent = track.Int("neural-detector", "nms-overlap", 50, 1, 100);
    neural.riders = track.Int("neural-detector", "riders", 1, 0, 1) == 1;

    QuietViewConfig& quiet = config.quiet;
    quiet.longestReuse = track.Int("quiet-view", "longest-reuse", 80, 0, 100000);
    quiet.changeLevel = track.Int("quiet-view", "change-level", 12, 0, 255);
    quiet.changedCells = track.Int("quiet-view", "changed-cells", 2, 1, 100000);
    return fsdk::FSDKError::Ok;
}

}  // namespace tsdk::detail
