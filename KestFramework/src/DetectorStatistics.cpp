#include "DetectorStatistics.h"

#include <utility>

namespace Kest8::Framework {

namespace {

constexpr int32_t kSubmitMode = 1;
constexpr const char* kLabelKey = "Detector";
constexpr const char* kLabelValue = "QelObjectTracker";

void Replace(Statistics::IMetric*& field, Statistics::IMetric* metric)
{
    if (field != nullptr) field->Destroy();
    field = metric;
}

void Release(Statistics::IMetric*& field)
{
    if (field != nullptr) std::exchange(field, nullptr)->Destroy();
}

// Frames counted since the previous snapshot. A counter that went down
// without the detector saying so cannot be compared: it counts from zero.
uint64_t Since(uint64_t current, uint64_t previous)
{
    return current >= previous ? current - previous : current;
}

}  // namespace

DetectorStatistics::DetectorStatistics(Statistics::ISink* sink, const int64_t& metricParameter) : sink(sink)
{
    if (sink == nullptr) return;
    Replace(pushedMetric, sink->CreateMetric("pushed_ps", metricParameter));
    Replace(processedMetric, sink->CreateMetric("processed_ps", metricParameter));
    Replace(tracksMetric, sink->CreateMetric("tracks", metricParameter));
    Replace(errorsMetric, sink->CreateMetric("errors", metricParameter));
    for (Statistics::IMetric* metric : {pushedMetric, processedMetric, tracksMetric, errorsMetric})
        if (metric != nullptr) metric->AddLabel(kLabelKey, kLabelValue);
}

DetectorStatistics::~DetectorStatistics()
{
    Release(errorsMetric);
    Release(tracksMetric);
    Release(processedMetric);
    Release(pushedMetric);
}

void DetectorStatistics::Publish(Statistics::ISink* sink, Statistics::IMetric* metric, double value)
{
    if (metric == nullptr) return;
    metric->SetDouble(value);
    sink->Submit(metric, kSubmitMode);
}

void DetectorStatistics::Publish(Statistics::ISink* sink, Statistics::IMetric* metric, uint64_t value)
{
    if (metric == nullptr) return;
    metric->SetUInt64(value);
    sink->Submit(metric, kSubmitMode);
}

void DetectorStatistics::Update(QelWrapper::StreamStatistics& snapshot, const int64_t& elapsedMs)
{
    if (sink == nullptr) return;
    // A period without length has no rate; the snapshot still moves on, as
    // the next elapsed time is counted from this call.
    if (elapsedMs > 0) {
        const double factor = 1000.0 / static_cast<double>(elapsedMs);
        const double pushed = static_cast<double>(Since(snapshot.pushedFrames, previous.pushedFrames)) * factor;
        const double processed =
            static_cast<double>(Since(snapshot.processedFrames, previous.processedFrames)) * factor;
        Publish(sink, pushedMetric, pushed);
        Publish(sink, processedMetric, processed);
        Publish(sink, tracksMetric, newTracks);
        Publish(sink, errorsMetric, errors);
    }
    std::swap(previous.counter0, snapshot.counter0);
    std::swap(previous.pushedFrames, snapshot.pushedFrames);
    std::swap(previous.processedFrames, snapshot.processedFrames);
}

}  // namespace Kest8::Framework
