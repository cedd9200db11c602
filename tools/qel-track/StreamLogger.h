#pragma once
// The logger the host gives the module: the reference host's, noting which
// stream's thread each line came on and whether the detector refused a frame.

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "RefHost/Contract.h"
#include "RefHost/Logger.h"

namespace QelTrack {

// The running thread's stream and what its detector said on it.
struct ThreadNotes {
    int stream = -1;       // -1 outside any stream, and when there is only one
    bool refused = false;  // the detector refused the frame being pushed
    std::string lastError;
};
ThreadNotes& ThisThread();

class StreamLogger final : public Kest8::ILogger {
public:
    explicit StreamLogger(int32_t level) : m_lines(level) {}

    REFHOST_CONTRACTS(Kest8::ILogger)

    int32_t GetLogLevel() const override { return m_lines.GetLogLevel(); }
    void Log(int32_t level, const char* text) override;
    void Log(int32_t level, const char* file, int32_t line, const char* function, const char* text) override;

    // The lines since the last call, each with its stream (-1 for none).
    std::vector<std::pair<RefHost::LogLine, int>> Take();

private:
    RefHost::Logger m_lines;
    std::mutex m_mutex;
    std::deque<int> m_streams;  // one per line in m_lines
};

}  // namespace QelTrack
