// The SDK logger. Its routing is decided once per process and it redirects
// the standard streams, so every case runs in a child process of its own.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "Logger.h"
#include "QelWrapper/IObjectObserver.h"
#include "RefHost/Logger.h"
#include "common/SdkLog.h"

namespace {

namespace fs = boost::filesystem;
using namespace QelWrapper;

const std::string kDataDir = std::string(QEL_MODULE_DIR) + "/QelSdk/gpu/data";
const std::string kLoggerFile = "Detectors/QelObjectTracker/SdkWrapper/Logger";

// Collects failures in the child; they reach the parent through the exit
// status and the original standard error.
class Child {
public:
    Child() : m_stderr(dup(2)) {}
    void Check(bool condition, const std::string& what)
    {
        if (!condition) m_failures += what + "\n";
    }
    [[noreturn]] void Finish()
    {
        if (!m_failures.empty() && write(m_stderr, m_failures.data(), m_failures.size()) < 0) {
        }
        std::exit(m_failures.empty() ? 0 : 1);
    }

private:
    int m_stderr;
    std::string m_failures;
};

std::string Read(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string TempRoot()
{
    const fs::path root = fs::temp_directory_path() / fs::unique_path("sdklog-%%%%-%%%%");
    fs::create_directories(root);
    return root.string();
}

std::string ProcessDir(const std::string& root)
{
    return root + "/ObjectObserver_pid-" + std::to_string(getpid()) + "/";
}

const std::string kFallback = "Will log to our files since got exception: ";

void UnsetRoutesToTheHostOnce()
{
    Child child;
    unsetenv("QelSdkVerboseLogDir");
    RefHost::Logger host(1);
    InitSdkLogger(&host, "ObjectObserver");
    InitSdkLogger(&host, "Other");
    const auto lines = host.Lines();
    child.Check(lines.size() == 1, "one line");
    if (!lines.empty()) {
        child.Check(lines[0].text == kFallback + "QelSdkVerboseLogDir environmental variable is not set",
                    lines[0].text);
        child.Check(lines[0].level == 1, "level 1");
        child.Check(lines[0].file == kLoggerFile, lines[0].file);
        child.Check(lines[0].function == "SdkLogger", lines[0].function);
    }
    child.Check(fsdk::log::getPrintFunction() == &LogToOurFilesCallBack, "host print function");
    child.Check(!IsSdkLogFileOpen(), "no file");
    fsdk::log::print(2, "x");  // host level 1: SDK messages stay out
    LogToOurFiles(1, "mine");
    LogToOurFiles(0, "too detailed");
    LogToOurFiles(1, nullptr);
    const auto after = host.Lines();
    child.Check(after.size() == 3, "two of ours");
    if (after.size() == 3) {
        child.Check(after[1].text == "mine" && after[1].function == "LogToOurFiles", after[1].text);
        child.Check(after[2].text.empty(), "null text");
    }
    child.Finish();
}

void UnsetAtLevelZeroPassesSdkMessages()
{
    Child child;
    unsetenv("QelSdkVerboseLogDir");
    RefHost::Logger host(0);
    InitSdkLogger(&host, "ObjectObserver");
    host.Clear();
    fsdk::log::print(2, "x");
    LogToOurFilesCallBack(0, "dropped");
    LogToOurFilesCallBack(5, "dropped");
    LogToOurFilesCallBack(1, nullptr);
    LogToOurFilesCallBack(4, "y");
    const auto lines = host.Lines();
    child.Check(lines.size() == 2, "two lines");
    if (lines.size() == 2) {
        child.Check(lines[0].text == "severity: WARN; msg: x", lines[0].text);
        child.Check(lines[0].level == 0 && lines[0].function == "LogToOurFilesCallBack", lines[0].function);
        child.Check(lines[0].file == kLoggerFile, lines[0].file);
        child.Check(lines[1].text == "severity: DEBUG; msg: y", lines[1].text);
    }
    host.SetLevel(1);
    fsdk::log::print(1, "z");
    child.Check(host.Count() == 2, "nothing above level 0");
    child.Finish();
}

fsdk::ISettingsProviderPtr Settings(const char* name)
{
    return fsdk::createSettingsProvider((kDataDir + "/" + name).c_str()).value;
}

void WritableDirectoryGetsTheFiles()
{
    Child child;
    const std::string root = TempRoot();
    setenv("QelSdkVerboseLogDir", root.c_str(), 1);
    RefHost::Logger host(0);
    InitSdkLogger(&host, "ObjectObserver");
    const std::string dir = ProcessDir(root);
    child.Check(host.Count() == 0, "no fallback line");
    child.Check(IsSdkLogFileOpen(), "file open");
    child.Check(fsdk::log::getPrintFunction() == &LogToVerboseFile, "file print function");
    for (const char* name : {"logcallback.txt", "cout.txt", "cerr.txt"})
        child.Check(fs::is_regular_file(dir + "/" + name), name);
    fsdk::log::print(1, "x");
    LogToVerboseFile(0, "dropped");
    LogToVerboseFile(5, "dropped");
    LogToVerboseFile(3, nullptr);
    LogToVerboseFile(4, "y");
    std::printf("to cout\n");
    std::fprintf(stderr, "to cerr\n");
    child.Check(host.Count() == 0, "SDK messages stay out of the host log");

    auto face = Settings("faceengine.conf");
    auto runtime = Settings("runtime.conf");
    auto track = Settings("trackengine.conf");
    face->setValue("system", "verboseLogging", 4);
    DumpSdkConfigs(face, runtime, track);
    DumpSdkConfigs(face, nullptr, track);
    const std::string first = root + "/ObjectObserver_pid-" + std::to_string(getpid()) + "/ObjectObserver-0/";
    const std::string second = root + "/ObjectObserver_pid-" + std::to_string(getpid()) + "/ObjectObserver-1/";
    for (const char* name : {"faceengine.conf", "runtime.conf", "trackengine.conf"})
        child.Check(fs::is_regular_file(first + name), first + name);
    child.Check(fs::is_regular_file(second + "faceengine.conf"), "second face");
    child.Check(!fs::exists(second + "runtime.conf"), "null runtime skipped");
    child.Check(fs::is_regular_file(second + "trackengine.conf"), "second track");
    int32_t verbose = 0;
    auto saved = fsdk::createSettingsProvider((first + "faceengine.conf").c_str());
    child.Check(saved.isOk() && saved.value->getInt("system", "verboseLogging", &verbose) && verbose == 4,
                "dump reads back");

    DestroySdkLogger();  // closes and flushes, as unloading does
    child.Check(Read(dir + "/logcallback.txt") == "[ERROR] x\n[DEBUG] y\n", Read(dir + "/logcallback.txt"));
    child.Check(Read(dir + "/cout.txt") == "to cout\n", "cout");
    child.Check(Read(dir + "/cerr.txt") == "to cerr\n", "cerr");
    child.Check(fsdk::log::getPrintFunction() == nullptr, "print function taken back");
    fs::remove_all(root);
    child.Finish();
}

void ExistingDirectoryFallsBack()
{
    Child child;
    const std::string root = TempRoot();
    setenv("QelSdkVerboseLogDir", root.c_str(), 1);
    fs::create_directories(ProcessDir(root) + "ObjectObserver-0");  // an earlier process of the same id, its dump
    RefHost::Logger host(1);
    InitSdkLogger(&host, "ObjectObserver");
    const auto lines = host.Lines();
    child.Check(lines.size() == 1 &&
                    lines[0].text == kFallback + "Failed to create log dir '" + ProcessDir(root) + "', error: Success",
                lines.empty() ? "no line" : lines[0].text);
    child.Check(!IsSdkLogFileOpen(), "no file");
    child.Check(fsdk::log::getPrintFunction() == &LogToOurFilesCallBack, "host print function");
    // Dumps only need the variable; they are numbered after those there.
    DumpSdkConfigs(Settings("faceengine.conf"), nullptr, nullptr);
    child.Check(fs::is_regular_file(ProcessDir(root) + "ObjectObserver-1/faceengine.conf"), "dump");
    child.Check(fs::is_empty(ProcessDir(root) + "ObjectObserver-0"), "the earlier dump untouched");
    fs::remove_all(root);
    child.Finish();
}

void UnusableDirectoryFallsBack()
{
    Child child;
    const std::string root = TempRoot();
    const std::string file = root + "/plain-file";
    std::ofstream(file) << "not a directory";
    setenv("QelSdkVerboseLogDir", file.c_str(), 1);
    RefHost::Logger host(1);
    InitSdkLogger(&host, "ObjectObserver");
    const auto lines = host.Lines();
    const std::string expected = kFallback + "Failed to create log dir '" + ProcessDir(file) + "', error: ";
    child.Check(lines.size() == 1 && lines[0].text.rfind(expected, 0) == 0 &&
                    lines[0].text.find("Not a directory") != std::string::npos,
                lines.empty() ? "no line" : lines[0].text);
    DumpSdkConfigs(Settings("faceengine.conf"), nullptr, nullptr);  // fails silently
    child.Check(host.Count() == 1, "no more lines");
    fs::remove_all(root);
    child.Finish();
}

void DestroyingTakesThePrintFunctionBack()
{
    Child child;
    unsetenv("QelSdkVerboseLogDir");
    RefHost::Logger host(0);
    DumpSdkConfigs(nullptr, nullptr, nullptr);  // no logger yet: nothing
    LogToOurFiles(0, "no logger yet");
    child.Check(host.Count() == 0, "nothing before creation");
    InitSdkLogger(&host, "ObjectObserver");
    child.Check(fsdk::log::getPrintFunction() == &LogToOurFilesCallBack, "installed");
    DestroySdkLogger();
    child.Check(fsdk::log::getPrintFunction() == nullptr, "reset");
    host.Clear();
    LogToOurFiles(1, "gone");
    LogToOurFilesCallBack(1, "gone");
    child.Check(host.Count() == 0, "nothing after destruction");
    DestroySdkLogger();  // twice: harmless
    child.Finish();
}

// The real library, loaded and unloaded as the plug-in does.
void UnloadingTheWrapperLeavesTheSdkSafe()
{
    Child child;
    unsetenv("QelSdkVerboseLogDir");
    const std::string path = std::string(QEL_MODULE_DIR) + "/libQelWrapperGpu.so";
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    child.Check(library != nullptr, dlerror() ? dlerror() : "dlopen");
    if (library == nullptr) child.Finish();
    auto create = reinterpret_cast<CreateObjectObserverFn>(dlsym(library, "CreateObjectObserver"));
    child.Check(create != nullptr, "export");
    RefHost::Logger host(1);
    Configurations config;
    config.logger = &host;
    config.modulePath = QEL_MODULE_DIR;
    config.frameWidth = config.roiWidth = 320;
    config.frameHeight = config.roiHeight = 240;
    try {
        create(nullptr);
        child.Check(false, "null configuration accepted");
    } catch (const std::runtime_error&) {
    }
    IObjectObserver* observer = create(&config);
    child.Check(fsdk::log::getPrintFunction() != nullptr, "installed by the library");
    observer->Stop();
    delete observer;
    dlclose(library);
    child.Check(dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD) == nullptr, "unloaded");
    child.Check(fsdk::log::getPrintFunction() == nullptr, "print function taken back at unload");
    fsdk::log::print(1, "after unload");  // would call into unmapped code
    child.Finish();
}

// The last detector going unloads the wrapper; the next one loads it again in
// the same process, which goes on in its own directory and numbering.
void ReloadedWrapperGoesOnInItsDirectory()
{
    Child child;
    const std::string root = TempRoot();
    setenv("QelSdkVerboseLogDir", root.c_str(), 1);
    const std::string path = std::string(QEL_MODULE_DIR) + "/libQelWrapperGpu.so";
    RefHost::Logger host(1);
    for (int load = 0; load < 2; ++load) {
        void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        child.Check(library != nullptr, dlerror() ? dlerror() : "dlopen");
        if (library == nullptr) child.Finish();
        auto create = reinterpret_cast<CreateObjectObserverFn>(dlsym(library, "CreateObjectObserver"));
        Configurations config;
        config.logger = &host;
        config.modulePath = QEL_MODULE_DIR;
        config.frameWidth = config.roiWidth = 320;
        config.frameHeight = config.roiHeight = 240;
        IObjectObserver* observer = create(&config);
        std::printf("load %d\n", load);
        observer->Stop();
        delete observer;
        dlclose(library);
        child.Check(dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD) == nullptr, "unloaded");
    }
    for (const auto& line : host.Lines())
        child.Check(line.text.find(kFallback) == std::string::npos, "still to the files: " + line.text);
    const std::string dir = ProcessDir(root);
    for (const char* dump : {"ObjectObserver-0/", "ObjectObserver-1/"})
        child.Check(fs::is_regular_file(dir + dump + "trackengine.conf"), std::string("dump ") + dump);
    child.Check(!fs::exists(dir + "ObjectObserver-2"), "one dump per load");
    std::fflush(stdout);
    child.Check(Read(dir + "/cout.txt") == "load 0\nload 1\n", "standard output kept: " + Read(dir + "/cout.txt"));
    fs::remove_all(root);
    child.Finish();
}

class SdkLogger : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(SdkLogger, UnsetVariableRoutesToTheHostOnce)
{
    EXPECT_EXIT(UnsetRoutesToTheHostOnce(), ::testing::ExitedWithCode(0), "");
}
TEST_F(SdkLogger, UnsetVariableAtLevelZeroPassesSdkMessages)
{
    EXPECT_EXIT(UnsetAtLevelZeroPassesSdkMessages(), ::testing::ExitedWithCode(0), "");
}
TEST_F(SdkLogger, WritableDirectoryGetsLogStreamsAndNumberedDumps)
{
    EXPECT_EXIT(WritableDirectoryGetsTheFiles(), ::testing::ExitedWithCode(0), "");
}
TEST_F(SdkLogger, ExistingProcessDirectoryFallsBackToTheHost)
{
    EXPECT_EXIT(ExistingDirectoryFallsBack(), ::testing::ExitedWithCode(0), "");
}
TEST_F(SdkLogger, UnusableDirectoryFallsBackToTheHost)
{
    EXPECT_EXIT(UnusableDirectoryFallsBack(), ::testing::ExitedWithCode(0), "");
}
TEST_F(SdkLogger, DestroyingTakesThePrintFunctionBack)
{
    EXPECT_EXIT(DestroyingTakesThePrintFunctionBack(), ::testing::ExitedWithCode(0), "");
}
TEST_F(SdkLogger, ReloadedWrapperGoesOnInItsDirectory)
{
    EXPECT_EXIT(ReloadedWrapperGoesOnInItsDirectory(), ::testing::ExitedWithCode(0), "");
}
TEST_F(SdkLogger, UnloadingTheWrapperLeavesTheSdkSafe)
{
    EXPECT_EXIT(UnloadingTheWrapperLeavesTheSdkSafe(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
