#pragma once
// Test controls of our host-memory CUDA runtime and NPP.

#include <cstddef>

namespace CudaHost {

enum class Call { Malloc, Free, Memcpy };

// The next `count` calls of `call` fail.
void FailNext(Call call, int count = 1);
// The next `count` NPP conversions answer `status` (non-zero).
void FailNextNpp(int count = 1, int status = -1000);
void ResetFailures();

// Device blocks currently allocated, and every allocation ever made.
size_t LiveAllocations();
size_t TotalAllocations();
// The size of the last cudaMalloc asked for, a refused one included.
size_t LastRequestedSize();

}  // namespace CudaHost
