#include "EnginesFaults.h"

#include <dlfcn.h>

#include <stdexcept>

#include "KestCv/DynamicThreadPool.h"
#include "fsdk/FaceEngine.h"
#include "tsdk/TrackEngine.h"

namespace Faults {

State& Get()
{
    static State state;
    return state;
}

namespace {

// The definition the executable's own one hides, from its library (which
// the linker may have left out, every reference being satisfied here).
template <class Function>
Function Real(const char* library, const char* mangledName)
{
    void* symbol = dlsym(RTLD_NEXT, mangledName);
    if (symbol == nullptr) {
        const std::string path = std::string(QEL_MODULE_DIR) + "/" + library;
        if (void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL)) symbol = dlsym(handle, mangledName);
    }
    if (symbol == nullptr) throw std::logic_error(std::string("no real ") + mangledName);
    return reinterpret_cast<Function>(symbol);
}

class GatedPool final : public KestCvUtils::IDynamicThreadPool {
public:
    explicit GatedPool(std::shared_ptr<IDynamicThreadPool> pool) : m_pool(std::move(pool)) {}
    bool Post(Task task) override { return !Get().refusePosts && m_pool->Post(std::move(task)); }

private:
    std::shared_ptr<IDynamicThreadPool> m_pool;
};

}  // namespace
}  // namespace Faults

namespace fsdk {

ResultValue<IFaceEnginePtr> createFaceEngine(const char* dataPath, const char* configPath,
                                             const char* runtimeConfigPath)
{
    using Function = ResultValue<IFaceEnginePtr> (*)(const char*, const char*, const char*);
    static const auto real = Faults::Real<Function>("libFaceEngineSDK.so.5", "_ZN4fsdk16createFaceEngineEPKcS1_S1_");
    switch (Faults::Get().faceEngine.load()) {
    case Faults::Mode::ErrorCode: return {Faults::Get().code.load(), nullptr};
    case Faults::Mode::NoObject: return {FSDKError::Ok, nullptr};
    default: return real(dataPath, configPath, runtimeConfigPath);
    }
}

}  // namespace fsdk

namespace tsdk {

fsdk::ResultValue<ITrackEnginePtr> createTrackEngine(fsdk::IFaceEngine* faceEngine, fsdk::ISettingsProvider* settings,
                                                     vsdk::IVehicleEngine* vehicleEngine,
                                                     const fsdk::LaunchOptions* launchOptions)
{
    using Function = fsdk::ResultValue<ITrackEnginePtr> (*)(fsdk::IFaceEngine*, fsdk::ISettingsProvider*,
                                                            vsdk::IVehicleEngine*, const fsdk::LaunchOptions*);
    static const auto real = Faults::Real<Function>(
        "libTrackEngineSDK.so.0",
        "_ZN4tsdk17createTrackEngineEPN4fsdk11IFaceEngineEPNS0_17ISettingsProviderEPN4vsdk14IVehicleEngineEPKNS0_"
        "13LaunchOptionsE");
    {
        std::lock_guard<std::mutex> lock(Faults::Get().mutex);
        ++Faults::Get().trackEnginesAsked;
        Faults::Get().launchOptions.reset();
        if (launchOptions) Faults::Get().launchOptions = *launchOptions;
    }
    switch (Faults::Get().trackEngine.load()) {
    case Faults::Mode::ErrorCode: return {Faults::Get().code.load(), nullptr};
    case Faults::Mode::NoObject: return {fsdk::FSDKError::Ok, nullptr};
    default: return real(faceEngine, settings, vehicleEngine, launchOptions);
    }
}

}  // namespace tsdk

namespace KestCvUtils {

std::shared_ptr<IDynamicThreadPool> CreateDynamicThreadPool(Kest8::ILogger* logger, const std::string& name,
                                                            unsigned long maxThreads, unsigned long minThreads,
                                                            unsigned long idleThreads, bool growOnDemand)
{
    using Function = std::shared_ptr<IDynamicThreadPool> (*)(Kest8::ILogger*, const std::string&, unsigned long,
                                                             unsigned long, unsigned long, bool);
    static const auto real = Faults::Real<Function>(
        "libCvUtils.so.1",
        "_ZN11KestCvUtils23CreateDynamicThreadPoolEPN5Kest87ILoggerERKNSt7__cxx1112basic_stringIcSt11char_"
        "traitsIcESaIcEEEmmmb");
    {
        std::lock_guard<std::mutex> lock(Faults::Get().mutex);
        ++Faults::Get().poolsCreated;
        Faults::Get().poolArguments = {logger, name, maxThreads, minThreads, idleThreads, growOnDemand};
    }
    return std::make_shared<Faults::GatedPool>(real(logger, name, maxThreads, minThreads, idleThreads, growOnDemand));
}

}  // namespace KestCvUtils
