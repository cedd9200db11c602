#include "RefHost/Logger.h"

#include <ostream>

#include "RefHost/Sequence.h"

namespace RefHost {

void Logger::Log(int32_t level, const char* text)
{
    LogLine line;
    line.level = level;
    line.text = text ? text : "";
    Append(std::move(line));
}

void Logger::Log(int32_t level, const char* file, int32_t lineNumber, const char* function, const char* text)
{
    LogLine line;
    line.level = level;
    line.hasLocation = true;
    line.file = file ? file : "";
    line.line = lineNumber;
    line.function = function ? function : "";
    line.text = text ? text : "";
    Append(std::move(line));
}

void Logger::Append(LogLine line)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    line.sequence = NextSequence();
    if (m_echo) *m_echo << Format(line) << '\n';
    m_lines.push_back(std::move(line));
}

std::vector<LogLine> Logger::Lines() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

std::vector<LogLine> Logger::LinesFrom(size_t index) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (index >= m_lines.size()) return {};
    return std::vector<LogLine>(m_lines.begin() + static_cast<std::ptrdiff_t>(index), m_lines.end());
}

std::vector<std::string> Logger::Texts() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> texts;
    texts.reserve(m_lines.size());
    for (const auto& line : m_lines) texts.push_back(line.text);
    return texts;
}

std::vector<LogLine> Logger::LinesWithText(const std::string& text) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<LogLine> found;
    for (const auto& line : m_lines)
        if (line.text == text) found.push_back(line);
    return found;
}

size_t Logger::Count() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines.size();
}

void Logger::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
}

std::vector<LogLine> Logger::Take()
{
    std::vector<LogLine> lines;
    std::lock_guard<std::mutex> lock(m_mutex);
    lines.swap(m_lines);
    return lines;
}

void Logger::EchoTo(std::ostream* out)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_echo = out;
}

std::string Logger::Format(const LogLine& line)
{
    std::string out = "[" + std::to_string(line.level) + "] ";
    if (line.hasLocation) out += line.file + ":" + std::to_string(line.line) + " " + line.function + ": ";
    return out + line.text;
}

}  // namespace RefHost
