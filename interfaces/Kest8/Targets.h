#pragma once
// Per-frame target lists.

#include "Kest8/Events.h"

namespace Kest8::Analytics {

class ITarget : public IContract {
public:
    virtual uint32_t GetPhase() const = 0;
    virtual Rect GetBox() const = 0;
    virtual uint32_t GetObjectClass() const = 0;
    virtual uint64_t GetTimestamp() const = 0;
    virtual uint32_t GetTargetId() const = 0;
};

// A target being filled in.
class ITargetAdjuster : public ITarget {
public:
    virtual void SetTargetId(uint32_t id) = 0;
    virtual void SetObjectClass(uint32_t objectClass) = 0;
    virtual void SetPhase(uint32_t phase) = 0;
    virtual void SetBox(const Rect* box) = 0;
};

// Layout of a host target object, relied on by every plug-in: its
// ITargetAdjuster interface pointer is immediately followed by the
// IEventArgsAdjuster interface pointer of the same object, which takes the
// target's named values. The host answers no contract name for the latter,
// so it is reached by position, never through QueryContract.
static_assert(sizeof(ITargetAdjuster) == sizeof(void*), "an interface is one table pointer");

inline IEventArgsAdjuster* TargetEventArgs(ITargetAdjuster* target) noexcept
{
    if (target == nullptr) return nullptr;
    return reinterpret_cast<IEventArgsAdjuster*>(reinterpret_cast<unsigned char*>(target) + sizeof(ITargetAdjuster));
}

class ITargetEnumerator : public IMultimediaBuffer {
public:
    virtual bool MoveNext() = 0;
    virtual IContract* Current() = 0;
    virtual void Reset() = 0;
};

class ITargetEnumeratorAdjuster : public ITargetEnumerator {
public:
    virtual ITargetAdjuster* AppendTarget() = 0;
};

class ITargetEnumeratorFactory : public IContract {
public:
    virtual IRectangleEnumerator* CreateRectangleEnumerator(const Rect* rects, uint32_t count) = 0;
    virtual IPolylineEnumerator* CreatePolylineEnumerator() = 0;
    virtual IMask* CreateMask(uint32_t width, uint32_t height) = 0;
    virtual IMultimediaBuffer* CreateHumanBoneTargetList(uint64_t timestamp) = 0;
    virtual ITargetEnumerator* CreateTargetEnumerator(uint64_t timestamp) = 0;
    virtual uint32_t GetMaxTargetCount() const = 0;
    virtual ITargetEnumeratorAdjuster* CreateTargetEnumeratorAdjuster(uint64_t timestamp) = 0;
};

}  // namespace Kest8::Analytics
