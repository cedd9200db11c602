// Counting replacements of the global allocation functions, for the
// benchmarks' allocations per frame. GCC cannot see that they pair up.

#include "AllocationCounter.h"

#include <atomic>
#include <cstdlib>
#include <new>

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<long> allocations{0};
}

long AllocationCount()
{
    return allocations.load();
}

void* operator new(std::size_t size)
{
    ++allocations;
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
