#pragma once
// A detector built directly over the reference host, its wrapper found by
// name: the scripted stand-in, or none at all.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Detector.h"
#include "RefHost/Host.h"
#include "RefHost/Rectangles.h"
#include "RefHost/Samples.h"
#include "RefHost/Targets.h"

namespace DetectorTests {

struct ReportedTarget {
    int32_t objectId = 0;
    uint32_t phase = 0;
    Kest8::Rect box{};
    std::optional<int32_t> lifeTime;
};

struct Report {
    uint64_t timestamp = 0;
    std::vector<ReportedTarget> targets;
};

// Every "TargetList" the host received, in order.
inline std::vector<Report> Reports(const RefHost::HostContext& context)
{
    std::vector<Report> reports;
    for (const auto& event : context.Events("TargetList")) {
        Report report;
        report.timestamp = event.timestamp;
        const RefHost::EventValue* list = event.Find("TargetList");
        if (list != nullptr && list->Targets() != nullptr) {
            for (const auto& t : list->Targets()->Targets()) {
                ReportedTarget target;
                target.objectId = t.Int32("ObjectId").value_or(-1);
                target.phase = t.phase.value_or(99);
                target.box = t.box.value_or(Kest8::Rect{});
                target.lifeTime = t.Int32("TargetLifeTime");
                report.targets.push_back(target);
            }
        }
        reports.push_back(report);
    }
    return reports;
}

class ManualClock {
public:
    int64_t Now() const { return m_ns.load(); }
    void AdvanceSeconds(double s) { m_ns += static_cast<int64_t>(s * 1e9); }
    void AdvanceNanoseconds(int64_t ns) { m_ns += ns; }

private:
    std::atomic<int64_t> m_ns{1'000'000'000};
};

class DetectorHarness {
public:
    explicit DetectorHarness(int32_t logLevel = 0) : host(logLevel)
    {
        detector = new QelObjectTracker::Detector("/module/dir", &host.logger, &host.targets, &host.blobs,
                                                  &host.context, [this] { return clock.Now(); });
    }
    ~DetectorHarness() { Destroy(); }

    void Destroy()
    {
        if (detector) detector->Destroy();
        detector = nullptr;
    }

    // A frame of that size and time stamp, released by the detector.
    Kest8::ResultCode Frame(uint64_t timestamp, uint32_t width = 320, uint32_t height = 240, bool nv12 = false)
    {
        RefHost::SampleShape shape;
        shape.width = width;
        shape.height = height;
        shape.timestamp = timestamp;
        shape.nv12 = nv12;
        RefHost::FrameSample sample(shape);
        const Kest8::ResultCode result = detector->Receive(sample.Sample());
        EXPECT_EQ(sample.Releases(), 1) << "every sample released once";
        return result;
    }

    RefHost::Host host;
    ManualClock clock;
    QelObjectTracker::Detector* detector = nullptr;
};

using Rectangles = RefHost::RectangleList;

}  // namespace DetectorTests
