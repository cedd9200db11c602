#include "Stream.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <thread>
#include <vector>

#include "RefHost/Contract.h"

namespace QelTrack {

namespace {

// A file is fed as fast as the SDK takes it: a refused frame is pushed again
// after a short wait, for this long at most.
constexpr auto kRetryFor = std::chrono::seconds(10);
constexpr auto kFirstWait = std::chrono::microseconds(500);
constexpr auto kMaxWait = std::chrono::milliseconds(8);

}  // namespace

Stream::Stream(Shared& shared, int index, std::unique_ptr<FrameSource> source, const GroundTruth* truth)
    : m_shared(shared), m_index(index), m_source(std::move(source))
{
    if (truth != nullptr) m_scorer = std::make_unique<Scorer>(*truth);
}

template <class F>
void Stream::Annotating(F&& f)
{
    if (!m_annotator) return;
    try {
        f(*m_annotator);
    } catch (const std::exception& e) {
        m_annotateFailure = std::string("cannot annotate '") + m_shared.options.annotate + "': " + e.what();
        m_annotator.reset();
        m_shared.stop = true;
    }
}

void Stream::Run()
{
    ThreadNotes& notes = ThisThread();
    notes.stream = Tag();
    notes.lastError.clear();
    const auto started = Clock::now();
    RefHost::SampleShape shape;
    const std::string& format = m_shared.options.inputFormat;
    shape.layout = format == "yuv422" ? RefHost::PlanarLayout::I422
                   : format == "gray" ? RefHost::PlanarLayout::Gray
                                      : RefHost::PlanarLayout::I420;
    shape.planar = format != "nv12";
    shape.nv12 = format == "nv12";
    RgbFrame frame;
    try {
        while (!m_shared.stop && (!m_shared.options.frames || m_counts.decoded < *m_shared.options.frames) &&
               m_source->Next(frame)) {
            if (m_shared.options.realtime) {
                // A host too slow to keep the stream's pace falls behind it.
                const auto due = started + std::chrono::milliseconds(frame.timestampMs);
                m_maxLate = std::max(m_maxLate, Clock::now() - due);
                std::this_thread::sleep_until(due);
            }
            Feed(frame, shape);
        }
    } catch (const InputError& e) {
        m_inputFailure = e.what();
    } catch (const std::bad_alloc&) {
        m_inputFailure = "out of memory for a frame";
    } catch (const std::exception& e) {
        m_inputFailure = e.what();
    }
    Release();
    m_seconds = std::chrono::duration<double>(Clock::now() - started).count();
    Annotating([](Annotator& a) { a.Finish(); });
    m_lastError = notes.lastError;
    notes.stream = -1;
}

void Stream::Feed(const RgbFrame& frame, RefHost::SampleShape& shape)
{
    shape.width = frame.width;
    shape.height = frame.height;
    shape.timestamp = frame.timestampMs;
    const auto sample = RefHost::FrameSample::FromRgb(shape, frame.rgb.data());
    ++m_counts.decoded;
    ++m_shared.decoded;
    if (m_scorer) m_scorer->AddFrame(frame.timestampMs, frame.width, frame.height);
    Annotating([&frame](Annotator& a) { a.AddFrame(frame); });
    auto* receiver = Kest8::QueryContractAs<Kest8::Analytics::IMediaReceiver>(m_detector);
    ThreadNotes& notes = ThisThread();
    const auto firstPush = Clock::now();
    auto wait = std::chrono::duration_cast<Clock::duration>(kFirstWait);
    for (bool again = false;; again = true) {
        notes.refused = false;
        const auto pushedAt = Clock::now();
        const int32_t result = receiver->Receive(sample->Sample());
        const bool refused = notes.refused;
        if (result == 0 && !refused) {
            ++m_counts.pushed;
            m_inFlight.emplace_back(frame.timestampMs, pushedAt);
        }
        Collect();
        if (result != 0) {
            ++m_counts.receiveErrors;
            m_shared.output.Write(ReceiveJson(frame.timestampMs, result, notes.stream).dump() + '\n');
            return;
        }
        if (!refused) return;
        ++m_counts.refused;
        // A camera does not wait: in real time a refused frame is gone.
        if (m_shared.options.realtime || m_shared.stop || Clock::now() - firstPush >= kRetryFor) return;
        if (!again) ++m_counts.retried;
        std::this_thread::sleep_for(wait);
        wait = std::min<Clock::duration>(wait * 2, kMaxWait);
    }
}

void Stream::Release()
{
    if (m_detector == nullptr) return;
    ThreadNotes& notes = ThisThread();
    const int saved = notes.stream;
    notes.stream = Tag();
    m_detector->Destroy();
    m_detector = nullptr;
    Collect();
    notes.stream = saved;
}

void Stream::NoteReport(const RefHost::EventRecord& event, json& record)
{
    ++m_counts.targetLists;
    record = {{"type", "targets"}, {"timestamp", event.timestamp}, {"targets", json::array()}};
    const RefHost::EventValue* list = event.Find("TargetList");
    std::vector<DrawnTarget> drawn;
    if (list != nullptr && list->Targets() != nullptr) {
        for (const auto& t : list->Targets()->Targets()) {
            const Kest8::Rect box = t.box.value_or(Kest8::Rect{});
            record["targets"].push_back({{"phase", t.phase.value_or(0)},
                                         {"box", {box.left, box.top, box.width, box.height}},
                                         {"values", ValuesJson(t.values)}});
            DrawnTarget d{box.left,           box.top, box.width, box.height, t.Int32("ObjectId").value_or(-1),
                          t.phase.value_or(0)};
            m_trackIds.insert(d.objectId);
            drawn.push_back(d);
        }
    }
    // Reports come in frame order; frames before this one had none of their own.
    while (!m_inFlight.empty() && m_inFlight.front().first < event.timestamp) m_inFlight.pop_front();
    if (!m_inFlight.empty() && m_inFlight.front().first == event.timestamp) {
        m_latency.Add(Clock::now() - m_inFlight.front().second);
        m_inFlight.pop_front();
    }
    if (m_scorer) m_scorer->AddReport(event.timestamp, drawn);
    Annotating([&](Annotator& a) { a.AddReport(event.timestamp, std::move(drawn)); });
}

void Stream::Collect()
{
    std::vector<std::pair<uint64_t, json>> records;
    for (const auto& [line, stream] : m_shared.logger.Take())
        records.emplace_back(line.sequence, LogJson(line, stream));
    for (const auto& event : m_context.TakeEvents()) {
        json record;
        if (event.name == "TargetList") {
            NoteReport(event, record);
        } else {
            if (event.name == "TargetLifeEvent") ++m_counts.lifeEvents;
            record = EventJson(event);
        }
        if (Tag() >= 0) record["stream"] = m_index;
        records.emplace_back(event.sequence, std::move(record));
    }
    for (const auto& s : m_statistics.TakeSubmissions()) {
        json record = MetricJson(s);
        if (Tag() >= 0) record["stream"] = m_index;
        records.emplace_back(s.sequence, std::move(record));
    }
    // Nothing to say about them; only forget them.
    m_shared.targets.TakeAdjusterRequests();
    m_shared.output.Write(Lines(records));
    if (m_shared.output.Failed()) m_shared.stop = true;
}

json Stream::Summary(double seconds)
{
    m_counts.tracks = m_trackIds.size();
    json summary = CountsJson(m_counts, seconds);
    summary["latencyMs"] = m_latency.Json();
    if (m_shared.options.realtime) summary["maxLateMs"] = MaxLateMs();
    if (m_scorer) {
        m_scores = m_scorer->Finish();
        summary.update(ScoresJson(*m_scores));
    }
    return summary;
}

}  // namespace QelTrack
