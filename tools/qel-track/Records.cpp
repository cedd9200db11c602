#include "Records.h"

#include <algorithm>
#include <type_traits>
#include <variant>

namespace QelTrack {

namespace {

json ValueJson(const RefHost::EventValue& v)
{
    return std::visit(
        [&](const auto& x) -> json {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                return RefHost::KindName(v.kind);
            } else {
                return x;
            }
        },
        v.value);
}

}  // namespace

json ValuesJson(const RefHost::Values& values)
{
    json out = json::object();
    for (const auto& v : values)
        if (v.accepted && v.kind != RefHost::ValueKind::MultimediaBuffer) out[v.name] = ValueJson(v);
    return out;
}

json LogJson(const RefHost::LogLine& line, int stream)
{
    json record{{"type", "log"},     {"level", line.level},       {"file", line.file},
                {"line", line.line}, {"function", line.function}, {"text", line.text}};
    if (stream >= 0) record["stream"] = stream;
    return record;
}

json EventJson(const RefHost::EventRecord& event)
{
    return {{"type", "event"},
            {"name", event.name},
            {"phase", event.phase ? json(*event.phase) : json()},
            {"timestamp", event.timestamp},
            {"committed", event.outcome == RefHost::Outcome::Committed},
            {"values", ValuesJson(event.values)}};
}

json MetricJson(const RefHost::Submission& submission)
{
    json labels = json::object();
    for (const auto& [k, v] : submission.labels) labels[k] = v;
    return {{"type", "metric"},
            {"name", submission.metric},
            {"value", std::visit([](const auto& x) -> json { return x; }, submission.value)},
            {"labels", labels}};
}

json ReceiveJson(uint64_t timestamp, int32_t result, int stream)
{
    json record{{"type", "receive"}, {"timestamp", timestamp}, {"result", result}};
    if (stream >= 0) record["stream"] = stream;
    return record;
}

std::string Lines(std::vector<std::pair<uint64_t, json>>& records)
{
    std::stable_sort(records.begin(), records.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::string text;
    for (const auto& [sequence, record] : records) text += record.dump() + '\n';
    return text;
}

}  // namespace QelTrack
