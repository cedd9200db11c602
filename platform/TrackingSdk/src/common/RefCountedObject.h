#pragma once
// The SDK side of fsdk::Ref / fsdk::WeakRef: a control block with atomic
// strong and weak counts, and a base that implements IRefCounted over it.

#include <atomic>
#include <cstdint>
#include <utility>

#include "fsdk/Def.h"
#include "fsdk/RefCounted.h"

namespace fsdk::detail {

// Starts with one strong reference (the creator's) and one weak reference
// that the object itself holds until it is destroyed, so the block
// outlives the object while weak references remain.
class FSDK_API ControlBlock final : public IRefCounter {
public:
    ControlBlock() noexcept = default;
    ControlBlock(const ControlBlock&) = delete;
    ControlBlock& operator=(const ControlBlock&) = delete;

    bool retainIfAlive() noexcept override;
    void retainWeak() noexcept override;
    void releaseWeak() noexcept override;
    int32_t getStrongCount() const noexcept override;

    int32_t retainStrong() noexcept;
    // The count left after this release.
    int32_t releaseStrong() noexcept;

private:
    ~ControlBlock() = default;

    std::atomic<int32_t> m_strong{1};
    std::atomic<int32_t> m_weak{1};
};

template <class Interface>
class RefCountedObject : public Interface {
public:
    RefCountedObject(const RefCountedObject&) = delete;
    RefCountedObject& operator=(const RefCountedObject&) = delete;

    int32_t retain() noexcept override { return m_counter->retainStrong(); }
    int32_t release() noexcept override
    {
        ControlBlock* counter = m_counter;
        const int32_t left = counter->releaseStrong();
        if (left == 0) {
            delete this;
            counter->releaseWeak();
        }
        return left;
    }
    int32_t getRefCount() const noexcept override { return m_counter->getStrongCount(); }
    IRefCounter* getRefCounter() const noexcept override { return m_counter; }

protected:
    RefCountedObject() : m_counter(new ControlBlock) {}
    ~RefCountedObject() override = default;

private:
    ControlBlock* m_counter;
};

// A new object of T owned by the returned reference.
template <class Interface, class T, class... Args>
Ref<Interface> makeRef(Args&&... args)
{
    return Ref<Interface>::adopt(new T(std::forward<Args>(args)...));
}

}  // namespace fsdk::detail
