// Counting replacements of the global allocation functions, for the
// benchmarks' allocations per frame. The C functions are replaced in the
// executable, so every library's malloc reaches them; they hand the work to
// glibc's own entry points. GCC cannot see that new and delete pair up.

#include "AllocationCounter.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* p);
}

namespace {

std::atomic<long> allocations{0};
std::atomic<AllocationHook> hook{nullptr};
thread_local bool inHook = false;

void Count(std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    const AllocationHook h = hook.load(std::memory_order_acquire);
    if (h == nullptr || inHook) return;
    inHook = true;
    h(size);
    inHook = false;
}

}  // namespace

long AllocationCount()
{
    return allocations.load();
}

void SetAllocationHook(AllocationHook h)
{
    hook.store(h, std::memory_order_release);
}

extern "C" {

void* malloc(std::size_t size)
{
    Count(size);
    return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size)
{
    Count(count * size);
    return __libc_calloc(count, size);
}

void* realloc(void* p, std::size_t size)
{
    if (p == nullptr) Count(size);
    return __libc_realloc(p, size);
}

void* memalign(std::size_t alignment, std::size_t size)
{
    Count(size);
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size)
{
    Count(size);
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, std::size_t alignment, std::size_t size)
{
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
    Count(size);
    void* p = __libc_memalign(alignment, size);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}

void free(void* p)
{
    __libc_free(p);
}

}  // extern "C"

// Counted once, in malloc.
void* operator new(std::size_t size)
{
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
