#include "common/RefCountedObject.h"

namespace fsdk::detail {

bool ControlBlock::retainIfAlive() noexcept
{
    int32_t count = m_strong.load(std::memory_order_relaxed);
    while (count > 0) {
        if (m_strong.compare_exchange_weak(count, count + 1, std::memory_order_acq_rel, std::memory_order_relaxed))
            return true;
    }
    return false;
}

void ControlBlock::retainWeak() noexcept
{
    m_weak.fetch_add(1, std::memory_order_relaxed);
}

void ControlBlock::releaseWeak() noexcept
{
    if (m_weak.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

int32_t ControlBlock::getStrongCount() const noexcept
{
    return m_strong.load(std::memory_order_acquire);
}

int32_t ControlBlock::retainStrong() noexcept
{
    return m_strong.fetch_add(1, std::memory_order_relaxed) + 1;
}

int32_t ControlBlock::releaseStrong() noexcept
{
    return m_strong.fetch_sub(1, std::memory_order_acq_rel) - 1;
}

}  // namespace fsdk::detail
