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

struct PersonDetectorConfig {
    int foregroundThreshold = 16;  // smallest colour distance from the background, grey levels
    bool shadows = false;          // darker copies of the background are not foreground
    int shadowMinPercent = 45;     // brightness of a shadow against its background
    int shadowMaxPercent = 92;
    int backgroundFrames = 150;  // time constant of the background model
    int ghostFrames = 30;        // time a still foreground no track keeps takes to fade
    int minHeight = 12;          // in pixels of the (scaled) detection image
    int minArea = 40;
    // Foreground for the candidates: our own model, or OpenCV's MOG2 or KNN
    // background subtractor (our model still follows people between runs).
    enum class Subtractor { Own, Mog2, Knn };
    Subtractor subtractor = Subtractor::Own;
    // OpenCV face cascade that finds people whose legs are out of view;
    // empty for none. A name is read from the face engine's data directory.
    std::string faceModel;
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
    int highScorePercent = 50;  // detections that may start tracks; lower ones only continue them
    int lowScorePercent = 10;   // detections below are ignored
    bool useBodyDetector = true;
    std::string bodyDetectorType = "person";
    BlobDetectorConfig blob;
    PersonDetectorConfig person;

    // Whether a message of this print severity (1 error ... 4 debug) goes out.
    bool logs(int severity) const noexcept { return logToCallback && 4 - severity >= logSeverity; }
};

// Fills `config` from the track engine's settings and the face engine's
// runtime settings (either may be absent), overridden by `launchOptions`.
// Answers InvalidConfig for a detector this SDK does not have.
fsdk::FSDKError ReadEngineConfig(const fsdk::ISettingsProvider* settings, const fsdk::ISettingsProvider* runtime,
                                 const fsdk::LaunchOptions* launchOptions, EngineConfig& config);

}  // namespace tsdk::detail
