#pragma once
// A statistics sink that records every metric, value and submit.

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "Kest8/Statistics.h"
#include "RefHost/Contract.h"

namespace RefHost {

using MetricValue = std::variant<double, int32_t, uint32_t, int64_t, uint64_t, std::string>;

class StatisticsSink;

class Metric final : public Kest8::Statistics::IMetric {
public:
    Metric(StatisticsSink& sink, std::string name, int64_t parameter)
        : m_sink(sink), m_name(std::move(name)), m_parameter(parameter)
    {
    }

    REFHOST_CONTRACTS(Kest8::Statistics::IMetric)

    void Destroy() override;
    void SetDouble(double value) override { Set(value); }
    void SetInt32(int32_t value) override { Set(value); }
    void SetUInt32(uint32_t value) override { Set(value); }
    void SetInt64(int64_t value) override { Set(value); }
    void SetUInt64(uint64_t value) override { Set(value); }
    void SetString(const char* value) override { Set(std::string(value ? value : "")); }
    void AddLabel(const char* key, const char* value) override;

    const std::string& Name() const { return m_name; }
    int64_t Parameter() const { return m_parameter; }
    std::vector<std::pair<std::string, std::string>> Labels() const;
    std::vector<MetricValue> Values() const;

private:
    void Set(MetricValue value);

    friend class StatisticsSink;
    StatisticsSink& m_sink;
    const std::string m_name;
    const int64_t m_parameter;
    std::vector<std::pair<std::string, std::string>> m_labels;
    std::vector<MetricValue> m_values;
};

struct Submission {
    std::string metric;
    MetricValue value;  // the metric's last value at submit time
    int32_t mode = 0;
    uint64_t sequence = 0;  // among everything the host received
    std::vector<std::pair<std::string, std::string>> labels;
};

class StatisticsSink final : public Kest8::Statistics::ISink {
public:
    REFHOST_CONTRACTS(Kest8::Statistics::ISink)

    Kest8::Statistics::IMetric* CreateMetric(const char* name, int64_t parameter) override;
    void Submit(Kest8::Statistics::IMetric* metric, int32_t mode) override;

    // Metrics in creation order, destroyed ones included.
    std::vector<const Metric*> Metrics() const;
    const Metric* Find(const std::string& name) const;
    std::vector<Submission> Submissions() const;
    // Submissions from the index-th on.
    std::vector<Submission> SubmissionsFrom(size_t index) const;
    // The submissions so far, and forgets them.
    std::vector<Submission> TakeSubmissions();
    int LiveMetrics() const;
    // Names of the metrics in the order they were destroyed.
    std::vector<std::string> DestroyedMetrics() const;

private:
    friend class Metric;
    mutable std::mutex m_mutex;
    std::vector<std::unique_ptr<Metric>> m_metrics;
    std::vector<bool> m_destroyed;
    std::vector<Submission> m_submissions;
    std::vector<std::string> m_destroyOrder;
};

}  // namespace RefHost
