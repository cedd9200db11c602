#include "track/engine/Core.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>
#include <new>
#include <utility>

#include "common/ImageAccess.h"
#include "common/SdkLog.h"

namespace tsdk::detail {
namespace {

// The core whose thread this is, so that calls which would wait for that
// very thread are recognised.
thread_local const Core* t_core = nullptr;

// Frames a worker takes from one stream before it lets others in.
constexpr size_t kFramesPerRun = 8;

}  // namespace

// The results of one delivery. The frames' streams, images and data go with
// it, once the observer lets go of it.
class ResultBatch final : public fsdk::detail::RefCountedObject<ITrackingResultBatch> {
public:
    // Takes the records whose stream reports tracking; answers whether any.
    bool Fill(std::vector<ResultRecord>& records)
    {
        for (ResultRecord& record : records)
            if (record.stream->m_tracking.load(std::memory_order_relaxed)) m_records.push_back(std::move(record));
        for (size_t i = 0; i < m_records.size(); ++i) {
            const uint32_t id = m_records[i].stream->getId();
            Entry* entry = Find(id);
            if (entry == nullptr) {
                entry = &m_entries.emplace_back();
                entry->id = id;
                m_streamIds.push_back(id);
            }
            entry->frameIds.push_back(m_records[i].frameId);
            entry->records.push_back(i);
        }
        return !m_records.empty();
    }

    fsdk::Span<const uint32_t> getStreamIds() const override { return {m_streamIds.data(), m_streamIds.size()}; }

    fsdk::Span<const uint32_t> getStreamFrameIds(uint32_t streamId) const override
    {
        const Entry* entry = Find(streamId);
        if (entry == nullptr) return {};
        return {entry->frameIds.data(), entry->frameIds.size()};
    }

    TrackingResult getTrackingResult(uint32_t streamId, uint32_t frameId) const override
    {
        TrackingResult result;
        const Entry* entry = Find(streamId);
        if (entry == nullptr) return result;
        const auto at = std::find(entry->frameIds.begin(), entry->frameIds.end(), frameId);
        if (at == entry->frameIds.end()) return result;
        const ResultRecord& record = m_records[entry->records[at - entry->frameIds.begin()]];
        result.frameId = record.frameId;
        result.image = record.image;
        result.additionalData = record.data.get();
        result.objects = {record.objects.data(), record.objects.size()};
        result.finishedTracks = {record.finished.data(), record.finished.size()};
        return result;
    }

private:
    struct Entry {
        uint32_t id = 0;
        std::vector<uint32_t> frameIds;
        std::vector<size_t> records;
    };

    const Entry* Find(uint32_t id) const
    {
        for (const Entry& entry : m_entries)
            if (entry.id == id) return &entry;
        return nullptr;
    }
    Entry* Find(uint32_t id) { return const_cast<Entry*>(static_cast<const ResultBatch*>(this)->Find(id)); }

    std::vector<ResultRecord> m_records;
    std::vector<Entry> m_entries;
    std::vector<uint32_t> m_streamIds;
};

// ---------------------------------------------------------------- Stream

Stream::Stream(std::shared_ptr<Core> core, uint32_t id)
    : m_core(std::move(core)), m_id(id), m_tracker(m_core->Config(), m_core->TrackIds(), m_core->MakeDetector())
{
}

Stream::~Stream() = default;

bool Stream::pushFrame(const fsdk::Image& frame, uint32_t frameId, AdditionalFrameData* data)
{
    std::unique_ptr<AdditionalFrameData> owned(data);
    if (!frame.isValid() || frame.getBytesPerPixel() == 0) {
        m_refused.fetch_add(1, std::memory_order_relaxed);
        fsdk::log::printf(m_core->Config().logs(fsdk::log::Error), fsdk::log::Error,
                          "stream {}: frame {} refused, the image is empty or of an unknown format", m_id, frameId);
        return false;
    }
    return m_core->Push(*this, frame, frameId, std::move(owned));
}

void Stream::setObserverEnabled(StreamObserverType type, bool enabled)
{
    switch (type) {
    case StreamObserverType::Tracking: m_tracking.store(enabled); break;
    case StreamObserverType::Visual: m_visual.store(enabled); break;
    case StreamObserverType::Debug: m_debug.store(enabled); break;
    default:
        fsdk::log::printf(m_core->Config().logs(fsdk::log::Warning), fsdk::log::Warning,
                          "stream {}: observer kind {} is unknown", m_id, static_cast<int>(type));
    }
}

void Stream::join()
{
    m_core->Join(*this);
}

StreamStatistics Stream::getStatistics() const
{
    StreamStatistics statistics;
    statistics.framesSkipped = m_skipped.load(std::memory_order_relaxed);
    statistics.framesPushed = m_pushed.load(std::memory_order_relaxed);
    statistics.framesRefused = m_refused.load(std::memory_order_relaxed);
    statistics.framesWaiting = m_waiting.load(std::memory_order_relaxed);
    statistics.framesProcessed = m_processed.load(std::memory_order_relaxed);
    return statistics;
}

// ------------------------------------------------------------------ Core

Core::Core(const EngineConfig& config, std::shared_ptr<NeuralNetwork> network)
    : m_config(config), m_network(std::move(network))
{
}

// Every thread holds the core, so by now each has been joined or has ended.
Core::~Core() = default;

void Core::Start()
{
    std::shared_ptr<Core> self = shared_from_this();
    std::lock_guard<std::mutex> lock(m_threadsMutex);
    for (int i = 0; i < m_config.workerThreads; ++i)
        m_threads.emplace_back([self] {
            t_core = self.get();
            self->WorkerLoop();
        });
    m_threads.emplace_back([self] {
        t_core = self.get();
        self->DeliveryLoop();
    });
}

void Core::Stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_workReady.notify_all();
    m_resultsReady.notify_all();
    m_settled.notify_all();

    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(m_threadsMutex);
        threads.swap(m_threads);
    }
    for (std::thread& thread : threads) {
        if (thread.get_id() == std::this_thread::get_id())
            thread.detach();  // its own copy of the core keeps it alive until it returns
        else if (thread.joinable())
            thread.join();
    }

    // What no thread will handle any more goes, outside the lock.
    std::deque<fsdk::Ref<Stream>> ready;
    std::vector<ResultRecord> completed;
    std::vector<FrameItem> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ready.swap(m_ready);
        completed.swap(m_completed);
        for (const fsdk::Ref<Stream>& stream : ready) {
            for (FrameItem& item : stream->m_queue) dropped.push_back(std::move(item));
            stream->m_queue.clear();
            stream->m_scheduled = false;
        }
        for (const fsdk::Ref<Stream>& stream : ready) stream->m_pending = stream->m_slots = 0;
        for (const ResultRecord& record : completed) record.stream->m_pending = record.stream->m_slots = 0;
    }
    m_settled.notify_all();
}

IStreamPtr Core::CreateStream()
{
    uint32_t id = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) return IStreamPtr();
        id = m_nextStreamId++;
    }
    try {
        return fsdk::detail::makeRef<IStream, Stream>(shared_from_this(), id);
    } catch (const std::exception& e) {
        fsdk::log::printf(m_config.logs(fsdk::log::Error), fsdk::log::Error, "track engine: no stream: {}", e.what());
        return IStreamPtr();
    }
}

void Core::SetObserver(ITrackingResultObserver* observer)
{
    if (OnOwnThread()) {  // from inside a batch callback, which holds the lock
        m_observer = observer;
        return;
    }
    std::lock_guard<std::mutex> lock(m_observerMutex);
    m_observer = observer;
}

bool Core::Push(Stream& stream, const fsdk::Image& frame, uint32_t frameId, std::unique_ptr<AdditionalFrameData> data)
{
    // Take the place in the buffer first so a refused frame costs no copy.
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping || stream.m_finishing || stream.m_slots >= m_config.framesBufferSize) {
            stream.m_refused.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        ++stream.m_pending;
        ++stream.m_slots;
    }
    FrameItem item;
    item.frameId = frameId;
    item.data = std::move(data);
    bool copied = true;
    try {
        item.image = fsdk::ImageAccess::OwnedCopy(frame);
    } catch (const std::bad_alloc&) {
        copied = false;
    }

    std::lock_guard<std::mutex> lock(m_mutex);
    if (!copied || !item.image.isValid() || m_stopping || stream.m_finishing) {
        --stream.m_slots;
        if (--stream.m_pending == 0) m_settled.notify_all();
        stream.m_refused.fetch_add(1, std::memory_order_relaxed);
        return false;  // `item` goes after the lock is released
    }
    stream.m_queue.push_back(std::move(item));
    stream.m_pushed.fetch_add(1, std::memory_order_relaxed);
    stream.m_waiting.store(stream.m_slots, std::memory_order_relaxed);
    if (!stream.m_scheduled) {
        stream.m_scheduled = true;
        m_ready.push_back(fsdk::Ref<Stream>(&stream));
        m_workReady.notify_one();
    }
    return true;
}

void Core::Join(Stream& stream)
{
    if (OnOwnThread()) {
        fsdk::log::printf(m_config.logs(fsdk::log::Error), fsdk::log::Error,
                          "stream {}: join from a result callback cannot wait for its own thread", stream.m_id);
        return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_stopping) return;
    if (!stream.m_finishing) {
        stream.m_finishing = true;
        FrameItem mark;
        mark.finish = true;
        stream.m_queue.push_back(std::move(mark));
        ++stream.m_pending;
        ++stream.m_slots;
        if (!stream.m_scheduled) {
            stream.m_scheduled = true;
            m_ready.push_back(fsdk::Ref<Stream>(&stream));
            m_workReady.notify_one();
        }
    }
    m_settled.wait(lock, [&] { return m_stopping || stream.m_pending == 0; });
}

bool Core::OnOwnThread() const noexcept
{
    return t_core == this;
}

int Core::Process(Stream& stream, std::vector<FrameItem>& items, std::vector<ResultRecord>& out,
                  std::vector<int32_t>& finishedAtEnd, bool& marked)
{
    int settled = 0;
    for (FrameItem& item : items) {
        if (item.finish) {
            marked = true;
            stream.m_tracker.FinishAll(finishedAtEnd);
            if (finishedAtEnd.empty()) {
                ++settled;
            } else if (!out.empty()) {
                // The last frame of this run carries the end of its tracks.
                out.back().finished.insert(out.back().finished.end(), finishedAtEnd.begin(), finishedAtEnd.end());
                ++out.back().weight;
                finishedAtEnd.clear();
            }
            // Otherwise `finishedAtEnd` is settled against earlier results under the lock.
            continue;
        }
        try {
            ResultRecord record;
            record.stream = fsdk::Ref<Stream>(&stream);
            record.frameId = item.frameId;
            const bool detected = stream.m_tracker.Process(item.image, record.objects, record.finished);
            if (!detected) stream.m_skipped.fetch_add(1, std::memory_order_relaxed);
            record.data = std::shared_ptr<AdditionalFrameData>(std::move(item.data));  // none: empty
            if (stream.m_debug.load(std::memory_order_relaxed))
                fsdk::log::printf(m_config.logs(fsdk::log::Debug), fsdk::log::Debug,
                                  "stream {}: frame {}: {} tracks reported, {} finished, detector {}", stream.m_id,
                                  item.frameId, record.objects.size(), record.finished.size(),
                                  detected ? "ran" : "skipped");
            stream.m_hasLast = true;
            stream.m_lastFrameId = item.frameId;
            stream.m_lastData = record.data;
            if (stream.m_visual.load(std::memory_order_relaxed)) {
                stream.m_lastImage = item.image;
                record.image = std::move(item.image);
            } else {
                stream.m_lastImage = fsdk::Image();
            }
            out.push_back(std::move(record));
        } catch (const std::exception& e) {
            fsdk::log::printf(m_config.logs(fsdk::log::Error), fsdk::log::Error, "stream {}: frame {} lost: {}",
                              stream.m_id, item.frameId, e.what());
            ++settled;
        }
        stream.m_processed.fetch_add(1, std::memory_order_relaxed);
    }
    return settled;
}

void Core::WorkerLoop()
{
    std::vector<FrameItem> items;
    std::vector<ResultRecord> out;
    std::vector<int32_t> finishedAtEnd;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_workReady.wait(lock, [&] { return m_stopping || !m_ready.empty(); });
        if (m_stopping) return;
        fsdk::Ref<Stream> stream = std::move(m_ready.front());
        m_ready.pop_front();
        while (!stream->m_queue.empty() && items.size() < kFramesPerRun) {
            items.push_back(std::move(stream->m_queue.front()));
            stream->m_queue.pop_front();
        }
        lock.unlock();

        bool marked = false;
        const int settled = Process(*stream, items, out, finishedAtEnd, marked);
        items.clear();
        std::shared_ptr<AdditionalFrameData> lastData;
        fsdk::Image lastImage;

        lock.lock();
        if (m_stopping) {
            for (FrameItem& item : stream->m_queue) items.push_back(std::move(item));
            stream->m_queue.clear();
            stream->m_scheduled = false;
            stream->m_pending = stream->m_slots = 0;
            lock.unlock();
            items.clear();
            out.clear();
            return;
        }
        if (!finishedAtEnd.empty()) {
            // The stream's last result may still wait for delivery: it then
            // carries the end; otherwise a result repeating the last frame does.
            auto last = std::find_if(m_completed.rbegin(), m_completed.rend(),
                                     [&](const ResultRecord& r) { return r.stream.get() == stream.get(); });
            if (last != m_completed.rend()) {
                last->finished.insert(last->finished.end(), finishedAtEnd.begin(), finishedAtEnd.end());
                ++last->weight;
            } else {
                ResultRecord record;
                record.stream = stream;
                record.frameId = stream->m_lastFrameId;
                record.image = stream->m_lastImage;
                record.data = stream->m_lastData;
                record.finished = std::move(finishedAtEnd);
                out.push_back(std::move(record));
            }
            finishedAtEnd.clear();
        }
        if (marked) {
            lastData = std::move(stream->m_lastData);
            lastImage = std::move(stream->m_lastImage);
            stream->m_hasLast = false;
        }
        for (ResultRecord& record : out) m_completed.push_back(std::move(record));
        if (!out.empty()) m_resultsReady.notify_one();
        stream->m_pending -= settled;
        stream->m_slots -= settled;
        stream->m_waiting.store(stream->m_slots, std::memory_order_relaxed);
        if (settled > 0 && stream->m_pending == 0) m_settled.notify_all();
        if (!stream->m_queue.empty()) {
            m_ready.push_back(stream);
            m_workReady.notify_one();
        } else {
            stream->m_scheduled = false;
        }
        lock.unlock();
        out.clear();
        stream.reset();
        lastData.reset();
        lastImage = fsdk::Image();
        lock.lock();
    }
}

void Core::DeliveryLoop()
{
    std::vector<ResultRecord> records;
    std::vector<std::pair<Stream*, int>> settle;
    std::vector<fsdk::Ref<Stream>> streams;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_resultsReady.wait(lock, [&] { return m_stopping || !m_completed.empty(); });
        if (m_stopping) return;
        records.swap(m_completed);  // the emptied list goes back with its storage
        settle.clear();
        for (const ResultRecord& record : records) {
            auto entry = std::find_if(settle.begin(), settle.end(),
                                      [&](const std::pair<Stream*, int>& e) { return e.first == record.stream.get(); });
            if (entry == settle.end())
                settle.emplace_back(record.stream.get(), record.weight);
            else
                entry->second += record.weight;
        }
        // The frames' places in the buffer are free before their results
        // are out: a host that pops a result and pushes at once finds room.
        for (const auto& [stream, weight] : settle) {
            stream->m_slots = std::max(0, stream->m_slots - weight);
            stream->m_waiting.store(stream->m_slots, std::memory_order_relaxed);
        }
        lock.unlock();

        // Holds the streams until they are settled below.
        for (const auto& entry : settle) streams.emplace_back(entry.first);
        Deliver(records);
        records.clear();

        lock.lock();
        for (const auto& [stream, weight] : settle) stream->m_pending = std::max(0, stream->m_pending - weight);
        m_settled.notify_all();
        lock.unlock();
        streams.clear();
        lock.lock();
    }
}

void Core::Deliver(std::vector<ResultRecord>& records)
{
    // Goes after the lock: unless the observer keeps it, the frames' images
    // and data go with it.
    fsdk::Ref<ResultBatch> batch;
    std::lock_guard<std::mutex> lock(m_observerMutex);
    if (m_observer == nullptr) return;
    batch = fsdk::Ref<ResultBatch>::adopt(new ResultBatch);
    if (!batch->Fill(records)) return;
    try {
        m_observer->batchTrackingResult(fsdk::Ref<ITrackingResultBatch>(batch));
    } catch (const std::exception& e) {
        fsdk::log::printf(m_config.logs(fsdk::log::Error), fsdk::log::Error, "track engine: result observer failed: {}",
                          e.what());
    } catch (...) {
        fsdk::log::printf(m_config.logs(fsdk::log::Error), fsdk::log::Error, "track engine: result observer failed");
    }
}

}  // namespace tsdk::detail
