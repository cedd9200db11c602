#pragma once
// What crosses between the plug-in and the wrapper library.

#include <cstdint>
#include <string>
#include <vector>

namespace Kest8 {
class ILogger;
namespace MFF {
class ICompositeBuffer2;
class IPlanarBuffer;
}  // namespace MFF
}  // namespace Kest8

namespace QelWrapper {

enum DeviceType : int32_t {
    CPU = 0,
    GPU = 1,
};

struct Configurations {
    Kest8::ILogger* logger = nullptr;
    std::string modulePath;
    DeviceType deviceType = CPU;
    int32_t deviceIndex = 0;
    int32_t frameWidth = -1;
    int32_t frameHeight = -1;
    int32_t roiX = 0;
    int32_t roiY = 0;
    int32_t roiWidth = -1;
    int32_t roiHeight = -1;
    double roiLeft = 0.0;
    double roiTop = 0.0;
    double roiRelWidth = 1.0;
    double roiRelHeight = 1.0;
    int32_t numThreads = 4;
    int32_t detectorScaling = 960;
    int32_t detectorStep = 7;
    int32_t detectionsSkipped = 18;
    int32_t minimalTrackLength = 1;
};

struct TrackedObject {
    int32_t trackId = 0;
    int32_t x = 0;  // box in pixels of the region-of-interest image
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
    float score = 0.f;
    bool flag = false;
};

struct FrameResult {
    uint64_t timestamp = 0;
    uint32_t frameId = 0;
    std::vector<TrackedObject> objects;
    std::vector<int32_t> finishedTrackIds;
};

// Fractions of the full frame.
struct RelativeRect {
    double x = 0.0;
    double y = 0.0;
    double width = 0.0;
    double height = 0.0;
};

struct StreamStatistics {
    uint64_t counter0 = 0;
    uint64_t pushedFrames = 0;
    uint64_t processedFrames = 0;
};

class IObjectObserver {
public:
    // Stops and releases everything.
    virtual ~IObjectObserver() = default;
    virtual void Stop() = 0;
    virtual bool PopResult(FrameResult& result) = 0;
    virtual bool PushGpuFrame(Kest8::MFF::ICompositeBuffer2* frame) = 0;
    virtual bool PushFrame(Kest8::MFF::IPlanarBuffer* frame) = 0;
    virtual StreamStatistics GetStatistics() = 0;
    virtual RelativeRect ToRelativeRect(const TrackedObject& object) = 0;
};

using CreateObjectObserverFn = IObjectObserver* (*)(const Configurations* config);

}  // namespace QelWrapper
