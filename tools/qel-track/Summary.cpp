#include "Summary.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace QelTrack {

namespace {

// Scores of several streams together, from their counts.
Scores::Summary Pooled(const std::vector<Scores::Summary>& all)
{
    Scores::Summary t;
    for (const auto& s : all) {
        t.truths += s.truths, t.hypotheses += s.hypotheses, t.matches += s.matches, t.misses += s.misses;
        t.falsePositives += s.falsePositives, t.idSwitches += s.idSwitches, t.idTruePositives += s.idTruePositives;
    }
    t.mota = t.truths == 0 ? (t.hypotheses == 0 ? 1.0 : -INFINITY)
                           : 1.0 - static_cast<double>(t.misses + t.falsePositives + t.idSwitches) / t.truths;
    t.idf1 = t.truths + t.hypotheses == 0 ? 1.0 : 2.0 * t.idTruePositives / (t.truths + t.hypotheses);
    return t;
}

}  // namespace

void Counts::Add(const Counts& o)
{
    decoded += o.decoded, pushed += o.pushed, refused += o.refused, retried += o.retried;
    receiveErrors += o.receiveErrors, targetLists += o.targetLists, lifeEvents += o.lifeEvents;
    tracks += o.tracks;
}

void Latencies::Add(Clock::duration d)
{
    const double us = std::chrono::duration<double, std::micro>(d).count();
    const double at = us > kLowest ? std::log(us / kLowest) / std::log(kStep) : 0;
    ++m_counts[std::min<size_t>(kBuckets - 1, static_cast<size_t>(at))];
    ++m_total;
}

void Latencies::Merge(const Latencies& other)
{
    for (size_t i = 0; i < kBuckets; ++i) m_counts[i] += other.m_counts[i];
    m_total += other.m_total;
}

json Latencies::Json() const
{
    if (m_total == 0) return json();
    return {{"p50", QuantileMs(0.5)}, {"p99", QuantileMs(0.99)}, {"reports", m_total}};
}

double Latencies::QuantileMs(double q) const
{
    const auto rank = static_cast<uint64_t>(std::ceil(q * static_cast<double>(m_total)));
    uint64_t seen = 0;
    for (size_t i = 0; i < kBuckets; ++i) {
        seen += m_counts[i];
        if (seen >= std::max<uint64_t>(rank, 1)) return std::round(kLowest * std::pow(kStep, i + 0.5)) / 1000.0;
    }
    return 0;
}

json CountsJson(const Counts& c, double seconds)
{
    return {{"type", "summary"},
            {"frames", c.decoded},
            {"pushed", c.pushed},
            {"refused", c.refused},
            {"retried", c.retried},
            {"lost", c.decoded - c.pushed},
            {"receiveErrors", c.receiveErrors},
            {"targetLists", c.targetLists},
            {"tracks", c.tracks},
            {"lifeEvents", c.lifeEvents},
            {"seconds", seconds},
            {"fps", seconds > 0 ? static_cast<double>(c.decoded) / seconds : 0.0}};
}

json ScoresJson(const Scores::Summary& s)
{
    return {{"mota", s.mota},
            {"idf1", s.idf1},
            {"idSwitches", s.idSwitches},
            {"precision", s.hypotheses == 0 ? 1.0 : static_cast<double>(s.matches) / s.hypotheses},
            {"recall", s.truths == 0 ? 1.0 : static_cast<double>(s.matches) / s.truths}};
}

void RunSummary::Add(json summary, const Counts& counts, const Latencies& latency,
                     const std::optional<Scores::Summary>& scores, double maxLateMs)
{
    m_maxLateMs = std::max(m_maxLateMs, maxLateMs);
    m_summaries.push_back(std::move(summary));
    m_total.Add(counts);
    m_latency.Merge(latency);
    if (scores) m_scores.push_back(*scores);
}

std::string RunSummary::Lines(double seconds, size_t contractViolations)
{
    std::string lines;
    if (m_summaries.size() == 1) {
        m_summaries.front()["contractViolations"] = contractViolations;
        return m_summaries.front().dump() + '\n';
    }
    for (size_t i = 0; i < m_summaries.size(); ++i) {
        m_summaries[i]["stream"] = i;
        lines += m_summaries[i].dump() + '\n';
    }
    json summary = CountsJson(m_total, seconds);
    summary["streams"] = m_summaries.size();
    summary["fpsPerStream"] = seconds > 0 ? static_cast<double>(m_total.decoded) / seconds / m_summaries.size() : 0.0;
    summary["latencyMs"] = m_latency.Json();
    if (m_realtime) summary["maxLateMs"] = m_maxLateMs;
    if (!m_scores.empty()) summary.update(ScoresJson(Pooled(m_scores)));
    summary["contractViolations"] = contractViolations;
    return lines + summary.dump() + '\n';
}

}  // namespace QelTrack
