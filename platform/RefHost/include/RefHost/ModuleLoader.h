#pragma once
// Loads a plug-in module the way the server does: dlopen, then each entry
// point by name under the version node OV_3.14.1.

#include <string>

#include "Kest8/Analytics.h"
#include "Kest8/Logger.h"

namespace RefHost {

constexpr const char* kModuleVersionNode = "OV_3.14.1";
constexpr const char* kModuleLibraryName = "libQelObjectTracker.so";

class LoadedModule {
public:
    using InitializeFn = int32_t (*)(Kest8::IServiceProvider*, const char*);
    using GetModuleFn = Kest8::Analytics::IModule* (*)();
    using FinalizeFn = void (*)();

    // Throws std::runtime_error with the loader's message on failure.
    explicit LoadedModule(const std::string& libraryPath);
    ~LoadedModule();
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    int32_t Initialize(Kest8::IServiceProvider* provider, const char* modulePath) const
    {
        return m_initialize(provider, modulePath);
    }
    Kest8::Analytics::IModule* Get() const { return m_getModule(); }
    void Finalize() const { m_finalize(); }

    // Closes the library now; the entry points must not be used afterwards.
    void Unload();
    const std::string& Path() const { return m_path; }

private:
    void* Resolve(const char* name);

    std::string m_path;
    void* m_handle = nullptr;
    InitializeFn m_initialize = nullptr;
    GetModuleFn m_getModule = nullptr;
    FinalizeFn m_finalize = nullptr;
};

}  // namespace RefHost
