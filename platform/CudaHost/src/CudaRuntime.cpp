// CUDA runtime with host memory standing in for device memory. Every block
// is tracked, so a copy from outside any block is refused as a real device
// would fault.

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "CudaHost/Control.h"
#include "PixelCopy/PixelCopy.h"
#include "cuda_runtime_api.h"

namespace {

struct State {
    std::mutex mutex;
    std::map<const char*, size_t> blocks;  // start -> size
    size_t total = 0;
    size_t lastRequest = 0;
    int failMalloc = 0;
    int failFree = 0;
    int failMemcpy = 0;
};

State& state()
{
    static State s;
    return s;
}

bool TakeFailure(int& counter)
{
    if (counter <= 0) return false;
    --counter;
    return true;
}

// Whether [p, p + n) lies inside one block. Caller holds the mutex.
bool InsideBlock(State& s, const void* p, size_t n)
{
    const char* c = static_cast<const char*>(p);
    auto it = s.blocks.upper_bound(c);
    if (it == s.blocks.begin()) return false;
    --it;
    const size_t offset = static_cast<size_t>(c - it->first);
    return offset <= it->second && n <= it->second - offset;
}

}  // namespace

namespace CudaHost {

void FailNext(Call call, int count)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    switch (call) {
    case Call::Malloc: s.failMalloc = count; break;
    case Call::Free: s.failFree = count; break;
    case Call::Memcpy: s.failMemcpy = count; break;
    }
}

size_t LiveAllocations()
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.blocks.size();
}

size_t TotalAllocations()
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.total;
}

size_t LastRequestedSize()
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.lastRequest;
}

}  // namespace CudaHost

extern "C" {

cudaError_t cudaMalloc(void** devPtr, size_t size)
{
    if (devPtr == nullptr) return cudaErrorInvalidValue;
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.lastRequest = size;
    if (TakeFailure(s.failMalloc)) return cudaErrorMemoryAllocation;
    // Device allocations are at least 256-byte aligned.
    const size_t rounded = (size + 255) / 256 * 256;
    void* p = std::aligned_alloc(256, rounded == 0 ? 256 : rounded);
    if (p == nullptr) return cudaErrorMemoryAllocation;
    s.blocks.emplace(static_cast<const char*>(p), size);
    ++s.total;
    *devPtr = p;
    return cudaSuccess;
}

cudaError_t cudaFree(void* devPtr)
{
    if (devPtr == nullptr) return cudaSuccess;
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (TakeFailure(s.failFree)) return cudaErrorInvalidValue;
    auto it = s.blocks.find(static_cast<const char*>(devPtr));
    if (it == s.blocks.end()) return cudaErrorInvalidValue;
    s.blocks.erase(it);
    std::free(devPtr);
    return cudaSuccess;
}

cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, enum cudaMemcpyKind kind)
{
    if (count == 0) return cudaSuccess;
    if (dst == nullptr || src == nullptr) return cudaErrorInvalidValue;
    {
        State& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        if (TakeFailure(s.failMemcpy)) return cudaErrorInvalidValue;
        const bool srcOnDevice = kind == cudaMemcpyDeviceToHost || kind == cudaMemcpyDeviceToDevice;
        const bool dstOnDevice = kind == cudaMemcpyHostToDevice || kind == cudaMemcpyDeviceToDevice;
        if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDefault) return cudaErrorInvalidValue;
        if (srcOnDevice && !InsideBlock(s, src, count)) return cudaErrorInvalidValue;
        if (dstOnDevice && !InsideBlock(s, dst, count)) return cudaErrorInvalidValue;
    }
    // The copy itself needs no lock: streams copying their frames do not
    // wait for each other, and freeing a block in use is the caller's race
    // on a real device too.
    const auto from = reinterpret_cast<uintptr_t>(src);
    const auto to = reinterpret_cast<uintptr_t>(dst);
    if (to - from >= count && from - to >= count)
        qel::CopyPicture(dst, src, count);
    else
        std::memmove(dst, src, count);
    return cudaSuccess;
}

}  // extern "C"
