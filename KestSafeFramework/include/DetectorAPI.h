#pragma once
// The exported entry points of a module. A module's source defines them with
// KEST_DEFINE_MODULE_ENTRY(ModuleClass); nothing here may let an exception out.

#include <exception>
#include <memory>

#include "BaseModule.h"
#include "Kest8/Analytics.h"
#include "Kest8/Logger.h"
#include "Log.h"

namespace KestSafeFramework {

// The one module of the process; destroyed at library unload if still there.
inline std::unique_ptr<KestFramework::BaseModule>& CurrentModule()
{
    static std::unique_ptr<KestFramework::BaseModule> module;
    return module;
}

template <class ModuleT>
int32_t InitializeModule(Kest8::IServiceProvider* provider, const char* modulePath)
{
    if (provider == nullptr || modulePath == nullptr) return Kest8::Result::InvalidArgument;
    Kest8::ILogger* logger = Kest8::QueryServiceAs<Kest8::ILogger>(provider);
    if (logger == nullptr) return Kest8::Result::InvalidArgument;
    try {
        auto& current = CurrentModule();
        if (current) {
            KEST_LOG(logger, 0, "module already was initialized");
            return Kest8::Result::AlreadyInitialized;
        }
        current = std::make_unique<ModuleT>(provider, modulePath);
        KEST_LOG(logger, 0, "module was created");
        return Kest8::Result::Success;
    } catch (const std::exception& e) {
        KEST_LOG(logger, 3, "Error during module initialization: {}", e.what());
    } catch (...) {
        KEST_LOG(logger, 3, "Error during module initialization: unknown exception");
    }
    return Kest8::Result::InvalidArgument;
}

inline Kest8::Analytics::IModule* GetModule() noexcept
{
    return CurrentModule().get();
}

inline void FinalizeModule() noexcept
{
    // Clear the pointer first, then destroy.
    std::unique_ptr<KestFramework::BaseModule> module(CurrentModule().release());
    module.reset();
}

}  // namespace KestSafeFramework

#define KEST_EXPORT extern "C" __attribute__((visibility("default")))

#define KEST_DEFINE_MODULE_ENTRY(ModuleClass)                                                       \
    KEST_EXPORT int32_t InitializeModule(Kest8::IServiceProvider* provider, const char* modulePath) \
    {                                                                                               \
        return ::KestSafeFramework::InitializeModule<ModuleClass>(provider, modulePath);            \
    }                                                                                               \
    KEST_EXPORT Kest8::Analytics::IModule* GetModule()                                              \
    {                                                                                               \
        return ::KestSafeFramework::GetModule();                                                    \
    }                                                                                               \
    KEST_EXPORT void FinalizeModule()                                                               \
    {                                                                                               \
        ::KestSafeFramework::FinalizeModule();                                                      \
    }
