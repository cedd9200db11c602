#include "Output.h"

#include <fcntl.h>
#include <unistd.h>

namespace QelTrack {

namespace {

FILE* g_messages = stderr;

}  // namespace

Output::~Output()
{
    Close();
}

void Output::Write(const std::string& lines)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_failed || m_file == nullptr || lines.empty()) return;
    if (std::fwrite(lines.data(), 1, lines.size(), m_file) != lines.size() || std::fflush(m_file) != 0) m_failed = true;
}

bool Output::Close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_file != nullptr) {
        if (std::fflush(m_file) != 0 || std::ferror(m_file)) m_failed = true;
        if (std::fclose(m_file) != 0) m_failed = true;
        m_file = nullptr;
    }
    return !m_failed;
}

bool Output::Failed() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failed;
}

FILE* KeepStandardStream(int fd, const char* mode)
{
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (copy < 0) return nullptr;
    FILE* stream = fdopen(copy, mode);
    if (stream == nullptr) close(copy);
    return stream;
}

void KeepMessages()
{
    if (FILE* errors = KeepStandardStream(STDERR_FILENO, "w")) {
        setvbuf(errors, nullptr, _IOLBF, 0);
        g_messages = errors;
    }
}

FILE* Messages()
{
    return g_messages;
}

void Complain(const std::string& text)
{
    std::fprintf(g_messages, "qel-track: %s\n", text.c_str());
    std::fflush(g_messages);
}

}  // namespace QelTrack
