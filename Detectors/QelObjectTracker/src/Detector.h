#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "DetectorStatistics.h"
#include "EventRaising.h"
#include "Kest8/Analytics.h"
#include "Kest8/Logger.h"
#include "Kest8/Statistics.h"
#include "Kest8/Targets.h"
#include "Plugin.h"
#include "QelWrapper/IObjectObserver.h"
#include "TargetsReportingHelper.h"

namespace QelObjectTracker {

// One analytics stream of the host. Views, in order: IDetector,
// IMediaReceiver, IVisualSyncAdjuster, IAdvisingDetector.
class Detector final : public Kest8::Analytics::IDetector,
                       public Kest8::Analytics::IMediaReceiver,
                       public Kest8::Analytics::IVisualSyncAdjuster,
                       public Kest8::Analytics::IAdvisingDetector {
public:
    // Monotonic clock readings in nanoseconds.
    using MonotonicClock = std::function<int64_t()>;

    Detector(const std::string& modulePath, Kest8::ILogger* logger,
             Kest8::Analytics::ITargetEnumeratorFactory* targetEnumeratorFactory,
             Kest8::MFF::IBlobFrameFactory* blobFrameFactory, Kest8::IContract* hostContext, MonotonicClock clock = {});
    ~Detector() override;

    Detector(const Detector&) = delete;
    Detector& operator=(const Detector&) = delete;

    // Kest8::IContract, for every view.
    const Kest8::IContract* QueryContract(const char* typeName) const override;
    Kest8::IContract* QueryContract(const char* typeName) override;

    // Kest8::IDestroyable
    void Destroy() override;

    // Kest8::Analytics::IMediaReceiver
    Kest8::ResultCode Receive(Kest8::MFF::ISample* sample) override;

    // Kest8::Analytics::IVisualSyncAdjuster
    Kest8::ResultCode SetValue(const char* name, bool value) override;
    Kest8::ResultCode SetValue(const char* name, int32_t value) override;
    Kest8::ResultCode SetValue(const char* name, double value) override;
    Kest8::ResultCode SetValue(const char* name, const char* value) override;
    Kest8::ResultCode SetValue(const char* name, Kest8::IRectangleEnumerator* value) override;
    Kest8::ResultCode SetValue(const char* name, Kest8::IPolylineEnumerator* value) override;
    Kest8::ResultCode SetValue(const char* name, Kest8::IMask* value) override;

    // Kest8::Analytics::IAdvisingDetector
    void SetAdvisor(Kest8::Analytics::IDetectorAdvisor* advisor) override;

private:
    struct TrackRecord {
        int32_t trackId = 0;
        int32_t phase = 0;  // 0 continuing, 1 appeared, 2 ended
        uint64_t firstTimestamp = 0;
        uint64_t lastTimestamp = 0;
        QelWrapper::RelativeRect box;
        // The reporter was replaced since the track was last reported: the
        // previous one ended it for the host, the current one never saw it.
        bool unannounced = false;
    };

    Kest8::ResultCode ReceiveLocked(uint64_t timestamp, Kest8::MFF::ICompositeBuffer2* composite,
                                    Kest8::MFF::IPlanarBuffer* planar);
    void UpdateStatistics(uint64_t timestamp);
    void Reconfigure(uint32_t width, uint32_t height, uint64_t timestamp);
    void RetryBuild(uint64_t timestamp);
    void BuildObserver(uint64_t timestamp);
    void ReleaseUnusedPlugin() noexcept;
    void DrainResults(QelWrapper::IObjectObserver& from);
    void EndAllTracks();

    Kest8::ILogger* const logger;
    Kest8::Statistics::ISink* const statisticsSink;
    Kest8::Analytics::ITargetEnumeratorFactory* const targetEnumeratorFactory;
    Kest8::MFF::IBlobFrameFactory* const blobFrameFactory;  // held, never called
    Kest8::Framework::CDetectorEventFactory eventFactory;
    Kest8::Analytics::IDetectorAdvisor* advisor = nullptr;

    std::mutex mutex;
    bool settingsChanged = false;
    float detectionThreshold = 0.6f;
    QelWrapper::Configurations config;
    std::shared_ptr<Plugin> plugin;
    std::unique_ptr<QelWrapper::IObjectObserver> observer;
    std::unique_ptr<Kest8::Framework::DetectorStatistics> statistics;
    MonotonicClock clock;
    uint64_t lastStatisticsTimestamp = 0;
    int64_t lastStatisticsTime = 0;
    uint64_t lastFrameTimestamp = 0;
    uint64_t lastBuildTimestamp = 0;  // frame time of the last attempt to build an observer
    std::vector<TrackRecord> tracks;
    std::shared_ptr<Kest8::Framework::TargetsReportingHelper> targetReporter;
    QelWrapper::FrameResult pending;  // reused between frames
};

}  // namespace QelObjectTracker
