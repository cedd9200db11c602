#pragma once
// Records what the SDK prints while an instance lives.

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "fsdk/Log.h"

class SdkLogCapture {
public:
    SdkLogCapture()
    {
        Lines().clear();
        fsdk::log::setPrintFunction(&Print);
    }
    ~SdkLogCapture() { fsdk::log::setPrintFunction(nullptr); }

    static std::vector<std::pair<int, std::string>> Messages()
    {
        std::lock_guard<std::mutex> lock(Mutex());
        return Lines();
    }
    static bool Contains(int severity, const std::string& part)
    {
        const auto all = Messages();
        return std::any_of(all.begin(), all.end(), [&](const std::pair<int, std::string>& m) {
            return m.first == severity && m.second.find(part) != std::string::npos;
        });
    }

private:
    static void Print(int severity, const char* message)
    {
        std::lock_guard<std::mutex> lock(Mutex());
        Lines().emplace_back(severity, message);
    }
    static std::mutex& Mutex()
    {
        static std::mutex mutex;
        return mutex;
    }
    static std::vector<std::pair<int, std::string>>& Lines()
    {
        static std::vector<std::pair<int, std::string>> lines;
        return lines;
    }
};
