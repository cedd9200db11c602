// Our SDK's settings files, reference counting, images and engine creation.

#include <gtest/gtest.h>

#include <atomic>
#include <boost/filesystem.hpp>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "ElfSymbols.h"
#include "SdkLogCapture.h"
#include "common/ImageAccess.h"
#include "fsdk/FaceEngineSDK.h"
#include "tsdk/TrackEngine.h"

namespace {

namespace fs = boost::filesystem;

const std::string kDataDir = std::string(QEL_MODULE_DIR) + "/QelSdk/gpu/data";

class TempDir {
public:
    TempDir() : m_path(fs::temp_directory_path() / fs::unique_path("sdk-test-%%%%-%%%%"))
    {
        fs::create_directories(m_path);
    }
    ~TempDir()
    {
        boost::system::error_code ec;
        fs::remove_all(m_path, ec);
    }
    std::string File(const std::string& name, const std::string& content) const
    {
        const std::string path = (m_path / name).string();
        std::ofstream(path) << content;
        return path;
    }
    std::string Path() const { return m_path.string(); }

private:
    fs::path m_path;
};

fsdk::ISettingsProviderPtr Load(const std::string& path)
{
    auto created = fsdk::createSettingsProvider(path.c_str());
    EXPECT_TRUE(created.isOk()) << path;
    return std::move(created).getValue();
}

TEST(SdkSettings, ReadsSectionsWithTypedValues)
{
    TempDir dir;
    const auto settings = Load(dir.File("a.conf",
                                        "# comment\n"
                                        "; another\n"
                                        "[other]\n"
                                        "  detector-step = 7  \n"
                                        "negative=-12\n"
                                        "\n"
                                        "[Runtime]\n"
                                        "deviceClass = \"gpu\"\n"
                                        "quoted = \"say \\\"hi\\\" \\\\ bye\"\n"));
    int32_t value = 0;
    EXPECT_TRUE(settings->getInt("other", "detector-step", &value));
    EXPECT_EQ(value, 7);
    EXPECT_TRUE(settings->getInt("other", "negative", &value));
    EXPECT_EQ(value, -12);
    EXPECT_STREQ(settings->getText("Runtime", "deviceClass"), "gpu");
    EXPECT_STREQ(settings->getText("Runtime", "quoted"), "say \"hi\" \\ bye");
    // Kinds do not mix, absent keys and sections answer nothing.
    EXPECT_FALSE(settings->getInt("Runtime", "deviceClass", &value));
    EXPECT_EQ(settings->getText("other", "detector-step"), nullptr);
    EXPECT_FALSE(settings->getInt("other", "missing", &value));
    EXPECT_EQ(settings->getText("nowhere", "deviceClass"), nullptr);
    EXPECT_FALSE(settings->getInt(nullptr, "x", &value));
    EXPECT_EQ(settings->getDefaultPath(), dir.Path() + "/a.conf");
}

TEST(SdkSettings, OverridesAndSavesSoThatTheFileReadsBack)
{
    TempDir dir;
    const auto settings = Load(dir.File("a.conf", "[other]\ndetector-step = 7\n"));
    settings->setValue("other", "detector-step", 3);
    settings->setValue("other", "tracker-type", "qel \"x\"");
    settings->setValue("new-section", "key", -1);
    settings->setValue("other", "multi", "first\nsecond");
    settings->setValue("bad section", "key", 1);  // refused: not a name
    const std::string saved = dir.Path() + "/saved.conf";
    ASSERT_TRUE(settings->save(saved.c_str()).isOk());
    EXPECT_TRUE(settings->save((dir.Path() + "/no/such/dir/x.conf").c_str()).isError());

    const auto again = Load(saved);
    int32_t value = 0;
    EXPECT_TRUE(again->getInt("other", "detector-step", &value));
    EXPECT_EQ(value, 3);
    EXPECT_STREQ(again->getText("other", "tracker-type"), "qel \"x\"");
    EXPECT_TRUE(again->getInt("new-section", "key", &value));
    EXPECT_EQ(value, -1);
    EXPECT_STREQ(again->getText("other", "multi"), "first");
    EXPECT_EQ(again->getText("bad section", "key"), nullptr);
}

TEST(SdkSettings, MissingOrBrokenFilesAnswerACodeAndSayWhere)
{
    SdkLogCapture log;
    TempDir dir;
    EXPECT_EQ(fsdk::createSettingsProvider((dir.Path() + "/none.conf").c_str()).code, fsdk::FSDKError::InvalidPath);
    EXPECT_EQ(fsdk::createSettingsProvider(dir.Path().c_str()).code, fsdk::FSDKError::InvalidPath);
    EXPECT_EQ(fsdk::createSettingsProvider(nullptr).code, fsdk::FSDKError::InvalidPath);
    EXPECT_EQ(fsdk::createSettingsProvider("").code, fsdk::FSDKError::InvalidPath);

    const char* broken[] = {
        "key = 1\n",                       // outside a section
        "[s]\nkey = \"open\n",             // unterminated text
        "[s]\nkey = \"a\" tail\n",         // characters after the text
        "[s]\nkey = word\n",               // neither integer nor text
        "[s]\nkey = 99999999999\n",        // beyond 32 bits
        "[s]\nkey =\n",                    // no value
        "[s\n",                            // unclosed section
        "[s]\njust a line\n",              // no '='
        "[s]\nkey = \"bad \\n escape\"\n"  // unknown escape
    };
    for (const char* content : broken) {
        const auto result = fsdk::createSettingsProvider(dir.File("broken.conf", content).c_str());
        EXPECT_EQ(result.code, fsdk::FSDKError::InvalidConfig) << content;
        EXPECT_FALSE(result.value) << content;
    }
    EXPECT_TRUE(SdkLogCapture::Contains(1, "broken.conf' line 2"));
}

TEST(SdkSettings, ShippedDefaultsAreComplete)
{
    const auto face = Load(kDataDir + "/faceengine.conf");
    const auto runtime = Load(kDataDir + "/runtime.conf");
    const auto track = Load(kDataDir + "/trackengine.conf");
    int32_t value = 0;
    EXPECT_TRUE(face->getInt("system", "verboseLogging", &value));
    EXPECT_STREQ(runtime->getText("Runtime", "deviceClass"), "cpu");
    EXPECT_TRUE(runtime->getInt("Runtime", "numThreads", &value));
    EXPECT_STREQ(track->getText("detectors", "body-detector-type"), "neural");
    for (const char* key : {"detector-step", "skip-frames", "frames-buffer-size", "scale-result-size",
                            "max-detection-count", "minimal-track-length", "callback-mode", "association-overlap",
                            "high-detection-score", "low-detection-score", "person-score"})
        EXPECT_TRUE(track->getInt("other", key, &value)) << key;
    EXPECT_TRUE(track->getInt("human", "inactive-tracks-lifetime", &value));
    EXPECT_STREQ(track->getText("neural-detector", "model"), "centernet.onnx");
    for (const char* key : {"input-size", "score-threshold", "nms-overlap"})
        EXPECT_TRUE(track->getInt("neural-detector", key, &value)) << key;
    for (const char* key : {"background-threshold", "min-width", "min-height", "min-fill", "min-aspect", "max-aspect"})
        EXPECT_TRUE(track->getInt("blob-detector", key, &value)) << key;
}

TEST(SdkReferences, WeakReferencesPromoteOnlyWhileTheObjectLives)
{
    auto strong = Load(kDataDir + "/faceengine.conf");
    fsdk::WeakRef<fsdk::ISettingsProvider> weak(strong);
    EXPECT_EQ(strong->getRefCount(), 1);
    {
        auto promoted = weak.lock();
        ASSERT_TRUE(promoted);
        EXPECT_EQ(strong->getRefCount(), 2);
    }
    fsdk::WeakRef<fsdk::ISettingsProvider> copy(weak);
    strong.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_FALSE(weak.lock());
    EXPECT_FALSE(copy.lock());
}

TEST(SdkImage, CopiesSharePixelsAndClonesOwnThem)
{
    uint8_t pixels[2 * 2 * 3] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    fsdk::Image referenced(2, 2, fsdk::Format::R8G8B8, pixels, false);
    fsdk::Image copied(2, 2, fsdk::Format::R8G8B8, pixels, true);
    EXPECT_EQ(referenced.getData(), static_cast<void*>(pixels));
    EXPECT_NE(copied.getData(), static_cast<void*>(pixels));
    EXPECT_EQ(copied.getDataSize(), 12);
    EXPECT_EQ(copied.getRowSize(), 6);

    fsdk::Image shared = copied;
    EXPECT_EQ(shared.getData(), copied.getData());
    fsdk::Image clone = copied.clone();
    EXPECT_NE(clone.getData(), copied.getData());
    EXPECT_EQ(static_cast<const uint8_t*>(clone.getData())[11], 12);
    copied = fsdk::Image();
    EXPECT_EQ(static_cast<const uint8_t*>(shared.getData())[0], 1);  // the last copy keeps the pixels

    fsdk::Image own(3, 1, fsdk::Format::R8);
    EXPECT_TRUE(own.isValid());
    static_cast<uint8_t*>(own.getData())[2] = 5;
    EXPECT_EQ(fsdk::ImageAccess::OwnedCopy(own).getData(), own.getData());  // own pixels are shared
    const fsdk::Image kept = fsdk::ImageAccess::OwnedCopy(referenced);      // borrowed ones are cloned
    EXPECT_NE(kept.getData(), static_cast<void*>(pixels));
    EXPECT_EQ(static_cast<const uint8_t*>(kept.getData())[11], 12);
    EXPECT_FALSE(fsdk::ImageAccess::OwnedCopy(fsdk::Image()).isValid());
    EXPECT_FALSE(fsdk::Image(0, 5, fsdk::Format::R8G8B8).isValid());
    EXPECT_FALSE(fsdk::Image(5, -1, fsdk::Format::R8G8B8).isValid());
    EXPECT_FALSE(fsdk::Image(5, 5, fsdk::Format::Unknown).isValid());
    EXPECT_FALSE(fsdk::Image(5, 5, fsdk::Format::R8G8B8, nullptr, true).isValid());
    EXPECT_FALSE(fsdk::Image().clone().isValid());
}

TEST(SdkImage, PixelsOfAFreedPictureServeTheNextOfItsSizeOnly)
{
    fsdk::Image first(64, 32, fsdk::Format::R8G8B8);
    const void* pixels = first.getData();
    fsdk::Image alive(64, 32, fsdk::Format::R8G8B8);
    EXPECT_NE(alive.getData(), pixels);
    fsdk::Image shared = first;
    first = fsdk::Image();
    const fsdk::Image probe(64, 32, fsdk::Format::R8G8B8);
    EXPECT_NE(probe.getData(), pixels);  // still held by a copy
    shared = fsdk::Image();
    fsdk::Image other(32, 32, fsdk::Format::R8G8B8);
    EXPECT_NE(other.getData(), pixels);
    fsdk::Image next(64, 32, fsdk::Format::R8G8B8);
    EXPECT_EQ(next.getData(), pixels);
    EXPECT_EQ(next.getDataSize(), 64 * 32 * 3);
}

TEST(SdkImage, PicturesMadeAndFreedOnManyThreadsAreEachTheirOwn)
{
    std::vector<std::thread> threads;
    std::atomic<int> damaged{0};
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t, &damaged] {
            for (int round = 0; round < 200; ++round) {
                const int width = 16 + (round + t) % 3;  // a few sizes, swapped between threads
                fsdk::Image a(width, 8, fsdk::Format::R8G8B8), b(width, 8, fsdk::Format::R8G8B8);
                const auto value = static_cast<uint8_t>(t * 16 + round % 16);
                std::memset(a.getData(), value, static_cast<size_t>(a.getDataSize()));
                std::memset(b.getData(), value ^ 0xff, static_cast<size_t>(b.getDataSize()));
                std::this_thread::yield();
                const auto* pa = static_cast<const uint8_t*>(a.getData());
                const auto* pb = static_cast<const uint8_t*>(b.getData());
                for (int64_t i = 0; i < a.getDataSize(); ++i)
                    if (pa[i] != value || pb[i] != static_cast<uint8_t>(value ^ 0xff)) {
                        ++damaged;
                        break;
                    }
            }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(damaged.load(), 0);
}

TEST(SdkLibraries, ExportTheirEntryPointsAndNoInternals)
{
    const std::pair<const char*, const char*> libraries[] = {
        {"libFaceEngineSDK.so.5", "_ZN4fsdk16createFaceEngine"},
        {"libTrackEngineSDK.so.0", "_ZN4tsdk17createTrackEngine"},
    };
    for (const auto& [library, entry] : libraries) {
        const auto symbols = TestSupport::ReadExportedSymbols(std::string(QEL_MODULE_DIR) + "/" + library);
        bool found = false;
        for (const auto& symbol : symbols) {
            found = found || symbol.name.rfind(entry, 0) == 0;
            // The reference counts' block is shared by both libraries.
            const bool internal = symbol.name.find("4tsdk6detail") != std::string::npos ||
                                  (symbol.name.find("4fsdk6detail") != std::string::npos &&
                                   symbol.name.find("4fsdk6detail12ControlBlock") == std::string::npos);
            EXPECT_FALSE(internal) << library << " exports " << symbol.name;
        }
        EXPECT_TRUE(found) << library << " lacks " << entry;
    }
}

TEST(SdkEngines, CreationRefusesWhatItCannotUse)
{
    SdkLogCapture log;
    EXPECT_EQ(fsdk::createFaceEngine("/no/such/data/dir").code, fsdk::FSDKError::InvalidPath);
    EXPECT_EQ(fsdk::createFaceEngine(nullptr).code, fsdk::FSDKError::InvalidPath);
    EXPECT_EQ(fsdk::createFaceEngine(kDataDir.c_str(), "/no/such.conf").code, fsdk::FSDKError::InvalidPath);

    auto face = fsdk::createFaceEngine(kDataDir.c_str());
    ASSERT_TRUE(face.isOk());
    EXPECT_STREQ(face.value->getDataDirectory(), kDataDir.c_str());
    EXPECT_EQ(face.value->getSettingsProvider(), nullptr);
    auto settings = Load(kDataDir + "/trackengine.conf");

    EXPECT_EQ(tsdk::createTrackEngine(nullptr, settings.get()).code, fsdk::FSDKError::InvalidInput);
    EXPECT_EQ(tsdk::createTrackEngine(face.value.get(), nullptr).code, fsdk::FSDKError::InvalidSettingsProvider);
    settings->setValue("detectors", "body-detector-type", "person");
    EXPECT_EQ(tsdk::createTrackEngine(face.value.get(), settings.get()).code, fsdk::FSDKError::InvalidConfig);
    EXPECT_TRUE(SdkLogCapture::Contains(1, "body-detector-type 'person' is unknown"));
}

TEST(SdkEngines, AMissingTruncatedOrWrongNetworkIsRefusedAndSaidSo)
{
    SdkLogCapture log;
    TempDir dir;
    std::ifstream original(kDataDir + "/centernet.onnx", std::ios::binary);
    const std::string model((std::istreambuf_iterator<char>(original)), std::istreambuf_iterator<char>());
    ASSERT_GT(model.size(), 1000u);
    struct Case {
        std::string file;
        std::string said;
    };
    const Case cases[] = {
        {dir.Path() + "/absent.onnx", "cannot read '" + dir.Path() + "/absent.onnx'"},
        {dir.File("empty.onnx", ""), "empty.onnx' is empty"},
        {dir.File("truncated.onnx", model.substr(0, model.size() / 2)),
         "truncated.onnx' is not a network OpenCV can run"},
        {dir.File("text.onnx", "not a network at all\n"), "text.onnx' is not a network OpenCV can run"},
    };
    auto face = fsdk::createFaceEngine(kDataDir.c_str());
    ASSERT_TRUE(face.isOk());
    for (const Case& c : cases) {
        auto settings = Load(kDataDir + "/trackengine.conf");
        settings->setValue("neural-detector", "model", c.file.c_str());
        const auto engine = tsdk::createTrackEngine(face.value.get(), settings.get());
        EXPECT_EQ(engine.code, fsdk::FSDKError::ModelNotLoaded) << c.file;
        EXPECT_FALSE(engine.value) << c.file;
        EXPECT_TRUE(SdkLogCapture::Contains(1, "track engine: no body detector: ")) << c.file;
        EXPECT_TRUE(SdkLogCapture::Contains(1, c.said)) << c.said;
    }
    // A name is read from the face engine's data directory.
    auto settings = Load(kDataDir + "/trackengine.conf");
    settings->setValue("neural-detector", "model", "absent.onnx");
    EXPECT_EQ(tsdk::createTrackEngine(face.value.get(), settings.get()).code, fsdk::FSDKError::ModelNotLoaded);
    EXPECT_TRUE(SdkLogCapture::Contains(1, "cannot read '" + kDataDir + "/absent.onnx'"));
}

TEST(SdkEngines, SenselessValuesAreClampedAndSaidSo)
{
    SdkLogCapture log;
    auto face = fsdk::createFaceEngine(kDataDir.c_str(), nullptr, (kDataDir + "/runtime.conf").c_str());
    ASSERT_TRUE(face.isOk());
    face.value->getRuntimeSettingsProvider()->setValue("Runtime", "numThreads", 0);
    auto settings = Load(kDataDir + "/trackengine.conf");
    settings->setValue("logging", "severity", 0);
    settings->setValue("other", "detector-step", 0);
    settings->setValue("other", "frames-buffer-size", -5);
    settings->setValue("other", "max-detection-count", "many");
    settings->setValue("other", "callback-mode", 0);
    settings->setValue("other", "low-detection-score", 70);  // above high-detection-score
    settings->setValue("neural-detector", "nms-overlap", 0);
    settings->setValue("neural-detector", "input-size", "large");
    auto engine = tsdk::createTrackEngine(face.value.get(), settings.get());
    ASSERT_TRUE(engine.isOk());
    EXPECT_TRUE(SdkLogCapture::Contains(2, "[Runtime] numThreads = 0 is out of range, using 1"));
    EXPECT_TRUE(SdkLogCapture::Contains(2, "[other] detector-step = 0 is out of range, using 1"));
    EXPECT_TRUE(SdkLogCapture::Contains(2, "[other] frames-buffer-size = -5 is out of range, using 1"));
    EXPECT_TRUE(SdkLogCapture::Contains(2, "[other] max-detection-count must be an integer, using 128"));
    EXPECT_TRUE(SdkLogCapture::Contains(2, "[other] callback-mode = 0 is out of range, using 1"));
    EXPECT_TRUE(SdkLogCapture::Contains(2, "[other] low-detection-score = 70 is out of range, using 20"));
    EXPECT_TRUE(SdkLogCapture::Contains(2, "[neural-detector] nms-overlap = 0 is out of range, using 1"));
    EXPECT_TRUE(SdkLogCapture::Contains(2, "[neural-detector] input-size must be an integer, using 512"));
    EXPECT_TRUE(SdkLogCapture::Contains(3, "1 worker threads"));
    // Clamped, it still works: one frame fits the buffer of one.
    auto stream = engine.value->createStream();
    ASSERT_TRUE(stream);
    const fsdk::Image image(64, 64, fsdk::Format::R8G8B8);
    EXPECT_TRUE(stream->pushFrame(image, 0, nullptr));
    stream->join();
    engine.value->stop();
}

TEST(SdkEngines, LoggingSeverityFiltersMessages)
{
    SdkLogCapture log;
    auto face = fsdk::createFaceEngine(kDataDir.c_str());
    auto settings = Load(kDataDir + "/trackengine.conf");
    settings->setValue("logging", "severity", 3);  // errors only
    settings->setValue("other", "detector-step", 0);
    ASSERT_TRUE(tsdk::createTrackEngine(face.value.get(), settings.get()).isOk());
    EXPECT_TRUE(SdkLogCapture::Messages().empty());
}

}  // namespace
