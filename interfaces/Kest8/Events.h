#pragma once
// Host events and the values attached to them.

#include "Kest8/Geometry.h"

namespace Kest8 {

// A buffer handed to an event; the receiver owns it afterwards.
class IMultimediaBuffer : public IContract {
public:
    virtual uint64_t GetTimestamp() const = 0;
    virtual uint32_t GetMediaType() const = 0;
    virtual uint32_t GetSize() const = 0;
    virtual void Destroy() = 0;
};

// Every setter answers 0 on success.
class IEventArgsAdjuster : public IContract {
public:
    virtual ResultCode SetValue(const char* name, bool value) = 0;
    virtual ResultCode SetValue(const char* name, int32_t value) = 0;
    virtual ResultCode SetValue(const char* name, double value) = 0;
    virtual ResultCode SetValue(const char* name, const char* value) = 0;
    virtual ResultCode SetRectangleArray(const char* name, IRectangleEnumerator* rectangles) = 0;
    virtual ResultCode SetMask(const char* name, IMask* mask) = 0;
    virtual ResultCode SetPolylineArray(const char* name, IPolylineEnumerator* polylines) = 0;
    // Takes ownership of the buffer whatever it answers.
    virtual ResultCode SetMultimediaBuffer(const char* name, IMultimediaBuffer* buffer) = 0;
    virtual ResultCode SetValue(uint64_t value) = 0;
};

namespace Analytics {

class IDetector;

class IDetectorEvent : public IContract {
public:
    virtual uint64_t GetTimestamp() const = 0;
    virtual void Commit() = 0;
    virtual void Cancel() = 0;
    virtual IEventArgsAdjuster* GetEventArgsAdjuster() = 0;
};

// Event phases: 1 begin, 2 end, 3 one-shot.
namespace EventPhase {
constexpr int32_t Begin = 1;
constexpr int32_t End = 2;
constexpr int32_t OneShot = 3;
}  // namespace EventPhase

// The host context a detector is created with. The host hands it over as a
// plain IContract; its two event-creation operations are that object's own
// next slots, so it is used as this interface without asking QueryContract
// (the only contract it is asked for is Statistics::ISink).
class IHostContext : public IContract {
public:
    virtual IDetectorEvent* CreateDetectorEvent(IDetector* detector, const char* name, uint64_t timestamp,
                                                int32_t phase) = 0;
    virtual IDetectorEvent* CreateEvent(IDetector* detector, const char* name, uint64_t timestamp) = 0;
};

inline IHostContext* HostContextOf(IContract* context) noexcept
{
    return static_cast<IHostContext*>(context);
}

}  // namespace Analytics
}  // namespace Kest8
