#pragma once
// The base of a plug-in module: the host logger and the module path.

#include <string>

#include "BuildLabel.h"
#include "Kest8/Analytics.h"
#include "Kest8/Logger.h"
#include "Log.h"

namespace KestFramework {

constexpr const char* kCompanyName = "Qel Vision Systems";

class BaseModule : public Kest8::Analytics::IModule {
public:
    BaseModule(Kest8::IServiceProvider* provider, const char* modulePath)
        : logger(Kest8::QueryServiceAs<Kest8::ILogger>(provider)), modulePath(modulePath)
    {
        KEST_LOG(logger, 1, "Module's file version: {}; product version: {}; company name: {}", QEL_BUILD_LABEL,
                 QEL_PRODUCT_VERSION, kCompanyName);
    }

    Kest8::ILogger* Logger() const noexcept { return logger; }
    const std::string& ModulePath() const noexcept { return modulePath; }

protected:
    Kest8::ILogger* const logger;
    const std::string modulePath;
};

}  // namespace KestFramework
