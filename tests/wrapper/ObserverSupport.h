#pragma once
// Shared by the observer tests: the process's host logger (which can hold
// the SDK's delivery thread), configurations, host frames and fake batches.

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AdditionalFrameData.h"
#include "QelWrapper/IObjectObserver.h"
#include "RefHost/Contract.h"
#include "RefHost/Logger.h"
#include "RefHost/Samples.h"
#include "Scenes.h"
#include "common/RefCountedObject.h"
#include "tsdk/TrackEngine.h"

namespace ObserverSupport {

// Records like RefHost::Logger; while armed, a line containing the armed
// text waits in Log until Open().
class GatedLogger final : public Kest8::ILogger {
public:
    REFHOST_CONTRACTS(Kest8::ILogger)

    int32_t GetLogLevel() const override { return 0; }
    void Log(int32_t level, const char* text) override { m_lines.Log(level, text); }
    void Log(int32_t level, const char* file, int32_t line, const char* function, const char* text) override
    {
        m_lines.Log(level, file, line, function, text);
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_armed.empty() || std::string(text).find(m_armed) == std::string::npos) return;
        m_held = true;
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return m_armed.empty(); });
    }

    void Arm(const std::string& text)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_armed = text;
        m_held = false;
    }
    void WaitUntilHeld()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return m_held; });
    }
    void Open()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_armed.clear();
        m_changed.notify_all();
    }
    RefHost::Logger& Lines() { return m_lines; }

private:
    RefHost::Logger m_lines{0};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_armed;
    bool m_held = false;
};

// The SDK logger keeps the host logger of the first engines of the process.
inline GatedLogger& Log()
{
    static GatedLogger logger;
    return logger;
}

inline QelWrapper::Configurations Config()
{
    QelWrapper::Configurations config;
    config.logger = &Log();
    config.modulePath = QEL_BLOB_MODULE_DIR;  // the SDK finds the test scenes' solid blobs
    config.frameWidth = 800;
    config.frameHeight = 600;
    config.roiX = 100;
    config.roiY = 50;
    config.roiWidth = 640;
    config.roiHeight = 480;
    config.detectorStep = 1;
    return config;
}

inline std::unique_ptr<RefHost::FrameSample> Frame(const std::vector<TestScenes::Box>& boxes, uint64_t timestamp,
                                                   bool nv12 = false)
{
    RefHost::SampleShape shape;
    shape.width = 800;
    shape.height = 600;
    shape.timestamp = timestamp;
    shape.nv12 = nv12;
    const auto rgb = TestScenes::Rgb(800, 600, boxes);
    return RefHost::FrameSample::FromRgb(shape, rgb.data());
}

struct FakeFrame {
    uint32_t frameId = 0;
    std::unique_ptr<tsdk::AdditionalFrameData> data;
    std::vector<tsdk::TrackedObject> objects;
    std::vector<int32_t> finished;
};

// A batch as the SDK hands it over; streams in the order added.
class FakeBatch final : public fsdk::detail::RefCountedObject<tsdk::ITrackingResultBatch> {
public:
    void Add(uint32_t streamId, uint32_t frameId, uint64_t timestamp, std::vector<tsdk::TrackedObject> objects = {})
    {
        FakeFrame frame;
        frame.frameId = frameId;
        frame.data = std::make_unique<QelWrapper::AdditionalFrameData>(timestamp);
        frame.objects = std::move(objects);
        Add(streamId, std::move(frame));
    }
    void Add(uint32_t streamId, FakeFrame frame)
    {
        if (m_frames.find(streamId) == m_frames.end()) m_order.push_back(streamId);
        m_ids[streamId].push_back(frame.frameId);
        m_frames[streamId].push_back(std::move(frame));
    }

    fsdk::Span<const uint32_t> getStreamIds() const override { return {m_order.data(), m_order.size()}; }
    fsdk::Span<const uint32_t> getStreamFrameIds(uint32_t streamId) const override
    {
        const auto& ids = m_ids.at(streamId);
        return {ids.data(), ids.size()};
    }
    tsdk::TrackingResult getTrackingResult(uint32_t streamId, uint32_t frameId) const override
    {
        tsdk::TrackingResult result;
        for (const FakeFrame& frame : m_frames.at(streamId)) {
            if (frame.frameId != frameId) continue;
            result.frameId = frame.frameId;
            result.additionalData = frame.data.get();
            result.objects = {frame.objects.data(), frame.objects.size()};
            result.finishedTracks = {frame.finished.data(), frame.finished.size()};
        }
        return result;
    }

private:
    std::vector<uint32_t> m_order;
    std::map<uint32_t, std::vector<uint32_t>> m_ids;
    std::map<uint32_t, std::vector<FakeFrame>> m_frames;
};

inline fsdk::Ref<tsdk::ITrackingResultBatch> MakeBatch(FakeBatch*& batch)
{
    batch = new FakeBatch;
    return fsdk::Ref<tsdk::ITrackingResultBatch>::adopt(batch);
}

}  // namespace ObserverSupport
