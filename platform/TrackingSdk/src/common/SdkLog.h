#pragma once
// Messages of the SDK through the hook of fsdk::log::setPrintFunction.

#include <fmt/format.h>

#include <string>

#include "fsdk/Def.h"
#include "fsdk/Log.h"

namespace fsdk::log {

enum Severity : int { Error = 1, Warning = 2, Info = 3, Debug = 4 };

// Calls the installed function; without one, errors go to standard error.
FSDK_API void print(int severity, const char* message) noexcept;
// The function installed now, null when none.
FSDK_API PrintFunction getPrintFunction() noexcept;

// Formats only when `enabled`.
template <class... Args>
void printf(bool enabled, int severity, fmt::format_string<Args...> format, Args&&... args) noexcept
{
    if (!enabled) return;
    try {
        const std::string text = fmt::format(format, std::forward<Args>(args)...);
        print(severity, text.c_str());
    } catch (...) {
        // A message that cannot be formatted is not worth failing for.
    }
}

}  // namespace fsdk::log
