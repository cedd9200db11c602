#pragma once

#include "fsdk/Def.h"

namespace fsdk::log {

// Severities: 1 error, 2 warning, 3 information, 4 debug.
using PrintFunction = void (*)(int severity, const char* message);

// Installs the process-wide hook for the SDK's messages; null removes it.
FSDK_API void setPrintFunction(PrintFunction function);

}  // namespace fsdk::log
