#include "Detector.h"

#include <cstring>

#include "Log.h"

namespace QelObjectTracker {

namespace {

// Bit of the advisor's flags that asks for device advice.
constexpr uint32_t kAdvisorWantsDeviceAdvice = 2;
constexpr uint32_t kAdviceGpu = 4;
constexpr uint32_t kAdviceCpu = 1;

Kest8::Statistics::ISink* SinkOf(Kest8::IContract* hostContext)
{
    return Kest8::QueryContractAs<Kest8::Statistics::ISink>(hostContext);
}

}  // namespace

Detector::Detector(const std::string& modulePath, Kest8::ILogger* logger,
                   Kest8::Analytics::ITargetEnumeratorFactory* targetEnumeratorFactory,
                   Kest8::MFF::IBlobFrameFactory* blobFrameFactory, Kest8::IContract* hostContext)
    : logger(logger),
      statisticsSink(SinkOf(hostContext)),
      targetEnumeratorFactory(targetEnumeratorFactory),
      blobFrameFactory(blobFrameFactory)
{
    config.logger = logger;
    config.modulePath = modulePath;
}

Detector::~Detector() = default;

const Kest8::IContract* Detector::QueryContract(const char* typeName) const
{
    return const_cast<Detector*>(this)->QueryContract(typeName);
}

Kest8::IContract* Detector::QueryContract(const char* typeName)
{
    using namespace Kest8;
    using namespace Kest8::Analytics;
    if (IsContract<IContract>(typeName) || IsContract<IDetector>(typeName) || IsContract<IDestroyable>(typeName))
        return static_cast<IDetector*>(this);
    if (IsContract<ISyncAdjuster>(typeName) || IsContract<IVisualSyncAdjuster>(typeName))
        return static_cast<IVisualSyncAdjuster*>(this);
    if (IsContract<IMediaReceiver>(typeName)) return static_cast<IMediaReceiver*>(this);
    if (IsContract<IAdvisingDetector>(typeName)) return static_cast<IAdvisingDetector*>(this);
    return nullptr;
}

void Detector::Destroy()
{
    delete this;
}

Kest8::ResultCode Detector::Receive(Kest8::MFF::ISample* sample)
{
    if (sample == nullptr) return Kest8::Result::InvalidArgument;
    // No tracker yet: the frame is taken and released.
    sample->Release();
    return Kest8::Result::NoTracker;
}

Kest8::ResultCode Detector::SetValue(const char*, bool)
{
    return Kest8::Result::UnknownParameter;
}

Kest8::ResultCode Detector::SetValue(const char*, int32_t)
{
    return Kest8::Result::UnknownParameter;
}

Kest8::ResultCode Detector::SetValue(const char*, double)
{
    return Kest8::Result::UnknownParameter;
}

Kest8::ResultCode Detector::SetValue(const char*, const char*)
{
    return Kest8::Result::UnknownParameter;
}

Kest8::ResultCode Detector::SetValue(const char*, Kest8::IRectangleEnumerator*)
{
    return Kest8::Result::UnknownParameter;
}

Kest8::ResultCode Detector::SetValue(const char*, Kest8::IPolylineEnumerator*)
{
    return Kest8::Result::UnknownParameter;
}

Kest8::ResultCode Detector::SetValue(const char*, Kest8::IMask*)
{
    return Kest8::Result::UnknownParameter;
}

void Detector::SetAdvisor(Kest8::Analytics::IDetectorAdvisor* newAdvisor)
{
    if (newAdvisor != nullptr && (newAdvisor->GetAdvisorFlags() & kAdvisorWantsDeviceAdvice) != 0) {
        std::lock_guard<std::mutex> lock(mutex);
        advisor = newAdvisor;
        Kest8::Analytics::DetectorAdvice advice{};
        advice.value = config.deviceType == QelWrapper::GPU ? kAdviceGpu : kAdviceCpu;
        advisor->Advise(advice);
        return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    advisor = nullptr;
}

}  // namespace QelObjectTracker
