#pragma once

// Allocations made through the global operator new since the program
// started; AllocationCounter.cpp replaces the allocation functions.
long AllocationCount();
