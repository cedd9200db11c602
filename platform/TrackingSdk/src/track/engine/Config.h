#pragma once
// What a track engine reads from its settings, with senseless values
// brought back into range.

#include <string>

#include "fsdk/Settings.h"
#include "fsdk/Types.h"

namespace tsdk::detail {

struct BlobDetectorConfig {
    int backgroundThreshold = 40;  // smallest channel difference from the background
    int minWidth = 4;              // in pixels of the (scaled) detection image
    int minHeight = 8;
    int minFillPercent = 50;     // share of the box the blob must cover
    int minAspectPercent = 110;  // height / width, in percent
    int maxAspectPercent = 600;
};

struct NeuralDetectorConfig {
    // The ONNX network; a name is read from the face engine's data directory.
    std::string model = "centernet.onnx";
    int inputSize = 512;      // the larger side of the network's input, pixels
    int scorePercent = 15;    // the lowest person score a detection may have
    int overlapPercent = 50;  // detections overlapping more (IoU) are one person
    bool riders = true;       // a rider's box takes in what they ride
};

// Detector runs on an unchanged view reuse the last real run's detections.
struct QuietViewConfig {
    int longestReuse = 80;  // frames after a real run the network runs anyway; 0: always
    int changeLevel = 12;   // luma levels a thumbnail cell must change by to count
    int changedCells = 2;   // changed cells that make the view changed
};

struct EngineConfig {
    // Messages: "logging" "mode" "l2c" sends them to the print function;
    // "severity" 0 lets debug messages through, 3 only errors.
    bool logToCallback = true;
    int logSeverity = 2;

    int workerThreads = 2;
    bool gpu = false;
    int gpuDevice = 0;

    int detectorStep = 1;
    int skipFrames = 0;
    int inactiveTracksLifetime = 0;
    int framesBufferSize = 20;
    bool detectorScaling = true;
    int scaleResultSize = 640;
    int maxDetectionCount = 128;
    int minimalTrackLength = 1;
    int associationOverlapPercent = 30;
    int highScorePercent = 30;  // detections that may start tracks; lower ones only continue them
    int lowScorePercent = 15;   // detections below are ignored
    bool useBodyDetector = true;
    // A detection of this score makes a track a person for the plug-in
    // (object score 0.65); weaker ones add up to that over runs.
    int personScorePercent = 28;
    // The same for something small that has not moved; such detections do
    // not add up.
    int stillPersonScorePercent = 45;
    std::string bodyDetectorType = "neural";
    BlobDetectorConfig blob;
    NeuralDetectorConfig neural;
    QuietViewConfig quiet;

    // Whether a message of this print severity (1 error ... 4 debug) goes out.
    bool logs(int severity) const noexcept { return logToCallback && 4 - severity >= logSeverity; }
};

// Fills `config` from the track engine's settings and the face engine's
// runtime settings (either may be absent), overridden by `launchOptions`.
// Answers InvalidConfig for a detector this SDK does not have.
fsdk::FSDKError ReadEngineConfig(const fsdk::ISettingsProvider* settings, const fsdk::ISettingsProvider* runtime,
                                 const fsdk::LaunchOptions* launchOptions, EngineConfig& config);

}  // namespace tsdk::detail
