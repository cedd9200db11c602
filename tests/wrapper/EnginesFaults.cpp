#include "EnginesFaults.h"

#include <dlfcn.h>

#include <atomic>
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

// The SDK's own provider behind one that notes every value written.
class RecordingSettings final : public fsdk::ISettingsProvider {
public:
    RecordingSettings(fsdk::ISettingsProviderPtr real, std::string file)
        : m_real(std::move(real)), m_file(std::move(file))
    {
    }
    int32_t retain() noexcept override { return m_counter->Retain(); }
    int32_t release() noexcept override
    {
        Counter* counter = m_counter;
        const int32_t left = counter->ReleaseStrong();
        if (left == 0) {
            delete this;
            counter->releaseWeak();
        }
        return left;
    }
    int32_t getRefCount() const noexcept override { return m_counter->getStrongCount(); }
    fsdk::IRefCounter* getRefCounter() const noexcept override { return m_counter; }

    void setValue(const char* section, const char* key, int32_t value) override
    {
        Note(section, key, std::to_string(value));
        m_real->setValue(section, key, value);
    }
    void setValue(const char* section, const char* key, const char* value) override
    {
        Note(section, key, std::string("\"") + (value ? value : "") + "\"");
        m_real->setValue(section, key, value);
    }
    bool getInt(const char* section, const char* key, int32_t* value) const override
    {
        return m_real->getInt(section, key, value);
    }
    const char* getText(const char* section, const char* key) const override { return m_real->getText(section, key); }
    fsdk::Result save(const char* path) const override { return m_real->save(path); }
    const char* getDefaultPath() const override { return m_real->getDefaultPath(); }

private:
    class Counter final : public fsdk::IRefCounter {
    public:
        bool retainIfAlive() noexcept override
        {
            for (int32_t n = m_strong.load(); n > 0;)
                if (m_strong.compare_exchange_weak(n, n + 1)) return true;
            return false;
        }
        void retainWeak() noexcept override { ++m_weak; }
        void releaseWeak() noexcept override
        {
            if (--m_weak == 0) delete this;
        }
        int32_t getStrongCount() const noexcept override { return m_strong.load(); }
        int32_t Retain() noexcept { return ++m_strong; }
        int32_t ReleaseStrong() noexcept { return --m_strong; }

    private:
        ~Counter() = default;
        std::atomic<int32_t> m_strong{1};
        std::atomic<int32_t> m_weak{1};
    };

    ~RecordingSettings() override = default;
    void Note(const char* section, const char* key, const std::string& value)
    {
        std::lock_guard<std::mutex> lock(Get().mutex);
        Get().writes[m_file].push_back(std::string(section) + "/" + key + "=" + value);
    }

    Counter* m_counter = new Counter;
    fsdk::ISettingsProviderPtr m_real;
    std::string m_file;
};

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

ResultValue<ISettingsProviderPtr> createSettingsProvider(const char* path)
{
    using Function = ResultValue<ISettingsProviderPtr> (*)(const char*);
    static const auto real = Faults::Real<Function>("libFaceEngineSDK.so.5", "_ZN4fsdk22createSettingsProviderEPKc");
    ResultValue<ISettingsProviderPtr> created = real(path);
    if (created.isError() || !created.getValue()) return created;
    const std::string text(path);
    const std::string file = text.substr(text.find_last_of('/') + 1);
    return {FSDKError::Ok, acquire<ISettingsProvider>(new Faults::RecordingSettings(created.getValue(), file))};
}

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
        Faults::Get().writes["trackengine.conf"].push_back("createTrackEngine");
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
