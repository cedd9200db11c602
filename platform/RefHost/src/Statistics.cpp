#include "RefHost/Statistics.h"

#include "RefHost/Sequence.h"

namespace RefHost {

void Metric::Destroy()
{
    std::lock_guard<std::mutex> lock(m_sink.m_mutex);
    for (size_t i = 0; i < m_sink.m_metrics.size(); ++i)
        if (m_sink.m_metrics[i].get() == this) m_sink.m_destroyed[i] = true;
    m_sink.m_destroyOrder.push_back(m_name);
}

void Metric::AddLabel(const char* key, const char* value)
{
    std::lock_guard<std::mutex> lock(m_sink.m_mutex);
    m_labels.emplace_back(key ? key : "", value ? value : "");
}

void Metric::Set(MetricValue value)
{
    std::lock_guard<std::mutex> lock(m_sink.m_mutex);
    m_values.push_back(std::move(value));
}

std::vector<std::pair<std::string, std::string>> Metric::Labels() const
{
    std::lock_guard<std::mutex> lock(m_sink.m_mutex);
    return m_labels;
}

std::vector<MetricValue> Metric::Values() const
{
    std::lock_guard<std::mutex> lock(m_sink.m_mutex);
    return m_values;
}

Kest8::Statistics::IMetric* StatisticsSink::CreateMetric(const char* name, int64_t parameter)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_metrics.push_back(std::make_unique<Metric>(*this, name ? name : "", parameter));
    m_destroyed.push_back(false);
    return m_metrics.back().get();
}

void StatisticsSink::Submit(Kest8::Statistics::IMetric* metric, int32_t mode)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& m : m_metrics) {
        if (m.get() != metric) continue;
        Submission s;
        s.metric = m->Name();
        if (!m->m_values.empty()) s.value = m->m_values.back();
        s.mode = mode;
        s.sequence = NextSequence();
        s.labels = m->m_labels;
        m_submissions.push_back(std::move(s));
    }
}

std::vector<const Metric*> StatisticsSink::Metrics() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<const Metric*> out;
    for (const auto& m : m_metrics) out.push_back(m.get());
    return out;
}

const Metric* StatisticsSink::Find(const std::string& name) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& m : m_metrics)
        if (m->Name() == name) return m.get();
    return nullptr;
}

std::vector<Submission> StatisticsSink::SubmissionsFrom(size_t index) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (index >= m_submissions.size()) return {};
    return std::vector<Submission>(m_submissions.begin() + static_cast<std::ptrdiff_t>(index), m_submissions.end());
}

std::vector<Submission> StatisticsSink::TakeSubmissions()
{
    std::vector<Submission> taken;
    std::lock_guard<std::mutex> lock(m_mutex);
    taken.swap(m_submissions);
    return taken;
}

std::vector<Submission> StatisticsSink::Submissions() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_submissions;
}

int StatisticsSink::LiveMetrics() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    int live = 0;
    for (bool destroyed : m_destroyed) live += destroyed ? 0 : 1;
    return live;
}

std::vector<std::string> StatisticsSink::DestroyedMetrics() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_destroyOrder;
}

}  // namespace RefHost
