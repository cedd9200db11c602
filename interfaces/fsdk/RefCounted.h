#pragma once
// Reference-counted SDK objects with strong and weak references.

#include <cstdint>
#include <utility>

namespace fsdk {

// The counts of one object. It outlives the object while weak references
// to it exist; all counts are atomic in the implementation.
class IRefCounter {
public:
    // Adds a strong reference only while the object is alive.
    virtual bool retainIfAlive() noexcept = 0;
    virtual void retainWeak() noexcept = 0;
    virtual void releaseWeak() noexcept = 0;
    virtual int32_t getStrongCount() const noexcept = 0;

protected:
    ~IRefCounter() = default;
};

class IRefCounted {
public:
    virtual int32_t retain() noexcept = 0;
    // Destroys the object when the last strong reference goes.
    virtual int32_t release() noexcept = 0;
    virtual int32_t getRefCount() const noexcept = 0;
    virtual IRefCounter* getRefCounter() const noexcept = 0;

protected:
    virtual ~IRefCounted() = default;
};

template <class T>
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    // Takes a new strong reference to the object.
    explicit Ref(T* object) noexcept : m_ptr(object)
    {
        if (m_ptr) m_ptr->retain();
    }
    Ref(const Ref& other) noexcept : Ref(other.m_ptr) {}
    Ref(Ref&& other) noexcept : m_ptr(std::exchange(other.m_ptr, nullptr)) {}
    template <class U>
    Ref(const Ref<U>& other) noexcept : Ref(other.get())
    {
    }
    ~Ref() { reset(); }

    Ref& operator=(const Ref& other) noexcept
    {
        Ref(other).swap(*this);
        return *this;
    }
    Ref& operator=(Ref&& other) noexcept
    {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    Ref& operator=(std::nullptr_t) noexcept
    {
        reset();
        return *this;
    }

    // Adopts an object whose reference the caller already holds.
    static Ref adopt(T* object) noexcept
    {
        Ref r;
        r.m_ptr = object;
        return r;
    }
    T* detach() noexcept { return std::exchange(m_ptr, nullptr); }
    void reset() noexcept
    {
        if (T* p = std::exchange(m_ptr, nullptr)) p->release();
    }
    void swap(Ref& other) noexcept { std::swap(m_ptr, other.m_ptr); }

    T* get() const noexcept { return m_ptr; }
    T* operator->() const noexcept { return m_ptr; }
    T& operator*() const noexcept { return *m_ptr; }
    explicit operator bool() const noexcept { return m_ptr != nullptr; }
    bool isNull() const noexcept { return m_ptr == nullptr; }

private:
    T* m_ptr = nullptr;
};

template <class T>
Ref<T> acquire(T* object) noexcept
{
    return Ref<T>::adopt(object);
}

template <class T>
class WeakRef {
public:
    WeakRef() noexcept = default;
    WeakRef(const Ref<T>& strong) noexcept { assign(strong.get()); }
    WeakRef(const WeakRef& other) noexcept { assignFrom(other); }
    WeakRef(WeakRef&& other) noexcept
        : m_ptr(std::exchange(other.m_ptr, nullptr)), m_counter(std::exchange(other.m_counter, nullptr))
    {
    }
    ~WeakRef() { reset(); }

    WeakRef& operator=(const WeakRef& other) noexcept
    {
        if (this != &other) {
            reset();
            assignFrom(other);
        }
        return *this;
    }
    WeakRef& operator=(WeakRef&& other) noexcept
    {
        if (this != &other) {
            reset();
            m_ptr = std::exchange(other.m_ptr, nullptr);
            m_counter = std::exchange(other.m_counter, nullptr);
        }
        return *this;
    }
    WeakRef& operator=(const Ref<T>& strong) noexcept
    {
        reset();
        assign(strong.get());
        return *this;
    }

    // A strong reference while the object is alive, else an empty one.
    Ref<T> lock() const noexcept
    {
        if (m_counter && m_counter->retainIfAlive()) return Ref<T>::adopt(m_ptr);
        return Ref<T>();
    }
    bool expired() const noexcept { return !m_counter || m_counter->getStrongCount() == 0; }
    void reset() noexcept
    {
        if (IRefCounter* c = std::exchange(m_counter, nullptr)) c->releaseWeak();
        m_ptr = nullptr;
    }

private:
    void assign(T* object) noexcept
    {
        if (!object) return;
        m_ptr = object;
        m_counter = object->getRefCounter();
        m_counter->retainWeak();
    }
    void assignFrom(const WeakRef& other) noexcept
    {
        m_ptr = other.m_ptr;
        m_counter = other.m_counter;
        if (m_counter) m_counter->retainWeak();
    }

    T* m_ptr = nullptr;
    IRefCounter* m_counter = nullptr;
};

}  // namespace fsdk
