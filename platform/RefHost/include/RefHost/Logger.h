#pragma once

#include <atomic>
#include <iosfwd>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "Kest8/Logger.h"
#include "RefHost/Contract.h"

namespace RefHost {

struct LogLine {
    int32_t level = 0;
    bool hasLocation = false;  // false for the short form
    std::string file;
    int32_t line = 0;
    std::string function;
    std::string text;
    uint64_t sequence = 0;  // among everything the host received
};

// Keeps every line it receives; safe for concurrent use.
class Logger final : public Kest8::ILogger {
public:
    explicit Logger(int32_t level = 0) : m_level(level) {}

    REFHOST_CONTRACTS(Kest8::ILogger)

    int32_t GetLogLevel() const override { return m_level.load(); }
    void Log(int32_t level, const char* text) override;
    void Log(int32_t level, const char* file, int32_t line, const char* function, const char* text) override;

    void SetLevel(int32_t level) { m_level.store(level); }
    std::vector<LogLine> Lines() const;
    // Lines from the index-th on.
    std::vector<LogLine> LinesFrom(size_t index) const;
    std::vector<std::string> Texts() const;
    // Lines whose text equals `text`.
    std::vector<LogLine> LinesWithText(const std::string& text) const;
    size_t Count() const;
    void Clear();
    // The lines received so far, and forgets them.
    std::vector<LogLine> Take();
    // Also write every line to `out` as it comes.
    void EchoTo(std::ostream* out);

    static std::string Format(const LogLine& line);

private:
    void Append(LogLine line);

    std::atomic<int32_t> m_level;
    mutable std::mutex m_mutex;
    std::vector<LogLine> m_lines;
    std::ostream* m_echo = nullptr;
};

}  // namespace RefHost
