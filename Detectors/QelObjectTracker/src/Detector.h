#pragma once

#include <mutex>
#include <string>

#include "Kest8/Analytics.h"
#include "Kest8/Logger.h"
#include "Kest8/Statistics.h"
#include "Kest8/Targets.h"
#include "QelWrapper/IObjectObserver.h"

namespace QelObjectTracker {

// One analytics stream of the host. Views, in order: IDetector,
// IMediaReceiver, IVisualSyncAdjuster, IAdvisingDetector.
class Detector final : public Kest8::Analytics::IDetector,
                       public Kest8::Analytics::IMediaReceiver,
                       public Kest8::Analytics::IVisualSyncAdjuster,
                       public Kest8::Analytics::IAdvisingDetector {
public:
    Detector(const std::string& modulePath, Kest8::ILogger* logger,
             Kest8::Analytics::ITargetEnumeratorFactory* targetEnumeratorFactory,
             Kest8::MFF::IBlobFrameFactory* blobFrameFactory, Kest8::IContract* hostContext);
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
    Kest8::ILogger* const logger;
    Kest8::Statistics::ISink* const statisticsSink;
    Kest8::Analytics::ITargetEnumeratorFactory* const targetEnumeratorFactory;
    Kest8::MFF::IBlobFrameFactory* const blobFrameFactory;  // held, never called
    Kest8::Analytics::IDetectorAdvisor* advisor = nullptr;

    std::mutex mutex;
    bool settingsChanged = false;
    float detectionThreshold = 0.6f;
    QelWrapper::Configurations config;
};

}  // namespace QelObjectTracker
