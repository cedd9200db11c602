#include "StreamLogger.h"

#include <cstring>

namespace QelTrack {

namespace {

constexpr const char* kPushRefused = "failed pushing the frame to stream";

void Note(int32_t level, const char* text)
{
    if (text == nullptr) return;
    if (std::strcmp(text, kPushRefused) == 0)
        ThisThread().refused = true;
    else if (level >= 3)
        ThisThread().lastError = text;
}

}  // namespace

ThreadNotes& ThisThread()
{
    thread_local ThreadNotes notes;
    return notes;
}

void StreamLogger::Log(int32_t level, const char* text)
{
    Note(level, text);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.Log(level, text);
    m_streams.push_back(ThisThread().stream);
}

void StreamLogger::Log(int32_t level, const char* file, int32_t line, const char* function, const char* text)
{
    Note(level, text);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.Log(level, file, line, function, text);
    m_streams.push_back(ThisThread().stream);
}

std::vector<std::pair<RefHost::LogLine, int>> StreamLogger::Take()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::pair<RefHost::LogLine, int>> taken;
    auto lines = m_lines.Take();
    taken.reserve(lines.size());
    for (size_t i = 0; i < lines.size(); ++i) taken.emplace_back(std::move(lines[i]), m_streams[i]);
    m_streams.erase(m_streams.begin(), m_streams.begin() + static_cast<std::ptrdiff_t>(lines.size()));
    return taken;
}

}  // namespace QelTrack
