#pragma once
// Module and detector contracts: what the host calls on a plug-in.

#include "Kest8/Geometry.h"
#include "Kest8/MFF.h"

namespace Kest8 {

class IDestroyable : public IContract {
public:
    virtual void Destroy() = 0;
};

class ISyncAdjuster : public IContract {
public:
    virtual ResultCode SetValue(const char* name, bool value) = 0;
    virtual ResultCode SetValue(const char* name, int32_t value) = 0;
    virtual ResultCode SetValue(const char* name, double value) = 0;
    virtual ResultCode SetValue(const char* name, const char* value) = 0;
};

namespace PLUGIN {
class IPluginModule : public IContract {};
}  // namespace PLUGIN

namespace Analytics {

class IDetector : public IDestroyable {};

class IModule : public PLUGIN::IPluginModule {
public:
    virtual IDetector* CreateDetector(const char* detectorName, IContract* hostContext) = 0;
};

class IMediaReceiver : public IContract {
public:
    virtual ResultCode Receive(MFF::ISample* sample) = 0;
};

class IVisualSyncAdjuster : public ISyncAdjuster {
public:
    using ISyncAdjuster::SetValue;
    virtual ResultCode SetValue(const char* name, IRectangleEnumerator* value) = 0;
    virtual ResultCode SetValue(const char* name, IPolylineEnumerator* value) = 0;
    virtual ResultCode SetValue(const char* name, IMask* value) = 0;
};

struct DetectorAdvice {
    uint32_t value;
    uint8_t reserved[28];
};
static_assert(sizeof(DetectorAdvice) == 32, "advice record is 32 bytes");

class IDetectorAdvisor : public IContract {
public:
    virtual uint32_t GetAdvisorFlags() const = 0;
    virtual void Advise(const DetectorAdvice& advice) = 0;
};

class IAdvisingDetector : public IContract {
public:
    virtual void SetAdvisor(IDetectorAdvisor* advisor) = 0;
};

}  // namespace Analytics
}  // namespace Kest8
