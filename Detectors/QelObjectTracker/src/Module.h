#pragma once

#include "BaseModule.h"
#include "Kest8/Targets.h"

namespace Kest8::MFF {
class IBlobFrameFactory;
}

namespace QelObjectTracker {

constexpr const char* kDetectorName = "QelObjectTracker";

class Module final : public KestFramework::BaseModule {
public:
    Module(Kest8::IServiceProvider* provider, const char* modulePath);

    const Kest8::IContract* QueryContract(const char* typeName) const override;
    Kest8::IContract* QueryContract(const char* typeName) override;
    Kest8::Analytics::IDetector* CreateDetector(const char* detectorName, Kest8::IContract* hostContext) override;

private:
    Kest8::Analytics::ITargetEnumeratorFactory* const targetEnumeratorFactory;
    Kest8::MFF::IBlobFrameFactory* const blobFrameFactory;
};

}  // namespace QelObjectTracker
