#pragma once
// Host logging for the plug-in and the wrapper: formatted only when the
// logger's level lets the message through.

#include <fmt/format.h>

#include <cstring>
#include <string>

#include "Kest8/Logger.h"

namespace KestFramework {

// Source path relative to the tree, without extension, as log lines carry it.
inline std::string SourceLocationPath(const char* file)
{
    std::string path(file ? file : "");
    const auto slash = path.find_last_of('/');
    const auto dot = path.find_last_of('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) path.erase(dot);
    return path;
}

inline bool IsLogged(Kest8::ILogger* logger, int32_t level)
{
    return logger != nullptr && logger->GetLogLevel() <= level;
}

inline void LogLine(Kest8::ILogger* logger, int32_t level, const char* file, int32_t line, const char* function,
                    const std::string& text)
{
    logger->Log(level, SourceLocationPath(file).c_str(), line, function, text.c_str());
}

}  // namespace KestFramework

// Logs a {fmt} message with the caller's source location.
#define KEST_LOG(logger, level, ...)                                                                                \
    do {                                                                                                            \
        Kest8::ILogger* kestLogger_ = (logger);                                                                     \
        if (::KestFramework::IsLogged(kestLogger_, (level)))                                                        \
            ::KestFramework::LogLine(kestLogger_, (level), __FILE__, __LINE__, __func__, fmt::format(__VA_ARGS__)); \
    } while (false)
