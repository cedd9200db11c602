// Shared SDK engines: sharing by key, the settings written, launch options,
// failures and release on the worker pool.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <fstream>
#include <set>
#include <thread>

#include "Engines.h"
#include "EnginesFaults.h"
#include "KestCv/DynamicThreadPool.h"
#include "RefHost/Logger.h"
#include "SdkErrors.h"

namespace {

namespace fs = boost::filesystem;
using QelWrapper::Configurations;
using QelWrapper::Engines;

// The SDK logger keeps the host logger of the first engines of the process.
RefHost::Logger& Log()
{
    static RefHost::Logger logger(1);
    return logger;
}

Configurations Config()
{
    Configurations config;
    config.logger = &Log();
    config.modulePath = QEL_MODULE_DIR;
    config.frameWidth = 640;
    config.frameHeight = 480;
    config.roiWidth = 640;
    config.roiHeight = 480;
    return config;
}

int32_t IntOf(const fsdk::ISettingsProviderPtr& settings, const char* section, const char* key)
{
    int32_t value = -12345;
    EXPECT_TRUE(settings->getInt(section, key, &value)) << section << " " << key;
    return value;
}

std::string TextOf(const fsdk::ISettingsProviderPtr& settings, const char* section, const char* key)
{
    const char* text = settings->getText(section, key);
    EXPECT_NE(text, nullptr) << section << " " << key;
    return text ? text : "";
}

size_t Lines(const std::string& text)
{
    return Log().LinesWithText(text).size();
}

class EnginesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { unsetenv("QelSdkVerboseLogDir"); }
    void SetUp() override
    {
        Faults::Get().Reset();
        Log().Clear();
    }
    void TearDown() override { Faults::Get().Reset(); }
};

// A module directory of our own whose data files can be missing or broken.
class ModuleDir {
public:
    ModuleDir() : m_root(fs::temp_directory_path() / fs::unique_path("engines-%%%%-%%%%"))
    {
        const fs::path data = Data();
        fs::create_directories(data);
        for (const char* name : {"faceengine.conf", "runtime.conf", "trackengine.conf"})
            fs::copy_file(fs::path(QEL_MODULE_DIR) / "QelSdk/gpu/data" / name, data / name);
    }
    ~ModuleDir()
    {
        boost::system::error_code ec;
        fs::remove_all(m_root, ec);
    }
    void Remove(const char* name) const { fs::remove(Data() / name); }
    void Write(const char* name, const std::string& content) const
    {
        std::ofstream((Data() / name).string()) << content;
    }
    Configurations Config() const
    {
        Configurations config = ::Config();
        config.modulePath = m_root.string();
        return config;
    }

private:
    fs::path Data() const { return m_root / "QelSdk" / "gpu" / "data"; }
    fs::path m_root;
};

TEST_F(EnginesTest, IdenticalConfigurationsShareBothEngines)
{
    Engines first(Config());
    EXPECT_EQ(Lines("Creating new faceengine, shared props: device0x0,threads4"), 1u);
    EXPECT_EQ(Lines("Creating new trackengine, shared props: device0-0,detectorStep7,detectionsSkipped18,"
                    "minimalTrackLength1,roiW640,roiH480,scale-result-size960"),
              1u);
    Engines second(Config());
    EXPECT_EQ(second.FaceEngine().get(), first.FaceEngine().get());
    EXPECT_EQ(second.TrackEngine().get(), first.TrackEngine().get());
    EXPECT_EQ(&second.GetBatchObserver(), &first.GetBatchObserver());
    // The second opened no settings file.
    EXPECT_TRUE(first.FaceSettings());
    EXPECT_FALSE(second.FaceSettings());
    EXPECT_FALSE(second.RuntimeSettings());
    EXPECT_EQ(Lines("Using shared faceengine, shared props: device0x0,threads4"), 1u);
    EXPECT_EQ(Lines("Using shared trackengine, shared props: device0-0,detectorStep7,detectionsSkipped18,"
                    "minimalTrackLength1,roiW640,roiH480,scale-result-size960"),
              1u);
    EXPECT_EQ(Faults::Get().trackEnginesAsked, 1);
    size_t sharing = 0;
    for (const auto& line : Log().Lines()) {
        if (line.text.find("shared props") == std::string::npos) continue;  // not the logger's own line
        ++sharing;
        EXPECT_EQ(line.level, 1);
        EXPECT_EQ(line.file, "Detectors/QelObjectTracker/SdkWrapper/Logger");
        EXPECT_EQ(line.function, "LogToOurFiles");
    }
    EXPECT_EQ(sharing, 4u);
}

TEST_F(EnginesTest, KeysDecideWhatIsShared)
{
    Engines first(Config());
    Configurations threads = Config();
    threads.numThreads = 2;
    Engines second(threads);
    // A new face engine, but the live track engine of an unchanged key stays.
    EXPECT_NE(second.FaceEngine().get(), first.FaceEngine().get());
    EXPECT_EQ(second.TrackEngine().get(), first.TrackEngine().get());
    EXPECT_EQ(Lines("Creating new faceengine, shared props: device0x0,threads2"), 1u);

    Configurations region = Config();
    region.roiWidth = 320;
    Engines third(region);
    EXPECT_EQ(third.FaceEngine().get(), first.FaceEngine().get());
    EXPECT_NE(third.TrackEngine().get(), first.TrackEngine().get());
    EXPECT_EQ(Lines("Creating new trackengine, shared props: device0-0,detectorStep7,detectionsSkipped18,"
                    "minimalTrackLength1,roiW320,roiH480,scale-result-size960"),
              1u);

    Configurations device = Config();
    device.deviceType = QelWrapper::GPU;
    device.deviceIndex = 1;
    Engines fourth(device);
    EXPECT_NE(fourth.FaceEngine().get(), first.FaceEngine().get());
    EXPECT_NE(fourth.TrackEngine().get(), first.TrackEngine().get());
    EXPECT_EQ(Engines::FaceKey(device), "device1x1,threads4");
}

TEST_F(EnginesTest, WritesTheSettingsOfACpuConfiguration)
{
    Configurations config = Config();
    config.numThreads = 3;
    config.deviceIndex = 2;
    config.detectorStep = 5;
    config.detectionsSkipped = 9;
    config.minimalTrackLength = 4;
    Engines engines(config);
    const auto& runtime = engines.RuntimeSettings();
    EXPECT_EQ(IntOf(runtime, "Runtime", "numThreads"), 3);
    EXPECT_EQ(IntOf(runtime, "Runtime", "numComputeStreams"), 3);
    EXPECT_EQ(TextOf(runtime, "Runtime", "deviceClass"), "cpu");
    EXPECT_EQ(IntOf(runtime, "Runtime", "defaultGpuDevice"), 2);
    EXPECT_EQ(IntOf(runtime, "Runtime", "programCacheSize"), 1024);
    EXPECT_EQ(IntOf(runtime, "Runtime", "verboseLogging"), 0);
    EXPECT_EQ(IntOf(engines.FaceSettings(), "system", "verboseLogging"), 0);
    // The face engine got both providers, in their roles.
    EXPECT_EQ(engines.FaceEngine()->getSettingsProvider(), engines.FaceSettings().get());
    EXPECT_EQ(engines.FaceEngine()->getRuntimeSettingsProvider(), runtime.get());

    const auto& track = engines.TrackSettings();
    EXPECT_EQ(TextOf(track, "logging", "mode"), "l2c");
    EXPECT_EQ(IntOf(track, "logging", "severity"), 3);
    EXPECT_EQ(IntOf(track, "other", "callback-mode"), 1);
    EXPECT_EQ(IntOf(track, "other", "detector-step"), 5);
    EXPECT_EQ(IntOf(track, "other", "skip-frames"), 9);
    EXPECT_EQ(IntOf(track, "other", "frg-subtractor"), 0);
    EXPECT_EQ(IntOf(track, "other", "frames-buffer-size"), 20);
    EXPECT_EQ(IntOf(track, "other", "detector-scaling"), 1);
    EXPECT_EQ(IntOf(track, "other", "scale-result-size"), 640);  // the region is smaller than 960
    EXPECT_EQ(IntOf(track, "other", "max-detection-count"), 128);
    EXPECT_EQ(TextOf(track, "other", "tracker-type"), "qelTracker");
    EXPECT_EQ(IntOf(track, "face", "face-landmarks-detection"), 0);
    EXPECT_EQ(IntOf(track, "human", "inactive-tracks-lifetime"), 50);
    EXPECT_EQ(IntOf(track, "detectors", "use-face-detector"), 0);
    EXPECT_EQ(IntOf(track, "detectors", "use-body-detector"), 1);
    EXPECT_EQ(IntOf(track, "other", "minimal-track-length"), 4);
    // A CPU engine gets no launch options.
    EXPECT_EQ(Faults::Get().trackEnginesAsked, 1);
    EXPECT_FALSE(Faults::Get().launchOptions.has_value());
}

TEST_F(EnginesTest, TrackEngineSettingsAreWrittenInTheirOrderBeforeTheEngineIsAsked)
{
    Configurations config = Config();
    config.detectorStep = 5;
    config.detectionsSkipped = 9;
    config.minimalTrackLength = 4;
    config.detectorScaling = 1280;
    config.roiWidth = 800;
    config.roiHeight = 1000;
    Engines engines(config);
    const std::vector<std::string> expected = {
        "logging/mode=\"l2c\"",
        "logging/severity=3",
        "other/callback-mode=1",
        "other/detector-step=5",
        "other/skip-frames=9",
        "other/frg-subtractor=0",
        "other/frames-buffer-size=20",
        "other/detector-scaling=1",
        "other/scale-result-size=1000",
        "other/max-detection-count=128",
        "other/tracker-type=\"qelTracker\"",
        "face/face-landmarks-detection=0",
        "human/inactive-tracks-lifetime=50",
        "detectors/use-face-detector=0",
        "detectors/use-body-detector=1",
        "other/minimal-track-length=4",
        "createTrackEngine",
    };
    EXPECT_EQ(Faults::Get().Writes("trackengine.conf"), expected);
}

TEST_F(EnginesTest, AGpuConfigurationPassesLaunchOptions)
{
    Configurations config = Config();
    config.deviceType = QelWrapper::GPU;
    config.deviceIndex = 3;
    config.roiWidth = 1920;
    config.roiHeight = 1080;
    Engines engines(config);
    EXPECT_EQ(TextOf(engines.RuntimeSettings(), "Runtime", "deviceClass"), "gpu");
    EXPECT_EQ(IntOf(engines.RuntimeSettings(), "Runtime", "defaultGpuDevice"), 3);
    EXPECT_EQ(IntOf(engines.TrackSettings(), "other", "scale-result-size"), 960);
    ASSERT_TRUE(Faults::Get().launchOptions.has_value());
    EXPECT_EQ(Faults::Get().launchOptions->deviceClass, 1);
    EXPECT_TRUE(Faults::Get().launchOptions->runConcurrently);
    EXPECT_EQ(Faults::Get().launchOptions->defaultGpuDevice, 3);
}

TEST_F(EnginesTest, TheProcessWidePoolIsMadeOnceAsAgreed)
{
    Engines first(Config());
    Engines second(Config());
    std::lock_guard<std::mutex> lock(Faults::Get().mutex);
    EXPECT_EQ(Faults::Get().poolsCreated, 1);
    const auto& arguments = Faults::Get().poolArguments;
    EXPECT_EQ(arguments.logger, nullptr);
    EXPECT_EQ(arguments.name, "QelObjectTracker");
    EXPECT_EQ(arguments.maxThreads, 256u);
    EXPECT_EQ(arguments.minThreads, 1u);
    EXPECT_EQ(arguments.idleThreads, 1u);
    EXPECT_TRUE(arguments.growOnDemand);
}

TEST_F(EnginesTest, AnEngineIsBuiltAgainAfterItsLastUserLeft)
{
    fsdk::WeakRef<fsdk::IFaceEngine> face;
    fsdk::WeakRef<tsdk::ITrackEngine> track;
    {
        Engines engines(Config());
        face = engines.FaceEngine();
        track = engines.TrackEngine();
    }
    // Released on the pool before the destructor returned.
    EXPECT_TRUE(face.expired());
    EXPECT_TRUE(track.expired());
    Log().Clear();
    Engines again(Config());
    EXPECT_EQ(Lines("Creating new faceengine, shared props: device0x0,threads4"), 1u);
    EXPECT_EQ(Lines("Creating new trackengine, shared props: device0-0,detectorStep7,detectionsSkipped18,"
                    "minimalTrackLength1,roiW640,roiH480,scale-result-size960"),
              1u);
    EXPECT_TRUE(again.FaceSettings());
}

TEST_F(EnginesTest, ARefusedReleaseTaskReleasesOnTheCallingThread)
{
    fsdk::WeakRef<fsdk::IFaceEngine> face;
    fsdk::WeakRef<tsdk::ITrackEngine> track;
    auto engines = std::make_unique<Engines>(Config());
    face = engines->FaceEngine();
    track = engines->TrackEngine();
    Faults::Get().refusePosts = true;
    EXPECT_NO_THROW(engines.reset());
    EXPECT_TRUE(face.expired());
    EXPECT_TRUE(track.expired());
}

// With QelSdkVerboseLogDir naming a directory the SDK logs to a file of its
// own; that is decided once per process, so this runs in a child process.
// Failures reach the parent through the exit status and the original
// standard error (the SDK logger redirects the process's one).
void VerboseEnginesInAChild()
{
    const int originalStderr = dup(2);
    std::string failures;
    auto check = [&](bool condition, const std::string& what) {
        if (!condition) failures += what + "\n";
    };
    const fs::path root = fs::temp_directory_path() / fs::unique_path("engines-verbose-%%%%-%%%%");
    fs::create_directories(root);
    setenv("QelSdkVerboseLogDir", root.c_str(), 1);
    const std::string process = (root / ("ObjectObserver_pid-" + std::to_string(getpid()))).string();
    auto intOf = [](const fsdk::ISettingsProviderPtr& settings, const char* section, const char* key) {
        int32_t value = -12345;
        return settings && settings->getInt(section, key, &value) ? value : -12345;
    };
    {
        Engines first(Config());
        check(intOf(first.FaceSettings(), "system", "verboseLogging") == 4, "face verboseLogging 4");
        check(intOf(first.RuntimeSettings(), "Runtime", "verboseLogging") == 4, "runtime verboseLogging 4");
        check(intOf(first.TrackSettings(), "logging", "severity") == 0, "severity 0");
        // Saved once the engines exist, with the values they were built on.
        const std::string dump = process + "/ObjectObserver-0/";
        for (const char* name : {"faceengine.conf", "runtime.conf", "trackengine.conf"})
            check(fs::is_regular_file(dump + name), dump + name);
        auto saved = fsdk::createSettingsProvider((dump + "trackengine.conf").c_str());
        check(saved.isOk() && intOf(saved.getValue(), "logging", "severity") == 0 &&
                  intOf(saved.getValue(), "other", "minimal-track-length") == 1,
              "saved track settings");
        auto runtime = fsdk::createSettingsProvider((dump + "runtime.conf").c_str());
        check(runtime.isOk() && intOf(runtime.getValue(), "Runtime", "verboseLogging") == 4, "saved runtime settings");

        // Shared engines opened no face or runtime settings: only the track
        // engine's are saved, in the next directory.
        Engines second(Config());
        const std::string shared = process + "/ObjectObserver-1/";
        check(fs::is_regular_file(shared + "trackengine.conf"), shared + "trackengine.conf");
        check(!fs::exists(shared + "faceengine.conf") && !fs::exists(shared + "runtime.conf"), "shared: track only");
        check(!fs::exists(process + "/ObjectObserver-2"), "one dump per construction");
    }
    fs::remove_all(root);
    if (!failures.empty() && write(originalStderr, failures.data(), failures.size()) < 0) {
    }
    std::exit(failures.empty() ? 0 : 1);
}

TEST_F(EnginesTest, AVerboseLogFileRaisesTheSdkVerbosityAndSavesEachConfiguration)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(VerboseEnginesInAChild(), ::testing::ExitedWithCode(0), "");
}

void ExpectFailure(const Configurations& config, const std::string& message)
{
    try {
        Engines engines(config);
        ADD_FAILURE() << "no failure, expected: " << message;
    } catch (const KestCvUtils::XDynamicThreadPoolError& e) {
        ADD_FAILURE() << "pool error " << e.what() << ", expected: " << message;
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), message);
    }
}

TEST_F(EnginesTest, MissingOrBrokenSettingsFilesFailWithTheirNames)
{
    for (const char* name : {"faceengine.conf", "runtime.conf", "trackengine.conf"}) {
        ModuleDir missing;
        missing.Remove(name);
        ExpectFailure(missing.Config(), std::string("Unable to create settings provider for ") + name);
        ModuleDir broken;
        broken.Write(name, "[Runtime\nnumThreads = four\n");
        ExpectFailure(broken.Config(), std::string("Unable to create settings provider for ") + name);
    }
    Configurations nowhere = Config();
    nowhere.modulePath = "/no/such/module/dir";
    ExpectFailure(nowhere, "Unable to create settings provider for faceengine.conf");
}

TEST_F(EnginesTest, EngineFailuresCarryTheSdkText)
{
    Faults::Get().faceEngine = Faults::Mode::ErrorCode;
    Faults::Get().code = fsdk::FSDKError::InvalidPath;
    ExpectFailure(Config(), "Failed to create face engine instance. What: Invalid path.");
    Faults::Get().faceEngine = Faults::Mode::NoObject;
    ExpectFailure(Config(), "Failed to create face engine instance.");
    Faults::Get().faceEngine = Faults::Mode::Real;

    Faults::Get().trackEngine = Faults::Mode::ErrorCode;
    Faults::Get().code = fsdk::FSDKError::CudaError;
    ExpectFailure(Config(), "Failed to create tracker engine instance. What: CUDA Error");
    Faults::Get().trackEngine = Faults::Mode::NoObject;
    ExpectFailure(Config(), "Failed to create tracker engine instance.");
    Faults::Get().trackEngine = Faults::Mode::Real;

    // The real SDK refusing a detector it does not have.
    ModuleDir unknownDetector;
    unknownDetector.Write("trackengine.conf", "[detectors]\nbody-detector-type = \"person\"\n");
    ExpectFailure(unknownDetector.Config(), "Failed to create tracker engine instance. What: Invalid config");
    // And its network missing from the module's data.
    ModuleDir noNetwork;
    noNetwork.Write("trackengine.conf", "[neural-detector]\nmodel = \"absent.onnx\"\n");
    ExpectFailure(noNetwork.Config(), "Failed to create tracker engine instance. What: Model not loaded");

    // A failed construction leaves no engine behind.
    Engines engines(Config());
    EXPECT_TRUE(engines.FaceSettings());
}

TEST_F(EnginesTest, ARefusedCreationTaskIsAPoolError)
{
    Engines warm(Config());  // the pool exists
    Faults::Get().refusePosts = true;
    try {
        Engines engines(Config());
        ADD_FAILURE() << "no failure";
    } catch (const KestCvUtils::XDynamicThreadPoolError& e) {
        EXPECT_STREQ(e.what(), "unable to post a task into the pool");
    }
    Faults::Get().refusePosts = false;
}

TEST_F(EnginesTest, EveryResultCodeHasItsText)
{
    using E = fsdk::FSDKError;
    const std::pair<E, const char*> texts[] = {
        {E::Ok, "Ok"},
        {E::Internal, "Internal error"},
        {E::InvalidInput, "Invalid input"},
        {E::InvalidImage, "Invalid image"},
        {E::InvalidRect, "Invalid rectangle"},
        {E::InvalidImageFormat, "Invalid image format"},
        {E::InvalidImageSize, "Invalid image size"},
        {E::InvalidDetection, "Invalid detection"},
        {E::InvalidLandmarks5, "Invalid landmarks 5"},
        {E::InvalidLandmarks68, "Invalid landmarks 68"},
        {E::InvalidTransformation, "Invalid transformation."},
        {E::InvalidDescriptor, "Invalid descriptor"},
        {E::InvalidDescriptorBatch, "Invalid descriptor batch."},
        {E::InvalidSettingsProvider, "Invalid settings provider.."},
        {E::InvalidDescriptorId, "Invalid descriptor id."},
        {E::InvalidPath, "Invalid path."},
        {E::InvalidSerializedObject, "Invalid serialized object."},
        {E::ModuleNotInitialized, "Module is not initialized"},
        {E::ModuleNotReady, "Module is not ready"},
        {E::BufferIsNull, "Buffer is null"},
        {E::BufferIsFull, "Buffer is full"},
        {E::BufferIsEmpty, "Buffer is empty"},
        {E::InvalidBufferSize, "Invalid buffer size"},
        {E::InvalidSpanSize, "Invalid span size"},
        {E::InvalidBatch, "Invalid Batch"},
        {E::IncompatibleDescriptors, "Descriptors are incompatible"},
        {E::FiltredAggregationError, "Cant aggregate descriptors - all images'a GSs are less the threashold"},
        {E::BatchedInternalError, "Something gone wrong in batched query"},
        {E::UnsupportedFunctionality, "Was requested unsupported functionality"},
        {E::HighMemoryUsage, "Operation required a lot of memory"},
        {E::IncompatibleModelVersions, "Incompatible model versions"},
        {E::ModelNotLoaded, "Model not loaded"},
        {E::InvalidConfig, "Invalid config"},
        {E::ValidationFailed, "Failed validation."},
        {E::CudaError, "CUDA Error"},
        {E::NotImplemented, "Not implemented."},
    };
    for (const auto& [code, text] : texts) EXPECT_STREQ(QelWrapper::SdkErrorText(code), text);
    for (uint32_t unknown : {19u, 27u, 35u, 38u, 42u, 1000u})
        EXPECT_STREQ(QelWrapper::SdkErrorText(static_cast<E>(unknown)), "Unknown error");
}

TEST_F(EnginesTest, ConcurrentConstructionsShareOneSetOfEngines)
{
    std::vector<std::unique_ptr<Engines>> engines(6);
    std::vector<std::thread> threads;
    for (auto& slot : engines) threads.emplace_back([&slot] { slot = std::make_unique<Engines>(Config()); });
    for (auto& thread : threads) thread.join();
    std::set<const void*> faces, tracks;
    for (const auto& e : engines) {
        faces.insert(e->FaceEngine().get());
        tracks.insert(e->TrackEngine().get());
    }
    EXPECT_EQ(faces.size(), 1u);
    EXPECT_EQ(tracks.size(), 1u);
    EXPECT_EQ(Lines("Creating new faceengine, shared props: device0x0,threads4"), 1u);
    EXPECT_EQ(Lines("Using shared faceengine, shared props: device0x0,threads4"), 5u);
    threads.clear();
    for (auto& slot : engines) threads.emplace_back([&slot] { slot.reset(); });
    for (auto& thread : threads) thread.join();
}

}  // namespace
