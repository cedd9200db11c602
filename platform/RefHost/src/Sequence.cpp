#include "RefHost/Sequence.h"

#include <atomic>

namespace RefHost {

uint64_t NextSequence()
{
    static std::atomic<uint64_t> next{1};
    return next.fetch_add(1);
}

}  // namespace RefHost
