#pragma once

#include "fsdk/Settings.h"

namespace fsdk {

class IFaceEngine : public IRefCounted {
public:
    virtual void setSettingsProvider(ISettingsProvider* provider) = 0;
    virtual void setRuntimeSettingsProvider(ISettingsProvider* provider) = 0;
    virtual ISettingsProvider* getSettingsProvider() const = 0;
    virtual ISettingsProvider* getRuntimeSettingsProvider() const = 0;
    virtual const char* getDataDirectory() const = 0;
};

using IFaceEnginePtr = Ref<IFaceEngine>;

FSDK_API ResultValue<IFaceEnginePtr> createFaceEngine(const char* dataPath, const char* configPath = nullptr,
                                                      const char* runtimeConfigPath = nullptr);

}  // namespace fsdk
