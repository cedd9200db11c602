#pragma once
// A reference host with one detector's event factory, and readers for what
// the host received.

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "EventRaising.h"
#include "RefHost/Host.h"

namespace EventTests {

// Passed to the host with every event; never called.
class FakeDetector final : public Kest8::Analytics::IDetector {
public:
    const Kest8::IContract* QueryContract(const char*) const override { return nullptr; }
    Kest8::IContract* QueryContract(const char*) override { return nullptr; }
    void Destroy() override {}
};

inline bool IsUuid(const std::string& text)
{
    static const std::regex canonical("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$");
    return std::regex_match(text, canonical);
}

inline uint64_t WallClockMs()
{
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

inline std::vector<std::string> Names(const std::vector<RefHost::EventRecord>& events)
{
    std::vector<std::string> names;
    for (const auto& event : events) names.push_back(event.name);
    return names;
}

class EventTest : public ::testing::Test {
protected:
    RefHost::Host host{0};
    FakeDetector detector;
    Kest8::Framework::CDetectorEventFactory factory{&detector, &host.context, &host.logger, "Tracker"};

    void TearDown() override { EXPECT_TRUE(host.context.Violations().empty()); }
};

}  // namespace EventTests
