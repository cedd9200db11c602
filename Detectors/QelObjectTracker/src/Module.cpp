#include "Module.h"

#include <memory>
#include <stdexcept>

#include "Detector.h"
#include "Log.h"

namespace QelObjectTracker {

namespace {

template <class T>
T* RequireService(Kest8::IServiceProvider* provider, const char* message)
{
    T* service = Kest8::QueryServiceAs<T>(provider);
    if (service == nullptr) throw std::runtime_error(message);
    return service;
}

}  // namespace

Module::Module(Kest8::IServiceProvider* provider, const char* modulePath)
    : BaseModule(provider, modulePath),
      targetEnumeratorFactory(RequireService<Kest8::Analytics::ITargetEnumeratorFactory>(
          provider, "Could not obtain ITargetEnumeratorFactory from service provider")),
      blobFrameFactory(RequireService<Kest8::MFF::IBlobFrameFactory>(
          provider, "Could not obtain IBlobFrameFactory from service provider"))
{
}

const Kest8::IContract* Module::QueryContract(const char* typeName) const
{
    return const_cast<Module*>(this)->QueryContract(typeName);
}

Kest8::IContract* Module::QueryContract(const char* typeName)
{
    if (Kest8::IsContract<Kest8::IContract>(typeName) || Kest8::IsContract<Kest8::PLUGIN::IPluginModule>(typeName) ||
        Kest8::IsContract<Kest8::Analytics::IModule>(typeName))
        return this;
    return nullptr;
}

Kest8::Analytics::IDetector* Module::CreateDetector(const char* detectorName, Kest8::IContract* hostContext)
{
    try {
        // A null name throws here, with the standard library's own text.
        if (std::string(detectorName) != kDetectorName) throw std::runtime_error("No such detector.");
        auto detector =
            std::make_unique<Detector>(modulePath, logger, targetEnumeratorFactory, blobFrameFactory, hostContext);
        return detector.release();
    } catch (const std::exception& e) {
        KEST_LOG(logger, 3, "Error during detector creation: {}", e.what());
    } catch (...) {
        KEST_LOG(logger, 3, "Unknown error during detector creation.");
    }
    return nullptr;
}

}  // namespace QelObjectTracker
