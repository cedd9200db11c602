#include <filesystem>
#include <mutex>
#include <string>

#include "common/RefCountedObject.h"
#include "common/SdkLog.h"
#include "fsdk/FaceEngine.h"

namespace fsdk {
namespace {

class FaceEngine final : public detail::RefCountedObject<IFaceEngine> {
public:
    explicit FaceEngine(std::string dataDirectory) : m_dataDirectory(std::move(dataDirectory)) {}

    void setSettingsProvider(ISettingsProvider* provider) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_settings = ISettingsProviderPtr(provider);
    }
    void setRuntimeSettingsProvider(ISettingsProvider* provider) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_runtimeSettings = ISettingsProviderPtr(provider);
    }
    ISettingsProvider* getSettingsProvider() const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_settings.get();
    }
    ISettingsProvider* getRuntimeSettingsProvider() const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_runtimeSettings.get();
    }
    const char* getDataDirectory() const override { return m_dataDirectory.c_str(); }

private:
    const std::string m_dataDirectory;
    mutable std::mutex m_mutex;
    ISettingsProviderPtr m_settings;
    ISettingsProviderPtr m_runtimeSettings;
};

}  // namespace

ResultValue<IFaceEnginePtr> createFaceEngine(const char* dataPath, const char* configPath,
                                             const char* runtimeConfigPath)
{
    std::error_code ec;
    if (dataPath == nullptr || *dataPath == '\0' || !std::filesystem::is_directory(dataPath, ec)) {
        log::printf(true, log::Error, "face engine: data directory '{}' not found", dataPath ? dataPath : "");
        return {FSDKError::InvalidPath, nullptr};
    }
    ISettingsProviderPtr settings;
    ISettingsProviderPtr runtimeSettings;
    if (configPath != nullptr) {
        auto created = createSettingsProvider(configPath);
        if (created.isError()) return {created.code, nullptr};
        settings = std::move(created).getValue();
    }
    if (runtimeConfigPath != nullptr) {
        auto created = createSettingsProvider(runtimeConfigPath);
        if (created.isError()) return {created.code, nullptr};
        runtimeSettings = std::move(created).getValue();
    }
    try {
        auto engine = detail::makeRef<IFaceEngine, FaceEngine>(dataPath);
        if (settings) engine->setSettingsProvider(settings.get());
        if (runtimeSettings) engine->setRuntimeSettingsProvider(runtimeSettings.get());
        return {FSDKError::Ok, std::move(engine)};
    } catch (const std::bad_alloc&) {
        return {FSDKError::HighMemoryUsage, nullptr};
    }
}

}  // namespace fsdk
