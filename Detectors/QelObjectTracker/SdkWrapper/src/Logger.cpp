#include "Logger.h"

#include <fmt/format.h>
#include <unistd.h>

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
std::atomic<uint32_t> g_dumpCounter{0};
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
        // A directory that is already there belongs to an earlier process
        // with the same id: it counts as failure.
        boost::system::error_code ec;
        const bool created = boost::filesystem::create_directories(dir, ec);
        if (!created || !boost::filesystem::is_directory(boost::filesystem::status(root, ec)) || ec)
            throw std::runtime_error(fmt::format("Failed to create log dir '{}', error: {}", dir, ec.message()));
        file.open(dir + "/logcallback.txt", std::ios::out | std::ios::trunc);
        if (!file.is_open()) throw std::runtime_error(fmt::format("Failed to open log files in dir '{}'", dir));
        if (std::freopen((dir + "/cout.txt").c_str(), "w", stdout) == nullptr) {
        }
        if (std::freopen((dir + "/cerr.txt").c_str(), "w", stderr) == nullptr) {
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
