#include "TargetsReportingHelper.h"

#include <stdexcept>
#include <utility>

namespace Kest8::Framework {

namespace {

constexpr const char* kLifeEvent = "TargetLifeEvent";

int32_t Low31(uint64_t value)
{
    return static_cast<int32_t>(value & 0x7fffffffu);
}

}  // namespace

// What the detector holds: dropping its last copy ends every open track.
struct TargetsReportingHelper::Handle {
    explicit Handle(std::shared_ptr<TargetsReportingHelper> helper) : helper(std::move(helper)) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle()
    {
        try {
            helper->CloseAllTargets();
        } catch (...) {
            // Open tracks then get no final report; their raisers still end
            // the life events when the helper goes.
        }
    }

    std::shared_ptr<TargetsReportingHelper> helper;
};

// ---------------------------------------------------------------------------
// TargetsReport

TargetsReport::TargetsReport(std::shared_ptr<TargetsReportingHelper> helper,
                             Analytics::ITargetEnumeratorAdjuster* adjuster)
    : helper(std::move(helper)), adjuster(adjuster)
{
}

TargetsReport::TargetsReport(TargetsReport&& other) noexcept
    : helper(std::move(other.helper)), adjuster(std::exchange(other.adjuster, nullptr))
{
}

TargetsReport& TargetsReport::operator=(TargetsReport&& other) noexcept
{
    if (this == &other) return *this;
    Close();
    helper = std::move(other.helper);
    adjuster = std::exchange(other.adjuster, nullptr);
    return *this;
}

TargetsReport::~TargetsReport()
{
    Close();
}

void TargetsReport::Close() noexcept
{
    if (adjuster != nullptr && helper != nullptr) {
        try {
            CDetectorEvent event = helper->events.CreateListEvent("TargetList", adjuster->GetTimestamp());
            event.SetMultimediaBuffer("TargetList", adjuster);
            if (adjuster != nullptr) std::exchange(adjuster, nullptr)->Destroy();
            event.Commit();
        } catch (...) {
            // Nothing may escape a destructor; the list is still not leaked.
        }
    }
    if (adjuster != nullptr) std::exchange(adjuster, nullptr)->Destroy();
    helper.reset();
}

Analytics::ITargetAdjuster* TargetsReport::AddTarget(uint32_t trackId, uint32_t objectClass, TrackPhase phase,
                                                     const QelWrapper::RelativeRect* box)
{
    if (helper == nullptr) return nullptr;
    TargetsReportingHelper& owner = *helper;

    Analytics::ITargetAdjuster* target = adjuster != nullptr ? adjuster->AppendTarget() : nullptr;
    if (target != nullptr) {
        const QelWrapper::RelativeRect none{};
        const QelWrapper::RelativeRect& from = box != nullptr ? *box : none;
        const Rect rect{from.x, from.y, from.width, from.height};
        target->SetPhase(phase);
        target->SetBox(&rect);
        if (auto* args = Analytics::TargetEventArgs(target)) {
            args->SetValue("ObjectId", Low31(trackId));
            args->SetValue("ObjectClassEnum", static_cast<int32_t>(objectClass));
            if (owner.targetLifeEvents) {
                auto found = owner.targets.find(trackId);
                if (found != owner.targets.end()) args->SetValue("TargetLifeTime", owner.LifeTime(found->second));
            }
        }
    }

    if (phase == kTrackAppeared)
        owner.TrackAppeared(trackId);
    else if (phase == kTrackEnded)
        owner.TrackEnded(trackId);
    return target;
}

// ---------------------------------------------------------------------------
// TargetsReportingHelper

TargetsReportingHelper::TargetsReportingHelper(Analytics::ITargetEnumeratorFactory* factory,
                                               const CDetectorEventFactory& events, const std::string& name,
                                               bool targetLifeEvents)
    : targetEnumeratorFactory(factory), events(events), name(name), targetLifeEvents(targetLifeEvents)
{
}

std::shared_ptr<TargetsReportingHelper> TargetsReportingHelper::Create(Analytics::ITargetEnumeratorFactory* factory,
                                                                       const CDetectorEventFactory& events,
                                                                       const std::string& name, bool targetLifeEvents)
{
    std::shared_ptr<TargetsReportingHelper> helper(new TargetsReportingHelper(factory, events, name, targetLifeEvents));
    auto handle = std::make_shared<Handle>(helper);
    return std::shared_ptr<TargetsReportingHelper>(handle, helper.get());
}

TargetsReport TargetsReportingHelper::BeginReport(uint64_t timestamp)
{
    Analytics::ITargetEnumeratorAdjuster* adjuster =
        targetEnumeratorFactory != nullptr ? targetEnumeratorFactory->CreateTargetEnumeratorAdjuster(timestamp)
                                           : nullptr;
    if (adjuster == nullptr) throw std::runtime_error("Failed to allocate target enumerator adjuster");
    currentTimestamp = timestamp;
    return TargetsReport(shared_from_this(), adjuster);
}

int32_t TargetsReportingHelper::LifeTime(const TargetEntry& entry) const
{
    return Low31(currentTimestamp - entry.beginTimestamp);
}

void TargetsReportingHelper::TrackAppeared(uint32_t trackId)
{
    TargetEntry& entry = targets[trackId];
    if (!targetLifeEvents) return;
    // A track reported as appearing again ends its earlier life event first.
    EndLifeEvent(trackId, entry);
    entry.raiser = events.CreateLengthyEventRaiser(kLifeEvent);
    entry.hasRaiser = true;
    entry.beginTimestamp = currentTimestamp;

    CDetectorEvent begin = entry.raiser.RaiseBegin(currentTimestamp);
    begin.SetValue("TrackId", Low31(trackId));
    begin.SetValue("ObjectId", Low31(trackId));
    begin.Commit();
}

void TargetsReportingHelper::EndLifeEvent(uint32_t trackId, TargetEntry& entry)
{
    // A begin that was never committed opened nothing to end.
    if (!targetLifeEvents || !entry.hasRaiser || !entry.raiser.IsBegun()) return;
    CDetectorEvent end = entry.raiser.RaiseEnd(currentTimestamp);
    end.SetValue("TrackId", Low31(trackId));
    end.SetValue("ObjectId", Low31(trackId));
    end.SetValue("TargetLifeTime", LifeTime(entry));
    end.Commit();
}

void TargetsReportingHelper::TrackEnded(uint32_t trackId)
{
    auto found = targets.find(trackId);
    if (found == targets.end()) return;
    EndLifeEvent(trackId, found->second);
    // A raiser whose end did not commit ends its event as it goes.
    targets.erase(found);
}

void TargetsReportingHelper::CloseAllTargets()
{
    TargetsReport report = BeginReport(currentTimestamp);
    const QelWrapper::RelativeRect none{};
    while (!targets.empty()) report.AddTarget(targets.begin()->first, 0, kTrackEnded, &none);
}

}  // namespace Kest8::Framework
