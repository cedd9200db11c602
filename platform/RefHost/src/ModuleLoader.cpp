#include "RefHost/ModuleLoader.h"

#include <dlfcn.h>

#include <stdexcept>

namespace RefHost {

namespace {
std::string LoaderError()
{
    const char* error = dlerror();
    return error ? error : "unknown error";
}
}  // namespace

LoadedModule::LoadedModule(const std::string& libraryPath) : m_path(libraryPath)
{
    m_handle = dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) throw std::runtime_error("cannot load " + libraryPath + ": " + LoaderError());
    try {
        m_initialize = reinterpret_cast<InitializeFn>(Resolve("InitializeModule"));
        m_getModule = reinterpret_cast<GetModuleFn>(Resolve("GetModule"));
        m_finalize = reinterpret_cast<FinalizeFn>(Resolve("FinalizeModule"));
    } catch (...) {
        dlclose(m_handle);
        throw;
    }
}

LoadedModule::~LoadedModule()
{
    Unload();
}

void LoadedModule::Unload()
{
    if (m_handle != nullptr) dlclose(m_handle);
    m_handle = nullptr;
    m_initialize = nullptr;
    m_getModule = nullptr;
    m_finalize = nullptr;
}

void* LoadedModule::Resolve(const char* name)
{
    dlerror();
    void* symbol = dlvsym(m_handle, name, kModuleVersionNode);
    if (symbol == nullptr)
        throw std::runtime_error(std::string("no ") + name + "@" + kModuleVersionNode + " in " + m_path + ": " +
                                 LoaderError());
    return symbol;
}

}  // namespace RefHost
