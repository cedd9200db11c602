#pragma once
// What a run adds up to: frame counts, push-to-report latencies, tracking
// scores, and the summary records written at its end.

#include <array>
#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "Scores/Evaluator.h"

namespace QelTrack {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

struct Counts {
    uint64_t decoded = 0;        // frames read from the input
    uint64_t pushed = 0;         // frames the SDK took
    uint64_t refused = 0;        // pushes the SDK refused
    uint64_t retried = 0;        // frames pushed more than once
    uint64_t receiveErrors = 0;  // frames Receive answered other than 0
    uint64_t targetLists = 0;
    uint64_t lifeEvents = 0;
    uint64_t tracks = 0;

    void Add(const Counts& o);
};

// Push-to-report times in buckets 2 % apart from 10 microseconds, so that
// any run keeps the same few counters.
class Latencies {
public:
    void Add(Clock::duration d);
    void Merge(const Latencies& other);
    // Null without any report.
    json Json() const;

private:
    double QuantileMs(double q) const;

    static constexpr double kLowest = 10;
    static constexpr double kStep = 1.02;
    static constexpr size_t kBuckets = 1024;
    std::array<uint64_t, kBuckets> m_counts{};
    uint64_t m_total = 0;
};

json CountsJson(const Counts& c, double seconds);
json ScoresJson(const Scores::Summary& s);

// The summary records of a run: one per stream and, with several streams,
// one for them all.
class RunSummary {
public:
    explicit RunSummary(bool realtime) : m_realtime(realtime) {}

    // The streams in order, each with its own summary record.
    void Add(json summary, const Counts& counts, const Latencies& latency, const std::optional<Scores::Summary>& scores,
             double maxLateMs);
    const Counts& Total() const { return m_total; }
    // The records as lines; `seconds` the whole run took.
    std::string Lines(double seconds, size_t contractViolations);

private:
    const bool m_realtime;
    std::vector<json> m_summaries;
    Counts m_total;
    Latencies m_latency;
    std::vector<Scores::Summary> m_scores;
    double m_maxLateMs = 0;
};

}  // namespace QelTrack
