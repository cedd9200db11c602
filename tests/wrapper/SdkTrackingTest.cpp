// Our SDK's streams, batches, threads and tracking.

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Scenes.h"
#include "SdkLogCapture.h"
#include "fsdk/FaceEngineSDK.h"
#include "tsdk/TrackEngine.h"

namespace {

const std::string kDataDir = std::string(QEL_MODULE_DIR) + "/QelSdk/gpu/data";

// Counts the frame data alive, so that none is lost or deleted twice.
std::atomic<int> g_stampsAlive{0};

struct Stamp final : tsdk::AdditionalFrameData {
    explicit Stamp(uint64_t value) : value(value) { ++g_stampsAlive; }
    ~Stamp() override { --g_stampsAlive; }
    uint64_t value;
};

struct Frame {
    uint32_t frameId = 0;
    uint64_t stamp = 0;
    bool hasData = false;
    bool hasImage = false;
    const void* pixels = nullptr;  // of the result's image
    uint8_t firstByte = 0;
    std::vector<tsdk::TrackedObject> objects;
    std::vector<int32_t> finished;
};

class Recorder final : public tsdk::ITrackingResultObserver {
public:
    void batchTrackingResult(const fsdk::Ref<tsdk::ITrackingResultBatch>& batch) override
    {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            ++m_batches;
            m_changed.notify_all();
            m_changed.wait(lock, [&] { return !m_closed; });
        }
        for (const uint32_t stream : batch->getStreamIds()) {
            for (const uint32_t frameId : batch->getStreamFrameIds(stream)) {
                const tsdk::TrackingResult result = batch->getTrackingResult(stream, frameId);
                Frame frame;
                frame.frameId = result.frameId;
                const auto* stamp = dynamic_cast<const Stamp*>(result.additionalData);
                frame.stamp = stamp ? stamp->value : 0;
                frame.hasData = result.additionalData != nullptr;
                frame.hasImage = result.image.isValid();
                frame.pixels = result.image.getData();
                if (frame.hasImage) frame.firstByte = *static_cast<const uint8_t*>(result.image.getData());
                frame.objects.assign(result.objects.begin(), result.objects.end());
                frame.finished.assign(result.finishedTracks.begin(), result.finishedTracks.end());
                std::lock_guard<std::mutex> lock(m_mutex);
                m_frames[stream].push_back(frame);
            }
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_changed.notify_all();
    }

    // Makes callbacks wait until Open().
    void Close()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
    }
    void Open()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = false;
        m_changed.notify_all();
    }
    void WaitForBatches(int count)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return m_batches >= count; });
    }
    std::vector<Frame> Frames(uint32_t stream)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_frames[stream];
    }
    int Batches()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_batches;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_closed = false;
    int m_batches = 0;
    std::map<uint32_t, std::vector<Frame>> m_frames;
};

int ThreadCount()
{
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        closedir(dir);
    }
    return count;
}

// A joined thread has ended, but the kernel may list it a moment longer
// while it finishes leaving: polls until the list is down to `expected`.
// The bound only ends the wait for threads that never go.
int ThreadCountOnceDownTo(int expected)
{
    int count = ThreadCount();
    for (int polls = 0; count > expected && polls < 1000000; ++polls) {
        std::this_thread::yield();
        count = ThreadCount();
    }
    return count;
}

class SdkTracking : public ::testing::Test {
protected:
    // An engine of the shipped settings with `overrides` ("section/key" =
    // value), finding the solid blobs of the test scenes.
    tsdk::ITrackEnginePtr MakeEngine(const std::map<std::string, int>& overrides = {}, int threads = 2)
    {
        auto face = fsdk::createFaceEngine(kDataDir.c_str(), nullptr, (kDataDir + "/runtime.conf").c_str());
        EXPECT_TRUE(face.isOk());
        face.value->getRuntimeSettingsProvider()->setValue("Runtime", "numThreads", threads);
        auto settings = fsdk::createSettingsProvider((kDataDir + "/trackengine.conf").c_str());
        EXPECT_TRUE(settings.isOk());
        settings.value->setValue("detectors", "body-detector-type", "blob");
        std::map<std::string, int> all = {{"other/detector-step", 1}, {"other/minimal-track-length", 1}};
        for (const auto& [key, value] : overrides) all[key] = value;
        for (const auto& [key, value] : all) {
            const auto slash = key.find('/');
            settings.value->setValue(key.substr(0, slash).c_str(), key.substr(slash + 1).c_str(), value);
        }
        auto engine = tsdk::createTrackEngine(face.value.get(), settings.value.get());
        EXPECT_TRUE(engine.isOk());
        engine.value->setBatchedObserver(&recorder);
        return engine.value;
    }

    static fsdk::Image Scene(const std::vector<TestScenes::Box>& boxes, int width = 320, int height = 240)
    {
        const auto rgb = TestScenes::Rgb(width, height, boxes);
        return fsdk::Image(width, height, fsdk::Format::R8G8B8, rgb.data(), true);
    }

    // A full buffer refuses; waits for room as a caller would.
    static void PushWaiting(tsdk::IStream& stream, const fsdk::Image& image, uint32_t frameId, Stamp* stamp = nullptr)
    {
        const bool stamped = stamp != nullptr;
        const uint64_t value = stamped ? stamp->value : 0;
        while (!stream.pushFrame(image, frameId, stamp)) {
            stamp = stamped ? new Stamp(value) : nullptr;  // the refused one went with the push
            std::this_thread::yield();
        }
    }

    void TearDown() override { EXPECT_EQ(g_stampsAlive.load(), 0); }

    Recorder recorder;
};

TEST_F(SdkTracking, StreamIdsAreUniqueWithinAnEngine)
{
    auto engine = MakeEngine();
    std::set<uint32_t> ids;
    std::vector<tsdk::IStreamPtr> streams;
    for (int i = 0; i < 40; ++i) {
        streams.push_back(engine->createStream());
        ASSERT_TRUE(streams.back());
        ids.insert(streams.back()->getId());
    }
    streams.resize(10);  // released ids are not handed out again
    for (int i = 0; i < 10; ++i) ids.insert(engine->createStream()->getId());
    EXPECT_EQ(ids.size(), 50u);
    engine->stop();
}

TEST_F(SdkTracking, ResultsComeInPushOrderPerStreamWithTheirData)
{
    auto engine = MakeEngine({}, 3);
    auto first = engine->createStream();
    auto second = engine->createStream();
    first->setObserverEnabled(tsdk::StreamObserverType::Visual, true);
    const fsdk::Image image = Scene({{40, 40, 30, 80}});
    // Frame numbers are the caller's: not monotonic, not starting at 0.
    std::vector<uint32_t> numbers;
    for (uint32_t i = 0; i < 30; ++i) numbers.push_back((i * 7919u) % 1000u + 5u);
    for (size_t i = 0; i < numbers.size(); ++i) {
        PushWaiting(*first, image, numbers[i], new Stamp(1000 + i));
        PushWaiting(*second, image, numbers[i], new Stamp(2000 + i));
    }
    first->join();
    second->join();

    for (const auto& [stream, base] : {std::pair{first->getId(), 1000u}, std::pair{second->getId(), 2000u}}) {
        const auto frames = recorder.Frames(stream);
        ASSERT_GE(frames.size(), numbers.size());
        for (size_t i = 0; i < numbers.size(); ++i) {
            EXPECT_EQ(frames[i].frameId, numbers[i]);
            EXPECT_EQ(frames[i].stamp, base + i);
            EXPECT_EQ(frames[i].hasImage, stream == first->getId());
        }
    }
    const auto statistics = first->getStatistics();
    EXPECT_EQ(statistics.framesPushed, numbers.size());
    EXPECT_EQ(statistics.framesProcessed, numbers.size());
    EXPECT_EQ(statistics.framesWaiting, 0u);
    engine->stop();
}

TEST_F(SdkTracking, PushedImagesKeepTheirOwnPixelsAndCloneBorrowedOnes)
{
    auto engine = MakeEngine();
    auto stream = engine->createStream();
    stream->setObserverEnabled(tsdk::StreamObserverType::Visual, true);
    const fsdk::Image owning = Scene({{40, 40, 30, 80}});
    std::vector<uint8_t> borrowed(320 * 240 * 3, 77);
    const fsdk::Image referring(320, 240, fsdk::Format::R8G8B8, borrowed.data(), false);
    ASSERT_TRUE(stream->pushFrame(owning, 0, nullptr));
    ASSERT_TRUE(stream->pushFrame(referring, 1, nullptr));
    // The caller may reuse its memory as soon as the push returns.
    std::fill(borrowed.begin(), borrowed.end(), uint8_t{9});
    stream->join();

    const auto frames = recorder.Frames(stream->getId());
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames[0].pixels, owning.getData());  // held, not copied
    EXPECT_FALSE(frames[0].hasData);                // pushed without any
    EXPECT_NE(frames[1].pixels, static_cast<const void*>(borrowed.data()));
    EXPECT_EQ(frames[1].firstByte, 77);
    engine->stop();
}

// Keeps every batch it is handed.
class Keeper final : public tsdk::ITrackingResultObserver {
public:
    void batchTrackingResult(const fsdk::Ref<tsdk::ITrackingResultBatch>& batch) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        batches.push_back(batch);
    }
    std::mutex mutex;
    std::vector<fsdk::Ref<tsdk::ITrackingResultBatch>> batches;
};

TEST_F(SdkTracking, BatchesAnObserverKeepsStayAsTheyWereDelivered)
{
    auto engine = MakeEngine();
    Keeper keeper;
    engine->setBatchedObserver(&keeper);
    auto stream = engine->createStream();
    const fsdk::Image image = Scene({{40, 40, 30, 80}});
    constexpr uint32_t kFrames = 40;
    for (uint32_t i = 0; i < kFrames; ++i) PushWaiting(*stream, image, i, new Stamp(500 + i));
    stream->join();
    engine->stop();

    std::vector<uint64_t> stamps;
    std::set<const tsdk::ITrackingResultBatch*> distinct;
    for (const auto& batch : keeper.batches) {
        distinct.insert(batch.get());
        for (const uint32_t frameId : batch->getStreamFrameIds(stream->getId())) {
            const tsdk::TrackingResult result = batch->getTrackingResult(stream->getId(), frameId);
            EXPECT_EQ(result.frameId, frameId);
            const auto* stamp = dynamic_cast<const Stamp*>(result.additionalData);
            ASSERT_NE(stamp, nullptr);
            if (stamps.empty() || stamps.back() != stamp->value) stamps.push_back(stamp->value);
        }
    }
    EXPECT_EQ(distinct.size(), keeper.batches.size());
    ASSERT_EQ(stamps.size(), kFrames);
    for (uint32_t i = 0; i < kFrames; ++i) EXPECT_EQ(stamps[i], 500 + i);
    keeper.batches.clear();  // the frame data goes with the batches
}

TEST_F(SdkTracking, AFullBufferRefusesAndDropsTheData)
{
    auto engine = MakeEngine({{"other/frames-buffer-size", 3}});
    auto stream = engine->createStream();
    const fsdk::Image image = Scene({});
    recorder.Close();
    ASSERT_TRUE(stream->pushFrame(image, 0, new Stamp(0)));
    recorder.WaitForBatches(1);  // frame 0 is held in the callback
    // A result being handed out holds no place: three more fit.
    for (uint32_t frame = 1; frame <= 3; ++frame) EXPECT_TRUE(stream->pushFrame(image, frame, new Stamp(frame)));
    EXPECT_FALSE(stream->pushFrame(image, 4, new Stamp(4)));
    EXPECT_EQ(g_stampsAlive.load(), 4);  // the refused frame's data is gone already
    auto statistics = stream->getStatistics();
    EXPECT_EQ(statistics.framesPushed, 4u);
    EXPECT_EQ(statistics.framesRefused, 1u);
    EXPECT_EQ(statistics.framesWaiting, 3u);

    recorder.Open();
    stream->join();
    EXPECT_FALSE(stream->pushFrame(image, 5, new Stamp(5)));  // finished streams refuse
    EXPECT_FALSE(stream->pushFrame(fsdk::Image(), 6, new Stamp(6)));
    statistics = stream->getStatistics();
    EXPECT_EQ(statistics.framesRefused, 3u);
    EXPECT_EQ(statistics.framesWaiting, 0u);
    const auto frames = recorder.Frames(stream->getId());
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[3].frameId, 3u);
    engine->stop();
}

TEST_F(SdkTracking, AHostThatHasItsResultHasRoomForTheNextFrame)
{
    // One place only: every frame is pushed from the callback that hands
    // out the result before it, as a host that pops and pushes at once.
    auto engine = MakeEngine({{"other/frames-buffer-size", 1}});
    auto stream = engine->createStream();
    const fsdk::Image image = Scene({});
    struct Chain final : tsdk::ITrackingResultObserver {
        void batchTrackingResult(const fsdk::Ref<tsdk::ITrackingResultBatch>& batch) override
        {
            for (const uint32_t id : batch->getStreamIds())
                for (const uint32_t frame : batch->getStreamFrameIds(id)) {
                    std::lock_guard<std::mutex> lock(mutex);
                    delivered.push_back(frame);
                    if (frame + 1 < frames) accepted.push_back(stream->pushFrame(*image, frame + 1, nullptr));
                    changed.notify_all();
                }
        }
        const uint32_t frames = 10;
        tsdk::IStream* stream = nullptr;
        const fsdk::Image* image = nullptr;
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<uint32_t> delivered;
        std::vector<bool> accepted;
    } chain;
    chain.stream = stream.get();
    chain.image = &image;
    engine->setBatchedObserver(&chain);
    ASSERT_TRUE(stream->pushFrame(image, 0, nullptr));
    {
        // Every push is answered before its result could come, so the
        // chain either reaches its end or breaks at a refusal.
        std::unique_lock<std::mutex> lock(chain.mutex);
        chain.changed.wait(lock, [&] {
            return chain.delivered.size() == chain.frames ||
                   std::find(chain.accepted.begin(), chain.accepted.end(), false) != chain.accepted.end();
        });
        EXPECT_EQ(chain.accepted, std::vector<bool>(chain.frames - 1, true));
    }
    stream->join();
    engine->stop();
}

TEST_F(SdkTracking, TracksKeepTheirIdsAndEndWithTheStream)
{
    auto engine = MakeEngine();
    auto stream = engine->createStream();
    for (uint32_t i = 0; i < 10; ++i)
        ASSERT_TRUE(stream->pushFrame(Scene({{20 + 4 * int(i), 30, 30, 90}, {200, 100, 40, 100}}), i, new Stamp(i)));
    stream->join();
    auto frames = recorder.Frames(stream->getId());
    // The end rides on the last frame, or, when that was delivered before
    // join came, on a repeat of it without objects.
    ASSERT_GE(frames.size(), 10u);
    ASSERT_LE(frames.size(), 11u);
    const Frame last = frames.back();
    if (frames.size() == 11) {
        EXPECT_EQ(last.frameId, 9u);
        EXPECT_TRUE(last.objects.empty());
        frames.pop_back();
    }
    ASSERT_EQ(frames[0].objects.size(), 2u);
    const int32_t left = frames[0].objects[0].trackId;
    const int32_t right = frames[0].objects[1].trackId;
    EXPECT_NE(left, right);
    float confidence = 0.f;
    for (const Frame& frame : frames) {
        ASSERT_EQ(frame.objects.size(), 2u) << frame.frameId;
        const tsdk::TrackedObject& moving = frame.objects[0];
        EXPECT_EQ(moving.trackId, left);
        EXPECT_NEAR(moving.box.x, 20 + 4 * frame.frameId, 2.f);
        EXPECT_NEAR(moving.box.y, 30, 2.f);
        EXPECT_NEAR(moving.box.width, 30, 2.f);
        EXPECT_NEAR(moving.box.height, 90, 2.f);
        EXPECT_EQ(moving.imageWidth, 320);
        EXPECT_EQ(moving.imageHeight, 240);
        // A person from the first detection on, surer with every one.
        EXPECT_GE(moving.score, std::max(confidence, 0.6f)) << frame.frameId;
        EXPECT_LE(moving.score, 1.f);
        confidence = moving.score;
        EXPECT_TRUE(moving.flag);
        EXPECT_EQ(frame.objects[1].trackId, right);
    }
    for (size_t i = 0; i + 1 < frames.size(); ++i) EXPECT_TRUE(frames[i].finished.empty());
    EXPECT_EQ(std::set<int32_t>(last.finished.begin(), last.finished.end()), (std::set<int32_t>{left, right}));
    engine->stop();
}

TEST_F(SdkTracking, FinishAfterEverythingWasDeliveredRepeatsTheLastFrame)
{
    auto engine = MakeEngine();
    auto stream = engine->createStream();
    ASSERT_TRUE(stream->pushFrame(Scene({{50, 50, 30, 90}}), 41, new Stamp(7)));
    recorder.WaitForBatches(1);
    stream->join();
    stream->join();  // again: nothing more
    const auto frames = recorder.Frames(stream->getId());
    ASSERT_EQ(frames.size(), 2u);
    ASSERT_EQ(frames[0].objects.size(), 1u);
    EXPECT_TRUE(frames[1].objects.empty());
    EXPECT_EQ(frames[1].frameId, 41u);
    EXPECT_EQ(frames[1].stamp, 7u);
    EXPECT_EQ(frames[1].finished, std::vector<int32_t>{frames[0].objects[0].trackId});

    auto empty = engine->createStream();
    empty->join();  // nothing pushed, nothing to finish
    EXPECT_TRUE(recorder.Frames(empty->getId()).empty());
    engine->stop();
}

TEST_F(SdkTracking, TrackIdsNeverRepeatAndLostTracksEnd)
{
    auto engine = MakeEngine({{"other/skip-frames", 1}, {"human/inactive-tracks-lifetime", 2}});
    auto stream = engine->createStream();
    const auto blob = Scene({{100, 60, 30, 90}});
    const auto nothing = Scene({});
    uint32_t n = 0;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 3; ++i, ++n) PushWaiting(*stream, blob, n);
        for (int i = 0; i < 5; ++i, ++n) PushWaiting(*stream, nothing, n);
    }
    stream->join();
    const auto frames = recorder.Frames(stream->getId());
    ASSERT_EQ(frames.size(), n);
    std::vector<int32_t> seen;
    std::vector<int32_t> ended;
    for (const Frame& frame : frames) {
        for (const auto& object : frame.objects)
            if (seen.empty() || seen.back() != object.trackId) seen.push_back(object.trackId);
        ended.insert(ended.end(), frame.finished.begin(), frame.finished.end());
    }
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(std::set<int32_t>(seen.begin(), seen.end()).size(), 3u);
    EXPECT_EQ(ended, seen);
    // One missed detection is followed, the next one hides the track, and it
    // ends once it has been hidden for more than two frames.
    EXPECT_EQ(frames[3].objects.size(), 1u);
    EXPECT_FALSE(frames[3].objects[0].flag);
    EXPECT_TRUE(frames[4].objects.empty());
    EXPECT_TRUE(frames[6].finished.empty());
    EXPECT_EQ(frames[7].finished, std::vector<int32_t>{seen[0]});
    engine->stop();
}

TEST_F(SdkTracking, DetectorStepMinimalLengthAndScaling)
{
    auto engine = MakeEngine({{"other/detector-step", 3},
                              {"other/minimal-track-length", 2},
                              {"other/scale-result-size", 160},
                              {"other/max-detection-count", 1},
                              {"quiet-view/longest-reuse", 0}});  // one still picture
    auto stream = engine->createStream();
    // Two blobs, the larger kept; at half scale the box still maps back.
    const auto image = Scene({{40, 40, 40, 120}, {200, 40, 20, 60}});
    for (uint32_t i = 0; i < 7; ++i) ASSERT_TRUE(stream->pushFrame(image, i, nullptr));
    stream->join();
    const auto frames = recorder.Frames(stream->getId());
    ASSERT_GE(frames.size(), 7u);  // and perhaps the repeat that ends the track
    // Detected on frames 0, 3 and 6; reported from its second detection on.
    for (uint32_t i = 0; i < 3; ++i) EXPECT_TRUE(frames[i].objects.empty()) << i;
    for (uint32_t i = 3; i < 7; ++i) {
        ASSERT_EQ(frames[i].objects.size(), 1u) << i;
        EXPECT_EQ(frames[i].objects[0].flag, i % 3 == 0) << i;
        EXPECT_NEAR(frames[i].objects[0].box.x, 40, 2.f);
        EXPECT_NEAR(frames[i].objects[0].box.height, 120, 2.f);
    }
    EXPECT_EQ(stream->getStatistics().framesSkipped, 4u);
    engine->stop();
}

TEST_F(SdkTracking, StopJoinsEveryThreadAndEndsAllWork)
{
    std::thread([] {}).join();  // any helper thread of the runtime is there from now on
    const int before = ThreadCount();
    auto engine = MakeEngine({}, 4);
    EXPECT_EQ(ThreadCount(), before + 5);  // four workers and the delivery thread
    auto stream = engine->createStream();
    recorder.Close();
    ASSERT_TRUE(stream->pushFrame(Scene({}), 0, new Stamp(0)));
    recorder.WaitForBatches(1);
    for (uint32_t i = 1; i < 5; ++i) ASSERT_TRUE(stream->pushFrame(Scene({}), i, new Stamp(i)));

    std::thread stopper([&] { engine->stop(); });
    recorder.Open();  // stop waits for the callback in progress
    stopper.join();
    EXPECT_EQ(ThreadCountOnceDownTo(before), before);
    const int batches = recorder.Batches();
    stream->join();  // returns at once on a stopped engine
    EXPECT_FALSE(stream->pushFrame(Scene({}), 9, new Stamp(9)));
    EXPECT_FALSE(engine->createStream());
    engine->stop();
    EXPECT_EQ(recorder.Batches(), batches);
    stream.reset();
    engine.reset();
    EXPECT_EQ(g_stampsAlive.load(), 0);
}

TEST_F(SdkTracking, ReleasingEverythingWithFramesQueuedLosesNothingElse)
{
    auto engine = MakeEngine();
    auto stream = engine->createStream();
    recorder.Close();
    ASSERT_TRUE(stream->pushFrame(Scene({}), 0, new Stamp(0)));
    recorder.WaitForBatches(1);
    for (uint32_t i = 1; i < 6; ++i) ASSERT_TRUE(stream->pushFrame(Scene({}), i, new Stamp(i)));
    stream.reset();
    std::thread releaser([&] { engine.reset(); });  // the engine's destructor stops it
    recorder.Open();
    releaser.join();
}

TEST_F(SdkTracking, ManyPushersShareAnEngine)
{
    auto engine = MakeEngine({}, 2);
    std::vector<std::thread> pushers;
    std::vector<tsdk::IStreamPtr> streams;
    for (int s = 0; s < 4; ++s) streams.push_back(engine->createStream());
    const auto image = Scene({{30, 30, 30, 90}}, 160, 120);
    for (int s = 0; s < 4; ++s)
        pushers.emplace_back([&, s] {
            for (uint32_t i = 0; i < 40; ++i) PushWaiting(*streams[s], image, i, new Stamp(i));
            streams[s]->join();
        });
    for (std::thread& t : pushers) t.join();
    for (const auto& stream : streams) {
        const auto frames = recorder.Frames(stream->getId());
        // With the last frame delivered before the end, a repeat of it carries the end.
        ASSERT_GE(frames.size(), 40u);
        ASSERT_LE(frames.size(), 41u);
        for (uint32_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i].frameId, std::min(i, 39u));
        EXPECT_EQ(frames.back().finished.size(), 1u);
    }
    engine->stop();
}

}  // namespace
