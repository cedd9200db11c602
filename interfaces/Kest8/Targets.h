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

// A target being filled in. Its named values go through the
// IEventArgsAdjuster contract of the same object.
class ITargetAdjuster : public ITarget {
public:
    virtual void SetTargetId(uint32_t id) = 0;
    virtual void SetObjectClass(uint32_t objectClass) = 0;
    virtual void SetPhase(uint32_t phase) = 0;
    virtual void SetBox(const Rect* box) = 0;
};

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
