#pragma once
// The detector's throughput and error metrics on the host's statistics sink.

#include <cstdint>

#include "Kest8/Statistics.h"
#include "QelWrapper/IObjectObserver.h"

namespace Kest8::Framework {

// Without a sink every operation but the counting does nothing.
class DetectorStatistics {
public:
    DetectorStatistics(Statistics::ISink* sink, const int64_t& metricParameter);
    ~DetectorStatistics();
    DetectorStatistics(const DetectorStatistics&) = delete;
    DetectorStatistics& operator=(const DetectorStatistics&) = delete;

    void CountNewTrack() noexcept { ++newTracks; }
    void CountError() noexcept { ++errors; }

    // The detector replaced its observer: the next period counts the new
    // observer's counters from zero, whatever the old one had reached.
    void RestartStreamCounters() noexcept { previous = {}; }

    // Publishes the rates since the previous update and the totals, then
    // swaps `snapshot` with the previous one.
    void Update(QelWrapper::StreamStatistics& snapshot, const int64_t& elapsedMs);

    uint64_t NewTracks() const noexcept { return newTracks; }
    uint64_t Errors() const noexcept { return errors; }

private:
    static void Publish(Statistics::ISink* sink, Statistics::IMetric* metric, double value);
    static void Publish(Statistics::ISink* sink, Statistics::IMetric* metric, uint64_t value);

    Statistics::ISink* sink;
    QelWrapper::StreamStatistics previous{};
    uint64_t newTracks = 0;
    uint64_t errors = 0;
    Statistics::IMetric* pushedMetric = nullptr;
    Statistics::IMetric* processedMetric = nullptr;
    Statistics::IMetric* tracksMetric = nullptr;
    Statistics::IMetric* errorsMetric = nullptr;
};

}  // namespace Kest8::Framework
