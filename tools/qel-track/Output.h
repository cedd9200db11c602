#pragma once
// Where qel-track writes: its JSON Lines output and its own messages, on the
// descriptors the process started with. The SDK may reopen the process's
// standard output and error into its log directory once the module runs.

#include <cstdio>
#include <mutex>
#include <string>

namespace QelTrack {

class Output {
public:
    // Takes `file`; `name` says where it goes in messages.
    Output(FILE* file, std::string name) : m_file(file), m_name(std::move(name)) {}
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Whole lines, written and flushed together so that a reader sees
    // records as they come; safe from several threads.
    void Write(const std::string& lines);
    // Flushes and closes; false when anything could not be written.
    bool Close();
    bool Failed() const;
    const std::string& Name() const { return m_name; }

private:
    mutable std::mutex m_mutex;
    FILE* m_file;
    const std::string m_name;
    bool m_failed = false;
};

// A copy of a standard descriptor taken before the module loads, as a
// stream; null when the descriptor cannot be copied.
FILE* KeepStandardStream(int fd, const char* mode);

// The tool's own messages go to standard error; after KeepMessages, called
// before the module loads, to the copy it keeps.
void KeepMessages();
FILE* Messages();
// One message line, "qel-track: " first.
void Complain(const std::string& text);

}  // namespace QelTrack
