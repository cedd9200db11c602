#pragma once
// Everything of libTrackEngineSDK.so.0.

#include "fsdk/FaceEngine.h"
#include "fsdk/Image.h"
#include "vsdk/VehicleEngine.h"

namespace tsdk {

// Per-frame data of the caller, carried through the SDK with its frame.
// The SDK owns it from the push on and deletes it after the frame's result.
class AdditionalFrameData {
public:
    virtual ~AdditionalFrameData() = default;
};

struct TrackedObject {
    int32_t trackId = 0;
    fsdk::Rect box;          // in pixels of the image below
    int32_t imageWidth = 0;  // size of the image the box refers to
    int32_t imageHeight = 0;
    float score = 0.f;  // in [0, 1]
    bool flag = false;
};

// The result of one frame of one stream. Valid while its batch is alive.
struct TrackingResult {
    uint32_t frameId = 0;
    fsdk::Image image;
    AdditionalFrameData* additionalData = nullptr;  // owned by the SDK
    fsdk::Span<const TrackedObject> objects;
    fsdk::Span<const int32_t> finishedTracks;
};

class ITrackingResultBatch : public fsdk::IRefCounted {
public:
    virtual fsdk::Span<const uint32_t> getStreamIds() const = 0;
    // Frame numbers of one stream, in push order.
    virtual fsdk::Span<const uint32_t> getStreamFrameIds(uint32_t streamId) const = 0;
    virtual TrackingResult getTrackingResult(uint32_t streamId, uint32_t frameId) const = 0;
};

// The one observer of a track engine; called on SDK threads.
class ITrackingResultObserver {
public:
    virtual void batchTrackingResult(const fsdk::Ref<ITrackingResultBatch>& batch) = 0;
    virtual ~ITrackingResultObserver() = default;
};

enum class StreamObserverType : int32_t {
    Tracking = 0,
    Visual = 1,
    Debug = 2,
};

struct StreamStatistics {
    uint64_t framesSkipped = 0;
    uint64_t framesPushed = 0;
    uint64_t framesRefused = 0;
    uint64_t framesWaiting = 0;
    uint64_t framesProcessed = 0;
};

struct StreamParams {
    int32_t reserved = 0;
};

class IStream : public fsdk::IRefCounted {
public:
    // Copies the image; takes ownership of `data` whatever it answers.
    virtual bool pushFrame(const fsdk::Image& frame, uint32_t frameId, AdditionalFrameData* data) = 0;
    virtual void setObserverEnabled(StreamObserverType type, bool enabled) = 0;
    // Refuses later pushes and returns once every queued frame's result,
    // with its open tracks finished, has been delivered.
    virtual void join() = 0;
    virtual StreamStatistics getStatistics() const = 0;
    // Unique within its track engine.
    virtual uint32_t getId() const = 0;
};

using IStreamPtr = fsdk::Ref<IStream>;

class ITrackEngine : public fsdk::IRefCounted {
public:
    // Empty when no stream can be made.
    virtual IStreamPtr createStream(const StreamParams* params = nullptr) = 0;
    virtual void setBatchedObserver(ITrackingResultObserver* observer) = 0;
    // Stops and joins every SDK thread; nothing runs after it.
    virtual void stop() = 0;
};

using ITrackEnginePtr = fsdk::Ref<ITrackEngine>;

FSDK_API fsdk::ResultValue<ITrackEnginePtr> createTrackEngine(fsdk::IFaceEngine* faceEngine,
                                                              fsdk::ISettingsProvider* settings,
                                                              vsdk::IVehicleEngine* vehicleEngine = nullptr,
                                                              const fsdk::LaunchOptions* launchOptions = nullptr);

}  // namespace tsdk
