#pragma once

#include <cstdint>

namespace RefHost {

// One process-wide count over everything the host receives (log lines,
// ended events, metric submits), so records of different kinds can be put
// back in the order they arrived.
uint64_t NextSequence();

}  // namespace RefHost
