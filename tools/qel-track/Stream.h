#pragma once
// One camera as a server runs it: a detector and its host context, fed from
// the stream's own thread, and what the host received from it.

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "Annotate.h"
#include "Options.h"
#include "Output.h"
#include "Records.h"
#include "RefHost/Host.h"
#include "RefHost/Samples.h"
#include "RefHost/Targets.h"
#include "Sources.h"
#include "StreamLogger.h"
#include "Summary.h"
#include "Truth.h"

namespace QelTrack {

// Shared by every stream of a run.
struct Shared {
    const Options& options;
    Output& output;
    StreamLogger& logger;
    RefHost::TargetEnumeratorFactory& targets;
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> decoded{0};
};

class Stream {
public:
    Stream(Shared& shared, int index, std::unique_ptr<FrameSource> source, const GroundTruth* truth);

    RefHost::HostContext& Context() { return m_context; }
    void Attach(Kest8::Analytics::IDetector* detector) { m_detector = detector; }
    Kest8::Analytics::IDetector* Detector() const { return m_detector; }
    void SetAnnotator(std::unique_ptr<Annotator> annotator) { m_annotator = std::move(annotator); }
    const FrameSource& Source() const { return *m_source; }

    void Run();
    // Destroys the detector (reporting its open tracks) if still there.
    void Release();
    // Writes what the host received since the last call.
    void Collect();
    json Summary(double seconds);

    const Counts& Totals() const { return m_counts; }
    const Latencies& Latency() const { return m_latency; }
    std::optional<Scores::Summary> Scores() const { return m_scores; }
    const std::optional<std::string>& InputFailure() const { return m_inputFailure; }
    const std::optional<std::string>& AnnotateFailure() const { return m_annotateFailure; }
    const std::string& LastError() const { return m_lastError; }
    double Seconds() const { return m_seconds; }
    double MaxLateMs() const { return std::chrono::duration<double, std::milli>(m_maxLate).count(); }

private:
    void Feed(const RgbFrame& frame, RefHost::SampleShape& shape);
    void NoteReport(const RefHost::EventRecord& event, json& record);
    template <class F>
    void Annotating(F&& f);
    // The stream its thread's log lines are noted with.
    int Tag() const { return m_shared.options.streams > 1 ? m_index : -1; }

    Shared& m_shared;
    const int m_index;
    std::unique_ptr<FrameSource> m_source;
    RefHost::StatisticsSink m_statistics;
    RefHost::HostContext m_context{&m_statistics};
    Kest8::Analytics::IDetector* m_detector = nullptr;
    std::unique_ptr<Scorer> m_scorer;
    std::unique_ptr<Annotator> m_annotator;
    std::deque<std::pair<uint64_t, Clock::time_point>> m_inFlight;  // pushed, not reported yet
    Counts m_counts;
    Latencies m_latency;
    std::set<int32_t> m_trackIds;
    std::optional<Scores::Summary> m_scores;
    std::optional<std::string> m_inputFailure;
    std::optional<std::string> m_annotateFailure;
    std::string m_lastError;
    double m_seconds = 0;
    Clock::duration m_maxLate{};
};

}  // namespace QelTrack
