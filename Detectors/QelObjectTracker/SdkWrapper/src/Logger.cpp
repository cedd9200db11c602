#include "Logger.h"

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/filesystem.hpp>
#include <boost/process/environment.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <limits>
#include <mutex>
#include <stdexcept>

#include "Kest8/Logger.h"
#include "Log.h"
#include "fsdk/Log.h"

namespace QelWrapper {
namespace {

// Log lines of this file name the wrapper's logger, not its source file.
constexpr const char* kLoggerPath = "Detectors/QelObjectTracker/SdkWrapper/Logger";
constexpr const char* kVerboseLogDir = "QelSdkVerboseLogDir";

const char* SeverityName(int severity)
{
    static constexpr const char* names[] = {"ERROR", "WARN", "INFO", "DEBUG"};
    return severity >= 1 && severity <= 4 ? names[severity - 1] : nullptr;
}

std::string VerboseLogDir()
{
    auto environment = boost::this_process::environment();
    const auto entry = environment.find(kVerboseLogDir);
    return entry == environment.end() ? std::string() : entry->to_string();
}

// Whether `stream` writes into the file at `path`.
bool StreamIsFile(std::FILE* stream, const std::string& path)
{
    struct stat file {};
    struct stat open {};
    return ::stat(path.c_str(), &file) == 0 && ::fstat(fileno(stream), &open) == 0 && file.st_dev == open.st_dev &&
           file.st_ino == open.st_ino;
}

// A directory this very process made on an earlier load of the library: the
// standard streams it redirected there still write into it.
bool IsOwnDirectory(const std::string& dir)
{
    return StreamIsFile(stdout, dir + "/cout.txt") || StreamIsFile(stderr, dir + "/cerr.txt");
}

std::atomic<uint32_t> g_dumpCounter{0};

// Dumps already in `dir` keep their numbers: the next one comes after the
// highest, whichever load of the library (or earlier process) made them.
void ContinueDumpNumbering(const std::string& dir, const std::string& name)
{
    boost::system::error_code ec;
    uint32_t next = 0;
    const std::string prefix = name + "-";
    for (boost::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string entry = it->path().filename().string();
        if (entry.size() <= prefix.size() || entry.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string digits = entry.substr(prefix.size());
        if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) continue;
        next = std::max(next, static_cast<uint32_t>(std::stoul(digits)) + 1);
    }
    uint32_t current = g_dumpCounter.load();
    while (current < next && !g_dumpCounter.compare_exchange_weak(current, next)) {
    }
}

class SdkLogger {
public:
    SdkLogger(Kest8::ILogger* hostLogger, std::string loggerName);
    ~SdkLogger();
    SdkLogger(const SdkLogger&) = delete;
    SdkLogger& operator=(const SdkLogger&) = delete;

    Kest8::ILogger* const logger;
    std::ofstream file;
    const std::string name;
};

std::mutex g_creationMutex;
std::mutex g_fileMutex;
std::atomic<SdkLogger*> g_sdkLogger{nullptr};

// Ends the logger when the library is unloaded.
struct SdkLoggerOwner {
    ~SdkLoggerOwner() { DestroySdkLogger(); }
} g_owner;

SdkLogger::SdkLogger(Kest8::ILogger* hostLogger, std::string loggerName)
    : logger(hostLogger), name(std::move(loggerName))
{
    std::streambuf* const coutBuffer = std::cout.rdbuf();
    std::streambuf* const cerrBuffer = std::cerr.rdbuf();
    try {
        const std::string root = VerboseLogDir();
        if (root.empty()) throw std::runtime_error("QelSdkVerboseLogDir environmental variable is not set");
        const std::string dir = fmt::format("{}/{}_pid-{}/", root, name, getpid());
        ContinueDumpNumbering(dir, name);
        // A directory that is already there belongs to an earlier process
        // with the same id, and counts as failure, unless this process made
        // it before the library was last unloaded: then it goes on in it.
        boost::system::error_code ec;
        const bool created = boost::filesystem::create_directories(dir, ec);
        const bool reused = !created && !ec && IsOwnDirectory(dir);
        if ((!created && !reused) || !boost::filesystem::is_directory(boost::filesystem::status(root, ec)) || ec)
            throw std::runtime_error(fmt::format("Failed to create log dir '{}', error: {}", dir, ec.message()));
        file.open(dir + "/logcallback.txt", std::ios::out | (reused ? std::ios::app : std::ios::trunc));
        if (!file.is_open()) throw std::runtime_error(fmt::format("Failed to open log files in dir '{}'", dir));
        // Reused, the streams write there still.
        if (!reused && std::freopen((dir + "/cout.txt").c_str(), "w", stdout) == nullptr) {
        }
        if (!reused && std::freopen((dir + "/cerr.txt").c_str(), "w", stderr) == nullptr) {
        }
        fsdk::log::setPrintFunction(&LogToVerboseFile);
    } catch (const std::exception& e) {
        try {
            if (logger != nullptr && logger->GetLogLevel() <= 1)
                KestFramework::LogLine(logger, 1, kLoggerPath, __LINE__, "SdkLogger",
                                       fmt::format("Will log to our files since got exception: {}", e.what()));
        } catch (...) {
            // Not being able to say why must not keep the SDK messages from the host.
        }
        file.close();
        std::cout.rdbuf(coutBuffer);
        std::cerr.rdbuf(cerrBuffer);
        fsdk::log::setPrintFunction(&LogToOurFilesCallBack);
    }
}

SdkLogger::~SdkLogger()
{
    file.close();
    std::fflush(stdout);
    std::fflush(stderr);
}

}  // namespace

void InitSdkLogger(Kest8::ILogger* logger, const std::string& name)
{
    std::lock_guard<std::mutex> lock(g_creationMutex);
    if (g_sdkLogger.load() != nullptr) return;
    g_sdkLogger.store(new SdkLogger(logger, name));
}

void DestroySdkLogger()
{
    std::lock_guard<std::mutex> lock(g_creationMutex);
    SdkLogger* const sdkLogger = g_sdkLogger.load();
    if (sdkLogger == nullptr) return;
    // The SDK may outlive this library: it must not call into it any more.
    // Once this returns no SDK thread is inside one of the print functions.
    fsdk::log::setPrintFunction(nullptr);
    g_sdkLogger.store(nullptr);
    delete sdkLogger;
}

void LogToOurFiles(unsigned level, const char* text)
{
    SdkLogger* const sdkLogger = g_sdkLogger.load(std::memory_order_acquire);
    if (sdkLogger == nullptr || sdkLogger->logger == nullptr) return;
    if (int64_t{sdkLogger->logger->GetLogLevel()} > int64_t{level}) return;
    const auto hostLevel = static_cast<int32_t>(std::min<unsigned>(level, std::numeric_limits<int32_t>::max()));
    KestFramework::LogLine(sdkLogger->logger, hostLevel, kLoggerPath, __LINE__, "LogToOurFiles", text ? text : "");
}

bool IsSdkLogFileOpen()
{
    SdkLogger* const sdkLogger = g_sdkLogger.load(std::memory_order_acquire);
    return sdkLogger != nullptr && sdkLogger->file.is_open();
}

void DumpSdkConfigs(const fsdk::ISettingsProviderPtr& faceEngineSettings,
                    const fsdk::ISettingsProviderPtr& runtimeSettings,
                    const fsdk::ISettingsProviderPtr& trackEngineSettings)
{
    SdkLogger* const sdkLogger = g_sdkLogger.load(std::memory_order_acquire);
    if (sdkLogger == nullptr) return;
    try {
        const std::string root = VerboseLogDir();
        if (root.empty()) return;
        const uint32_t number = g_dumpCounter.fetch_add(1);
        const std::string dumpDir = fmt::format("{0}/{1}_pid-{2}/{1}-{3}/", root, sdkLogger->name, getpid(), number);
        boost::system::error_code ec;
        if (!boost::filesystem::create_directories(dumpDir, ec)) return;
        if (!boost::filesystem::is_directory(boost::filesystem::status(dumpDir, ec)) || ec) return;
        if (faceEngineSettings) faceEngineSettings->save((dumpDir + "faceengine.conf").c_str());
        if (runtimeSettings) runtimeSettings->save((dumpDir + "runtime.conf").c_str());
        if (trackEngineSettings) trackEngineSettings->save((dumpDir + "trackengine.conf").c_str());
    } catch (const std::exception&) {
        // A diagnostic copy that cannot be made is no reason to fail.
    }
}

void LogToVerboseFile(int severity, const char* message)
{
    SdkLogger* const sdkLogger = g_sdkLogger.load(std::memory_order_acquire);
    const char* const severityName = SeverityName(severity);
    if (sdkLogger == nullptr || message == nullptr || severityName == nullptr) return;
    std::lock_guard<std::mutex> lock(g_fileMutex);
    sdkLogger->file << '[' << severityName << "] " << message << '\n';
}

void LogToOurFilesCallBack(int severity, const char* message)
{
    SdkLogger* const sdkLogger = g_sdkLogger.load(std::memory_order_acquire);
    const char* const severityName = SeverityName(severity);
    if (sdkLogger == nullptr || message == nullptr || severityName == nullptr) return;
    if (sdkLogger->logger == nullptr || sdkLogger->logger->GetLogLevel() != 0) return;
    try {
        KestFramework::LogLine(sdkLogger->logger, 0, kLoggerPath, __LINE__, "LogToOurFilesCallBack",
                               fmt::format("severity: {}; msg: {}", severityName, message));
    } catch (...) {
        // Called by the SDK: nothing may leave.
    }
}

}  // namespace QelWrapper
