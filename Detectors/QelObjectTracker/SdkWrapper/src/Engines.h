#pragma once
// The SDK engines of one object observer, shared within the process by
// every observer with the same settings. They are created and released only
// on the process-wide worker pool.

#include <memory>
#include <string>

#include "BatchObserver.h"
#include "QelWrapper/IObjectObserver.h"
#include "fsdk/FaceEngine.h"
#include "tsdk/TrackEngine.h"

namespace QelWrapper {

class ObjectObserver;

class Engines {
public:
    class Tracker;

    // Blocks until the engines exist. Throws std::runtime_error when they
    // cannot be made, KestCvUtils::XDynamicThreadPoolError when the pool
    // refuses the work.
    explicit Engines(const Configurations& config);
    // Blocks until the engines are released.
    ~Engines();
    Engines(const Engines&) = delete;
    Engines& operator=(const Engines&) = delete;

    // A new stream, configured and registered for `observer`; empty when
    // the track engine gives none.
    tsdk::IStreamPtr CreateStream(ObjectObserver& observer);
    void UnregisterStream(const tsdk::IStreamPtr& stream);

    const fsdk::IFaceEnginePtr& FaceEngine() const noexcept { return faceEngine; }
    // Null when the face engine was shared.
    const fsdk::ISettingsProviderPtr& FaceSettings() const noexcept { return faceSettings; }
    const fsdk::ISettingsProviderPtr& RuntimeSettings() const noexcept { return runtimeSettings; }
    const tsdk::ITrackEnginePtr& TrackEngine() const noexcept;
    const fsdk::ISettingsProviderPtr& TrackSettings() const noexcept;
    BatchObserver& GetBatchObserver() noexcept;

    // Keys under which engines are shared.
    static std::string FaceKey(const Configurations& config);
    static std::string TrackKey(const Configurations& config);

private:
    void GetOrCreateFaceEngine(const Configurations& config, const std::string& dataDir);
    void GetOrCreateTracker(const Configurations& config, const std::string& dataDir);
    void Release() noexcept;

    fsdk::IFaceEnginePtr faceEngine;
    fsdk::ISettingsProviderPtr faceSettings;
    fsdk::ISettingsProviderPtr runtimeSettings;
    std::shared_ptr<Tracker> tracker;
};

class Engines::Tracker {
public:
    // Registers `batchObserver` as the engine's result observer.
    Tracker(tsdk::ITrackEnginePtr engine, fsdk::ISettingsProviderPtr settings);
    // Shuts the engine down before the batch observer goes.
    ~Tracker();
    Tracker(const Tracker&) = delete;
    Tracker& operator=(const Tracker&) = delete;

    tsdk::ITrackEnginePtr trackEngine;
    fsdk::ISettingsProviderPtr trackSettings;
    BatchObserver batchObserver;
};

}  // namespace QelWrapper
