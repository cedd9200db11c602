#pragma once
// The working part of a track engine: streams, the worker threads that
// track their frames, and the thread that delivers results in batches.
//
// A stream is processed by one worker at a time, so its frames are tracked
// and published in push order; one delivery thread hands every published
// result out, so they also reach the observer in that order.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/RefCountedObject.h"
#include "track/association/StreamTracker.h"
#include "track/engine/Config.h"
#include "tsdk/TrackEngine.h"

namespace tsdk::detail {

class Core;
class ResultBatch;
class Stream;

struct FrameItem {
    bool finish = false;  // the mark join() leaves after the last frame
    uint32_t frameId = 0;
    fsdk::Image image;
    std::unique_ptr<AdditionalFrameData> data;
};

struct ResultRecord {
    fsdk::Ref<Stream> stream;
    uint32_t frameId = 0;
    fsdk::Image image;
    std::shared_ptr<AdditionalFrameData> data;
    std::vector<TrackedObject> objects;
    std::vector<int32_t> finished;
    int weight = 1;  // queued items this result settles
};

class Stream final : public fsdk::detail::RefCountedObject<IStream> {
public:
    Stream(std::shared_ptr<Core> core, uint32_t id);
    ~Stream() override;

    bool pushFrame(const fsdk::Image& frame, uint32_t frameId, AdditionalFrameData* data) override;
    void setObserverEnabled(StreamObserverType type, bool enabled) override;
    void join() override;
    StreamStatistics getStatistics() const override;
    uint32_t getId() const override { return m_id; }

private:
    friend class Core;
    friend class ResultBatch;

    const std::shared_ptr<Core> m_core;
    const uint32_t m_id;
    std::atomic<bool> m_tracking{true};
    std::atomic<bool> m_visual{false};
    std::atomic<bool> m_debug{false};

    // Guarded by the core's mutex.
    std::deque<FrameItem> m_queue;
    bool m_scheduled = false;  // queued for a worker or being processed
    bool m_finishing = false;
    int m_pending = 0;  // items pushed whose results are not delivered yet
    // Of those, the items that still hold a place in the frame buffer: a
    // result gives its place back before it is handed out, so a host that
    // has its result always has room for the next frame.
    int m_slots = 0;

    // Touched only by the worker that holds the stream.
    StreamTracker m_tracker;
    bool m_hasLast = false;
    uint32_t m_lastFrameId = 0;
    fsdk::Image m_lastImage;
    std::shared_ptr<AdditionalFrameData> m_lastData;

    std::atomic<uint64_t> m_skipped{0};
    std::atomic<uint64_t> m_pushed{0};
    std::atomic<uint64_t> m_refused{0};
    std::atomic<uint64_t> m_waiting{0};
    std::atomic<uint64_t> m_processed{0};
};

class Core : public std::enable_shared_from_this<Core> {
public:
    Core(const EngineConfig& config, std::shared_ptr<NeuralNetwork> network);
    ~Core();

    void Start();
    // Stops and joins every thread; undelivered results are dropped. From
    // one of its own threads it joins the others and lets that one end.
    void Stop();

    IStreamPtr CreateStream();
    void SetObserver(ITrackingResultObserver* observer);

    const EngineConfig& Config() const noexcept { return m_config; }
    TrackIdSource& TrackIds() noexcept { return m_trackIds; }
    std::unique_ptr<IDetector> MakeDetector() const { return CreateDetector(m_config, m_network); }

    bool Push(Stream& stream, const fsdk::Image& frame, uint32_t frameId, std::unique_ptr<AdditionalFrameData> data);
    void Join(Stream& stream);

private:
    void WorkerLoop();
    void DeliveryLoop();
    // Tracks the taken items of a stream into `out` and answers how many
    // were settled without a result. At the finish mark `marked` is set, and
    // ended tracks no result of this run could carry stay in `finishedAtEnd`.
    int Process(Stream& stream, std::vector<FrameItem>& items, std::vector<ResultRecord>& out,
                std::vector<int32_t>& finishedAtEnd, bool& marked);
    // Hands the records to the observer in one batch.
    void Deliver(std::vector<ResultRecord>& records);
    bool OnOwnThread() const noexcept;

    const EngineConfig m_config;
    const std::shared_ptr<NeuralNetwork> m_network;  // for a neural detector
    TrackIdSource m_trackIds;
    std::atomic<uint32_t> m_nextStreamId{1};

    std::mutex m_mutex;
    std::condition_variable m_workReady;
    std::condition_variable m_resultsReady;
    std::condition_variable m_settled;
    std::deque<fsdk::Ref<Stream>> m_ready;
    std::vector<ResultRecord> m_completed;  // in push order per stream
    bool m_stopping = false;

    std::mutex m_threadsMutex;
    std::vector<std::thread> m_threads;

    std::mutex m_observerMutex;  // held while a batch is being delivered
    ITrackingResultObserver* m_observer = nullptr;
};

}  // namespace tsdk::detail
