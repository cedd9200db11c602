#pragma once
// Per-frame target reports for the host, and the optional life events of
// each track ("TargetLifeEvent", begun when a track appears and ended when it
// ends or when the helper goes).

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "EventRaising.h"
#include "Kest8/Targets.h"
#include "QelWrapper/IObjectObserver.h"

namespace Kest8::Framework {

// Phase of a reported track.
enum TrackPhase : uint32_t {
    kTrackContinuing = 0,
    kTrackAppeared = 1,
    kTrackEnded = 2,
};

class TargetsReportingHelper;

// One frame's report. Closing it (its destruction) hands the target list to
// the host in a "TargetList" event.
class TargetsReport {
public:
    TargetsReport(TargetsReport&& other) noexcept;
    TargetsReport& operator=(TargetsReport&& other) noexcept;
    TargetsReport(const TargetsReport&) = delete;
    TargetsReport& operator=(const TargetsReport&) = delete;
    ~TargetsReport();

    // The host target, or null when the host could not append one; the
    // phase counts for the track's bookkeeping either way.
    Analytics::ITargetAdjuster* AddTarget(uint32_t trackId, uint32_t objectClass, TrackPhase phase,
                                          const QelWrapper::RelativeRect* box);

private:
    friend class TargetsReportingHelper;
    TargetsReport(std::shared_ptr<TargetsReportingHelper> helper, Analytics::ITargetEnumeratorAdjuster* adjuster);
    void Close() noexcept;

    std::shared_ptr<TargetsReportingHelper> helper;
    Analytics::ITargetEnumeratorAdjuster* adjuster = nullptr;
};

class TargetsReportingHelper : public std::enable_shared_from_this<TargetsReportingHelper> {
public:
    // The returned pointer shares ownership of a handle: when its last copy
    // goes, every track still open is reported as ended.
    static std::shared_ptr<TargetsReportingHelper> Create(Analytics::ITargetEnumeratorFactory* factory,
                                                          const CDetectorEventFactory& events, const std::string& name,
                                                          bool targetLifeEvents);

    TargetsReportingHelper(const TargetsReportingHelper&) = delete;
    TargetsReportingHelper& operator=(const TargetsReportingHelper&) = delete;
    ~TargetsReportingHelper() = default;

    // Throws std::runtime_error "Failed to allocate target enumerator
    // adjuster" when the host gives no adjuster.
    TargetsReport BeginReport(uint64_t timestamp);

    const std::string& Name() const noexcept { return name; }
    bool TargetLifeEvents() const noexcept { return targetLifeEvents; }

private:
    friend class TargetsReport;
    struct Handle;

    struct TargetEntry {
        bool hasRaiser = false;
        CLengthyDetectorEventRaiser raiser;
        uint64_t beginTimestamp = 0;
    };

    TargetsReportingHelper(Analytics::ITargetEnumeratorFactory* factory, const CDetectorEventFactory& events,
                           const std::string& name, bool targetLifeEvents);

    void CloseAllTargets();
    void TrackAppeared(uint32_t trackId);
    void TrackEnded(uint32_t trackId);
    void EndLifeEvent(uint32_t trackId, TargetEntry& entry);
    int32_t LifeTime(const TargetEntry& entry) const;

    Analytics::ITargetEnumeratorFactory* targetEnumeratorFactory;
    CDetectorEventFactory events;
    std::string name;
    bool targetLifeEvents;
    std::map<uint32_t, TargetEntry> targets;
    uint64_t currentTimestamp = 0;
};

}  // namespace Kest8::Framework
