#pragma once
// Detector parameters given as NAME=VALUE on the command line, and what the
// module's result codes mean.

#include <cstdint>
#include <string>

#include "Kest8/Analytics.h"

namespace QelTrack {

// Sets one NAME=VALUE through the setter of its kind; the detector's result.
// Throws UsageError when the value does not fit the parameter's kind.
int32_t SetParameter(Kest8::Analytics::IVisualSyncAdjuster& adjuster, const std::string& name,
                     const std::string& value);

// A result code in words.
const char* ResultMeaning(int32_t code);

}  // namespace QelTrack
