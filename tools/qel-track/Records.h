#pragma once
// The JSON Lines records qel-track writes for what the host received: log
// lines, events, metric submissions and refused frames.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "RefHost/HostContext.h"
#include "RefHost/Logger.h"
#include "RefHost/Statistics.h"
#include "RefHost/Values.h"

namespace QelTrack {

using nlohmann::json;

// The accepted values by name, buffers left out.
json ValuesJson(const RefHost::Values& values);
// `stream` is -1 for none.
json LogJson(const RefHost::LogLine& line, int stream);
// An event other than a target list.
json EventJson(const RefHost::EventRecord& event);
json MetricJson(const RefHost::Submission& submission);
json ReceiveJson(uint64_t timestamp, int32_t result, int stream);

// Records with their sequence numbers as lines in the order the host
// received them; sorts `records`.
std::string Lines(std::vector<std::pair<uint64_t, json>>& records);

}  // namespace QelTrack
