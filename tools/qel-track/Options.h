#pragma once
// qel-track's command line: what a run is asked to do, checked before
// anything is loaded.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace QelTrack {

// The tool's exit statuses.
enum Exit { kOk = 0, kOutput = 1, kUsage = 2, kInput = 3, kModule = 4, kRefused = 5 };

inline constexpr uint32_t kMaxStreams = 64;
inline constexpr uint32_t kMaxSceneFrames = 1000000;

// A command line or parameter the tool does not accept.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Options {
    std::vector<std::string> videos;
    std::vector<std::string> params;
    std::string inputFormat = "yuv420";
    std::string annotate;
    std::string output;
    std::string truth;
    std::optional<uint32_t> frames;
    uint32_t streams = 1;
    bool realtime = false;
    int32_t logLevel = 1;
    std::string moduleDir;
    uint64_t seed = 1;
    uint32_t sceneWidth = 640, sceneHeight = 360;
    double sceneFps = 10;
};

// Fills `options` from the command line. An exit status when the run ends
// here: after the help, or on a command line refused (said on standard
// error with the usage).
std::optional<int> ParseCommandLine(int argc, char** argv, Options& options);

}  // namespace QelTrack
