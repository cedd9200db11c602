// The object observer: results, boxes, frames pushed through our SDK.

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "Engines.h"
#include "ObjectObserver.h"
#include "ObserverSupport.h"

namespace {

using namespace ObserverSupport;
using QelWrapper::FrameResult;
using QelWrapper::ObjectObserver;

tsdk::TrackedObject SdkObject(int32_t id, float x, float y, float w, float h, int32_t iw = 640, int32_t ih = 480)
{
    tsdk::TrackedObject object;
    object.trackId = id;
    object.box = {x, y, w, h};
    object.imageWidth = iw;
    object.imageHeight = ih;
    object.score = 0.25f * static_cast<float>(id % 4);
    object.flag = id % 2 == 1;
    return object;
}

std::vector<FrameResult> Drain(ObjectObserver& observer)
{
    std::vector<FrameResult> all;
    FrameResult result;
    while (observer.PopResult(result)) all.push_back(result);
    return all;
}

TEST(ObjectObserver, ClipsBoxesToTheImageTheyReferTo)
{
    ObjectObserver observer(Config());
    const std::vector<tsdk::TrackedObject> objects = {
        SdkObject(1, -50.f, 10.f, 20.f, 30.f),     // left of the image
        SdkObject(2, 10.f, -40.f, 20.f, 30.f),     // above it
        SdkObject(3, 10.f, 10.f, 0.f, 30.f),       // no width
        SdkObject(4, 600.f, 400.f, 100.f, 200.f),  // out on the right and bottom
        SdkObject(5, -10.f, -5.5f, 50.f, 40.f),    // starts left of and above it
        SdkObject(6, 1.7f, 2.9f, 10.6f, 20.2f),    // fractions truncate
        SdkObject(7, 10.f, 10.f, 20.f, 30.f, 0, 0),
    };
    const std::vector<int32_t> finished = {9, 8};
    const QelWrapper::AdditionalFrameData data(1234);
    tsdk::TrackingResult result;
    result.frameId = 77;
    result.additionalData = const_cast<QelWrapper::AdditionalFrameData*>(&data);
    result.objects = {objects.data(), objects.size()};
    result.finishedTracks = {finished.data(), finished.size()};
    observer.OnFrameResult(result);

    FrameResult popped;
    ASSERT_TRUE(observer.PopResult(popped));
    EXPECT_EQ(popped.timestamp, 1234u);
    EXPECT_EQ(popped.frameId, 77u);
    EXPECT_EQ(popped.finishedTrackIds, finished);
    ASSERT_EQ(popped.objects.size(), objects.size());
    auto box = [&](size_t i) {
        const auto& o = popped.objects[i];
        return std::vector<int32_t>{o.x, o.y, o.width, o.height};
    };
    for (size_t i : {0, 1, 2, 6}) EXPECT_EQ(box(i), (std::vector<int32_t>{0, 0, 0, 0})) << i;
    EXPECT_EQ(box(3), (std::vector<int32_t>{600, 400, 40, 80}));
    EXPECT_EQ(box(4), (std::vector<int32_t>{0, 0, 40, 34}));
    EXPECT_EQ(box(5), (std::vector<int32_t>{1, 2, 10, 20}));
    for (size_t i = 0; i < objects.size(); ++i) {
        EXPECT_EQ(popped.objects[i].trackId, objects[i].trackId);
        EXPECT_EQ(popped.objects[i].score, objects[i].score);
        EXPECT_EQ(popped.objects[i].flag, objects[i].flag);
    }
    EXPECT_FALSE(observer.PopResult(popped));
}

TEST(ObjectObserver, PoppedRecordsHoldOnlyTheirOwnResult)
{
    ObjectObserver observer(Config());
    const QelWrapper::AdditionalFrameData data(1);
    auto feed = [&](uint32_t frameId, int objectCount, std::vector<int32_t> finished) {
        std::vector<tsdk::TrackedObject> objects;
        for (int i = 0; i < objectCount; ++i) objects.push_back(SdkObject(i + 1, 10.f, 10.f, 20.f, 30.f));
        tsdk::TrackingResult result;
        result.frameId = frameId;
        result.additionalData = const_cast<QelWrapper::AdditionalFrameData*>(&data);
        result.objects = {objects.data(), objects.size()};
        result.finishedTracks = {finished.data(), finished.size()};
        observer.OnFrameResult(result);
    };
    FrameResult record;
    feed(1, 7, {4, 5});
    ASSERT_TRUE(observer.PopResult(record));
    feed(2, 1, {});
    ASSERT_TRUE(observer.PopResult(record));
    EXPECT_EQ(record.frameId, 2u);
    EXPECT_EQ(record.objects.size(), 1u);
    EXPECT_TRUE(record.finishedTrackIds.empty());
    feed(3, 3, {6});
    ASSERT_TRUE(observer.PopResult(record));
    EXPECT_EQ(record.frameId, 3u);
    ASSERT_EQ(record.objects.size(), 3u);
    EXPECT_EQ(record.objects[2].trackId, 3);
    EXPECT_EQ(record.finishedTrackIds, std::vector<int32_t>{6});
}

TEST(ObjectObserver, RelativeRectanglesAreFractionsOfTheFrame)
{
    QelWrapper::Configurations config = Config();
    config.frameWidth = 1000;
    config.frameHeight = 500;
    config.roiX = 100;
    config.roiY = 50;
    ObjectObserver observer(config);
    QelWrapper::TrackedObject object;
    object.width = 250;
    object.height = 100;
    auto rect = observer.ToRelativeRect(object);
    EXPECT_DOUBLE_EQ(rect.x, 0.1f);
    EXPECT_DOUBLE_EQ(rect.y, 0.1f);
    EXPECT_DOUBLE_EQ(rect.width, 0.25f);
    EXPECT_DOUBLE_EQ(rect.height, 0.2f);
    object.x = -300;  // left of the frame
    object.width = 2000;
    rect = observer.ToRelativeRect(object);
    EXPECT_EQ(rect.x, 0.0);
    EXPECT_EQ(rect.width, 1.0);
    // The far right is not clamped here.
    object.x = 950;
    rect = observer.ToRelativeRect(object);
    EXPECT_DOUBLE_EQ(rect.x, 1.05f);
}

TEST(ObjectObserver, PopOnAnEmptyQueueLeavesTheRecordAlone)
{
    ObjectObserver observer(Config());
    FrameResult record;
    record.timestamp = 5;
    record.objects.resize(2);
    EXPECT_FALSE(observer.PopResult(record));
    EXPECT_EQ(record.timestamp, 5u);
    EXPECT_EQ(record.objects.size(), 2u);
    EXPECT_FALSE(observer.PushFrame(nullptr));
    EXPECT_FALSE(observer.PushGpuFrame(nullptr));
}

// Moving blob in frame coordinates; in the region it sits 100, 50 further up left.
std::vector<TestScenes::Box> Blob(int i)
{
    return {{200 + 5 * i, 150, 40, 120}};
}

void ExpectTracked(const std::vector<FrameResult>& results, uint64_t firstTimestamp, size_t frames)
{
    ASSERT_GE(results.size(), frames);
    const int32_t id = results[0].objects.empty() ? -1 : results[0].objects[0].trackId;
    for (size_t i = 0; i < frames; ++i) {
        EXPECT_EQ(results[i].frameId, i);
        EXPECT_EQ(results[i].timestamp, firstTimestamp + i);
        ASSERT_EQ(results[i].objects.size(), 1u) << i;
        const auto& object = results[i].objects[0];
        EXPECT_EQ(object.trackId, id);
        EXPECT_NEAR(object.x, 100 + 5 * static_cast<int>(i), 2);
        EXPECT_NEAR(object.y, 100, 2);
        EXPECT_NEAR(object.width, 40, 2);
        EXPECT_NEAR(object.height, 120, 2);
    }
    // The end of the stream finishes the track.
    EXPECT_EQ(results.back().finishedTrackIds, std::vector<int32_t>{id});
}

TEST(ObjectObserver, TracksHostFramesAndKeepsResultsAfterStop)
{
    ObjectObserver observer(Config());
    for (int i = 0; i < 6; ++i) {
        auto sample = Frame(Blob(i), 1000 + i);
        ASSERT_TRUE(observer.PushFrame(sample->Planar()));
    }
    observer.Stop();
    observer.Stop();  // again: harmless
    const auto statistics = observer.GetStatistics();
    EXPECT_EQ(statistics.pushedFrames, 6u);
    EXPECT_EQ(statistics.processedFrames, 6u);
    ExpectTracked(Drain(observer), 1000, 6);
    // A finished stream refuses, and the frame number still moves on.
    auto sample = Frame(Blob(0), 2000);
    EXPECT_FALSE(observer.PushFrame(sample->Planar()));
}

TEST(ObjectObserver, TracksGpuFrames)
{
    ObjectObserver observer(Config());
    for (int i = 0; i < 4; ++i) {
        auto sample = Frame(Blob(i), 500 + i, true);
        ASSERT_TRUE(observer.PushGpuFrame(sample->Composite()));
    }
    observer.Stop();
    ExpectTracked(Drain(observer), 500, 4);
}

// Keeps a copy of every picture the SDK hands back with its results, in
// frame order, and passes the batches on to the wrapper's own observer.
class PictureSpy final : public tsdk::ITrackingResultObserver {
public:
    explicit PictureSpy(QelWrapper::BatchObserver& next) : m_next(next) {}
    void batchTrackingResult(const fsdk::Ref<tsdk::ITrackingResultBatch>& batch) override
    {
        if (batch) {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (const uint32_t stream : batch->getStreamIds())
                for (const uint32_t frame : batch->getStreamFrameIds(stream))
                    m_pictures[frame] = batch->getTrackingResult(stream, frame).image.clone();
        }
        m_next.batchTrackingResult(batch);
    }
    std::map<uint32_t, fsdk::Image> Pictures()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_pictures;
    }

private:
    QelWrapper::BatchObserver& m_next;
    std::mutex m_mutex;
    std::map<uint32_t, fsdk::Image> m_pictures;
};

// 8 x 8 blocks of six colours, red and blue always apart, so that 4:2:0
// chroma inside a block is exact and a swap of the two shows.
std::vector<uint8_t> ColourBlocks(int width, int height)
{
    static const uint8_t colours[6][3] = {{200, 40, 40},  {40, 200, 40},  {40, 40, 200},
                                          {200, 200, 40}, {40, 120, 200}, {220, 130, 60}};
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                rgb[(static_cast<size_t>(y) * width + x) * 3 + c] = colours[(x / 8 + 2 * (y / 8)) % 6][c];
    return rgb;
}

TEST(ObjectObserver, TheSdkGetsTheRegionAsRgbPixelsFromEitherPath)
{
    const QelWrapper::Configurations config = Config();
    ObjectObserver observer(config);
    QelWrapper::Engines shared(config);  // the observer's own track engine
    PictureSpy spy(shared.GetBatchObserver());
    shared.TrackEngine()->setBatchedObserver(&spy);

    RefHost::SampleShape shape;
    shape.width = 800;
    shape.height = 600;
    shape.nv12 = true;  // planes in host memory and NV12 in device memory
    const auto rgb = ColourBlocks(800, 600);
    const auto sample = RefHost::FrameSample::FromRgb(shape, rgb.data());
    ASSERT_TRUE(observer.PushFrame(sample->Planar()));
    ASSERT_TRUE(observer.PushGpuFrame(sample->Composite()));
    observer.Stop();
    shared.TrackEngine()->setBatchedObserver(&shared.GetBatchObserver());

    const auto pictures = spy.Pictures();
    ASSERT_EQ(pictures.size(), 2u);
    for (const auto& [frame, picture] : pictures) {
        const char* path = frame == 0 ? "host planes" : "NV12";
        ASSERT_EQ(picture.getWidth(), config.roiWidth) << path;
        ASSERT_EQ(picture.getHeight(), config.roiHeight) << path;
        ASSERT_EQ(picture.getFormat(), fsdk::Format::R8G8B8) << path;
        ASSERT_EQ(picture.getRowSize(), int64_t{config.roiWidth} * 3) << path;
        // Against the picture the frame was made from: a YUV round trip,
        // BT.601 limited range, differs by a few levels at most.
        const auto* pixels = static_cast<const uint8_t*>(picture.getData());
        int worst = 0;
        for (int y = 0; y < config.roiHeight; ++y)
            for (int x = 0; x < config.roiWidth * 3; ++x) {
                const int got = pixels[static_cast<size_t>(y) * config.roiWidth * 3 + x];
                const int want = rgb[(static_cast<size_t>(y + config.roiY) * 800 + config.roiX) * 3 + x];
                worst = std::max(worst, std::abs(got - want));
            }
        EXPECT_LE(worst, 6) << path;
    }
}

TEST(ObjectObserver, ARegionOutsideTheFrameIsThrownOut)
{
    QelWrapper::Configurations config = Config();
    config.roiX = 500;  // 500 + 640 > 800
    ObjectObserver observer(config);
    auto sample = Frame({}, 1, true);
    EXPECT_THROW(observer.PushFrame(sample->Planar()), std::runtime_error);
    EXPECT_THROW(observer.PushGpuFrame(sample->Composite()), std::runtime_error);
    EXPECT_EQ(observer.GetStatistics().pushedFrames, 0u);
}

TEST(ObjectObserver, TheFrameNumberAdvancesWhenTheSdkRefuses)
{
    QelWrapper::Configurations config = Config();
    config.roiWidth = 320;  // a track engine of its own
    config.roiHeight = 240;
    ObjectObserver observer(config);
    // Hold the engine's delivery thread: a stream nobody registered makes it
    // log, and the log waits.
    QelWrapper::Engines shared(config);
    auto unregistered = shared.TrackEngine()->createStream(nullptr);
    ASSERT_TRUE(unregistered);
    Log().Arm("is not found");
    const fsdk::Image image(320, 240, fsdk::Format::R8G8B8);
    ASSERT_TRUE(unregistered->pushFrame(image, 0, nullptr));
    Log().WaitUntilHeld();

    auto sample = Frame({}, 1);
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(observer.PushFrame(sample->Planar())) << i;  // frames-buffer-size
    EXPECT_FALSE(observer.PushFrame(sample->Planar()));                                   // frame 20, refused
    Log().Open();
    // Each frame's place is free by the time its result can be popped, so
    // the push right after the last one is taken, on whichever core the
    // SDK's delivery thread is.
    for (size_t results = 0; results < 20;) {
        FrameResult result;
        if (observer.PopResult(result))
            ++results;
        else
            std::this_thread::yield();  // the SDK's threads deliver the rest
    }
    ASSERT_TRUE(observer.PushFrame(sample->Planar()));
    observer.Stop();
    const auto last = Drain(observer);
    ASSERT_FALSE(last.empty());
    EXPECT_EQ(last[0].frameId, 21u);
    unregistered->join();
}

TEST(ObjectObserver, AStoppedTrackEngineGivesNoStream)
{
    QelWrapper::Configurations config = Config();
    config.roiWidth = 321;  // a track engine of its own
    QelWrapper::Engines engines(config);
    engines.TrackEngine()->stop();
    try {
        ObjectObserver observer(config);
        ADD_FAILURE() << "no failure";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Failed to create stream instance.");
    }
}

TEST(ObjectObserver, ObserversOfOneEngineShareNothingButIt)
{
    std::vector<std::unique_ptr<ObjectObserver>> observers;
    for (int i = 0; i < 3; ++i) observers.push_back(std::make_unique<ObjectObserver>(Config()));
    std::vector<std::thread> cameras;
    for (int c = 0; c < 3; ++c)
        cameras.emplace_back([&, c] {
            for (int i = 0; i < 5; ++i) {
                auto sample = Frame(Blob(i), 100 * c + i);
                while (!observers[c]->PushFrame(sample->Planar())) std::this_thread::yield();
            }
            observers[c]->Stop();
        });
    for (auto& camera : cameras) camera.join();
    std::set<int32_t> ids;
    for (int c = 0; c < 3; ++c) {
        const auto results = Drain(*observers[c]);
        ExpectTracked(results, 100 * c, 5);
        ids.insert(results[0].objects[0].trackId);
    }
    EXPECT_EQ(ids.size(), 3u);  // track ids never repeat within an engine
    observers.clear();
}

}  // namespace
