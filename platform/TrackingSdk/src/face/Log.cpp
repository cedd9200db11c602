#include <atomic>
#include <cstdio>
#include <thread>

#include "common/SdkLog.h"

namespace fsdk::log {
namespace {

// Trivially destructible, so messages printed while the process exits
// never meet a destroyed hook.
std::atomic<PrintFunction> g_function{nullptr};
std::atomic<int> g_callsInFlight{0};
thread_local int t_printDepth = 0;

}  // namespace

void setPrintFunction(PrintFunction function)
{
    g_function.store(function);
    // Once this returns, no thread is still inside the previous function:
    // its library may then be unloaded. A hook that replaces itself from
    // inside a message must not wait for its own call.
    const int own = t_printDepth;
    while (g_callsInFlight.load() > own) std::this_thread::yield();
}

PrintFunction getPrintFunction() noexcept
{
    return g_function.load();
}

void print(int severity, const char* message) noexcept
{
    g_callsInFlight.fetch_add(1);
    ++t_printDepth;
    if (PrintFunction function = g_function.load())
        function(severity, message ? message : "");
    else if (severity == Error)
        std::fprintf(stderr, "[tracking sdk] ERROR: %s\n", message ? message : "");
    --t_printDepth;
    g_callsInFlight.fetch_sub(1);
}

}  // namespace fsdk::log
