#pragma once

#include <cstdint>

#include "tsdk/TrackEngine.h"

namespace QelWrapper {

// Carries the host frame's time stamp through the SDK to its result.
class AdditionalFrameData final : public tsdk::AdditionalFrameData {
public:
    explicit AdditionalFrameData(uint64_t timestamp) noexcept : timestamp(timestamp) {}

    uint64_t timestamp;
};

}  // namespace QelWrapper
