#pragma once
// Test doubles over the SDK's creation functions and the worker pool, put
// in front of the real ones by the executable's own definitions: they
// record what the wrapper asks and fail on request.

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fsdk/Types.h"

namespace Kest8 {
class ILogger;
}

namespace Faults {

enum class Mode { Real, ErrorCode, NoObject };

struct PoolArguments {
    Kest8::ILogger* logger = nullptr;
    std::string name;
    unsigned long maxThreads = 0;
    unsigned long minThreads = 0;
    unsigned long idleThreads = 0;
    bool growOnDemand = false;
};

struct State {
    std::atomic<Mode> faceEngine{Mode::Real};
    std::atomic<Mode> trackEngine{Mode::Real};
    std::atomic<fsdk::FSDKError> code{fsdk::FSDKError::Internal};
    std::atomic<bool> refusePosts{false};

    std::mutex mutex;
    int poolsCreated = 0;
    PoolArguments poolArguments;
    int trackEnginesAsked = 0;
    std::optional<fsdk::LaunchOptions> launchOptions;  // of the last track engine asked for
    // "section/key=value" for every value written into a settings provider
    // of that file name, and "createTrackEngine" when an engine is asked for
    // over one, in the order they happened.
    std::map<std::string, std::vector<std::string>> writes;

    void Reset()
    {
        faceEngine = Mode::Real;
        trackEngine = Mode::Real;
        refusePosts = false;
        std::lock_guard<std::mutex> lock(mutex);
        trackEnginesAsked = 0;
        launchOptions.reset();
        writes.clear();
    }
    std::vector<std::string> Writes(const std::string& file)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return writes[file];
    }
};

State& Get();

}  // namespace Faults
