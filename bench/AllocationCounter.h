#pragma once

#include <cstddef>

// Heap allocations made since the program started, through the global
// operator new and the C allocation functions alike (OpenCV and C libraries
// allocate with malloc); AllocationCounter.cpp replaces both.
long AllocationCount();

// Called for every allocation while set, outside any allocation of its own:
// what it allocates is counted but not reported to it.
using AllocationHook = void (*)(std::size_t size);
void SetAllocationHook(AllocationHook hook);
