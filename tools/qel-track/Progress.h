#pragma once
// The progress line on a terminal: frames decoded so far and the pace.

#include <atomic>
#include <cstdint>

#include "Summary.h"

namespace QelTrack {

class Progress {
public:
    // `total` 0 when the number of frames is not known.
    Progress(const std::atomic<uint64_t>& decoded, uint64_t total) : m_decoded(decoded), m_total(total) {}
    void Show(Clock::time_point started);

private:
    const std::atomic<uint64_t>& m_decoded;
    const uint64_t m_total;
};

}  // namespace QelTrack
