#include "EventRaising.h"

#include <uuid/uuid.h>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/format.hpp>
#include <cstdlib>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "Log.h"

namespace Kest8::Framework {

namespace {

constexpr int32_t kWarning = 2;
constexpr int32_t kError = 3;
constexpr int32_t kPhaseBegin = Analytics::EventPhase::Begin;
constexpr int32_t kPhaseEnd = Analytics::EventPhase::End;
constexpr int32_t kPhaseOneShot = Analytics::EventPhase::OneShot;

const std::vector<std::string>& DetectorGroups()
{
    static const std::vector<std::string> groups{
        "MotionDetector",
        "Tracker",
        "FaceDetector",
        "SituationDetector",
        "LprDetector",
        "VehicleDetector",
        "AudioDetector",
        "FireDetector",
        "VideoQualityDetector",
        "Counter",
        "SceneChangeDetector",
        "TemperatureDetector",
        "GeoPosition",
        "Mask",
        "AIDetector",
        "Segmentation",
        "FeatureExtractor",
        "PoseEstimation",
        "System",
        "FaceEvasionDetector",
        "NoDetector",
        "PrivacyDetector",
        "StoppedObjectDetector",
    };
    return groups;
}

bool IsKnownGroup(const std::string& name)
{
    for (const auto& group : DetectorGroups())
        if (group == name) return true;
    return false;
}

// boost.format must not see a null C string.
const char* Text(const char* text)
{
    return text != nullptr ? text : "";
}

// Milliseconds since 1970-01-01 00:00:00 UTC on the wall clock.
uint64_t WallClockMs()
{
    static const boost::posix_time::ptime epoch(boost::gregorian::date(1970, 1, 1));
    return static_cast<uint64_t>((boost::posix_time::microsec_clock::universal_time() - epoch).total_milliseconds());
}

}  // namespace

// Lines logged through the full operation carry this file as their source.
#define EVENT_RAISING_LOG(logger, level, text)                                                 \
    do {                                                                                       \
        if (::KestFramework::IsLogged((logger), (level)))                                      \
            ::KestFramework::LogLine((logger), (level), __FILE__, __LINE__, __func__, (text)); \
    } while (false)

// ---------------------------------------------------------------------------
// CDetectorEvent

CDetectorEvent::CDetectorEvent(Analytics::IDetectorEvent* event, ILogger* logger, const std::string& detectorsGroup,
                               std::function<void()> onCommit, std::function<void()> onCancel)
    : event(event), logger(logger), onCommit(std::move(onCommit)), onCancel(std::move(onCancel))
{
    if (event != nullptr) SetValue("DetectorsGroup", detectorsGroup.c_str());
}

CDetectorEvent::~CDetectorEvent()
{
    Cancel();
}

CDetectorEvent::CDetectorEvent(CDetectorEvent&& other) noexcept
    : event(std::exchange(other.event, nullptr)),
      argsAdjuster(std::exchange(other.argsAdjuster, nullptr)),
      failed(other.failed),
      logger(other.logger),
      onCommit(std::move(other.onCommit)),
      onCancel(std::move(other.onCancel))
{
}

CDetectorEvent& CDetectorEvent::operator=(CDetectorEvent&& other) noexcept
{
    if (this == &other) return *this;
    // Dropping an open event would leak it on the host and leave whoever
    // waits for its outcome (a raiser) waiting for ever.
    Cancel();
    event = std::exchange(other.event, nullptr);
    argsAdjuster = std::exchange(other.argsAdjuster, nullptr);
    failed = other.failed;
    logger = other.logger;
    onCommit = std::move(other.onCommit);
    onCancel = std::move(other.onCancel);
    return *this;
}

IEventArgsAdjuster* CDetectorEvent::ArgsAdjuster()
{
    if (argsAdjuster == nullptr) {
        argsAdjuster = event->GetEventArgsAdjuster();
        if (argsAdjuster == nullptr && KestFramework::IsLogged(logger, kWarning))
            logger->Log(kWarning, "CDetectorEvent: Cannot get event args adjuster");
    }
    return argsAdjuster;
}

template <class Call, class Message>
void CDetectorEvent::Set(Call&& call, Message&& message)
{
    if (event == nullptr || failed) return;
    IEventArgsAdjuster* args = ArgsAdjuster();
    if (args == nullptr) return;
    if (call(args) == 0) return;
    failed = true;
    if (KestFramework::IsLogged(logger, kWarning)) logger->Log(kWarning, message().c_str());
}

void CDetectorEvent::SetValue(const char* name, bool value)
{
    Set([&](IEventArgsAdjuster* args) { return args->SetValue(name, value); },
        [&] {
            return (boost::format("CDetectorEvent: Cannot set value %1%=%2%") % Text(name) % (value ? 1 : 0)).str();
        });
}

void CDetectorEvent::SetValue(const char* name, int32_t value)
{
    Set([&](IEventArgsAdjuster* args) { return args->SetValue(name, value); },
        [&] { return (boost::format("CDetectorEvent: Cannot set value %1%=%2%") % Text(name) % value).str(); });
}

void CDetectorEvent::SetValue(const char* name, double value)
{
    Set([&](IEventArgsAdjuster* args) { return args->SetValue(name, value); },
        [&] { return (boost::format("CDetectorEvent: Cannot set value %1%=%2%") % Text(name) % value).str(); });
}

void CDetectorEvent::SetValue(const char* name, const char* value)
{
    Set([&](IEventArgsAdjuster* args) { return args->SetValue(name, value); },
        [&] { return (boost::format("CDetectorEvent: Cannot set value %1%=%2%") % Text(name) % Text(value)).str(); });
}

void CDetectorEvent::SetRectangleArray(const char* name, IRectangleEnumerator* rectangles)
{
    Set([&](IEventArgsAdjuster* args) { return args->SetRectangleArray(name, rectangles); },
        [&] { return (boost::format("CDetectorEvent: Cannot set rectangle array '%1%'") % Text(name)).str(); });
}

void CDetectorEvent::SetMask(const char* name, IMask* mask)
{
    Set([&](IEventArgsAdjuster* args) { return args->SetMask(name, mask); },
        [&] { return (boost::format("CDetectorEvent: Cannot set mask '%1%'") % Text(name)).str(); });
}

void CDetectorEvent::SetPolylineArray(const char* name, IPolylineEnumerator* polylines)
{
    Set([&](IEventArgsAdjuster* args) { return args->SetPolylineArray(name, polylines); },
        [&] { return (boost::format("CDetectorEvent: Cannot set polyline array '%1%'") % Text(name)).str(); });
}

void CDetectorEvent::SetMultimediaBuffer(const char* name, IMultimediaBuffer*& buffer)
{
    Set(
        [&](IEventArgsAdjuster* args) {
            // The host owns the buffer from the call on, whatever it answers.
            IMultimediaBuffer* handed = std::exchange(buffer, nullptr);
            return args->SetMultimediaBuffer(name, handed);
        },
        [&] { return (boost::format("CDetectorEvent: Cannot set multimedia buffer '%1%'") % Text(name)).str(); });
}

void CDetectorEvent::SetValue(uint64_t value)
{
    Set([&](IEventArgsAdjuster* args) { return args->SetValue(value); },
        [&] { return (boost::format("CDetectorEvent: Cannot set value %1%") % value).str(); });
}

bool CDetectorEvent::Commit()
{
    if (event == nullptr) return false;
    if (failed) {
        Cancel();
        return false;
    }
    event->Commit();
    event = nullptr;
    argsAdjuster = nullptr;
    if (onCommit) onCommit();
    return true;
}

void CDetectorEvent::Cancel()
{
    if (event == nullptr) return;
    event->Cancel();
    event = nullptr;
    argsAdjuster = nullptr;
    if (onCancel) onCancel();
}

// ---------------------------------------------------------------------------
// CDetectorEventFactory

std::string CDetectorEventFactory::UuidGenerator::operator()() const
{
    uuid_t id;
    uuid_generate_random(id);
    char text[37];
    uuid_unparse_lower(id, text);
    return std::string(text);
}

CDetectorEventFactory::CDetectorEventFactory(Analytics::IDetector* detector, IContract* hostContext, ILogger* logger,
                                             const std::string& detectorsGroup)
    : hostContext(Analytics::HostContextOf(hostContext)),
      detector(detector),
      logger(logger),
      detectorsGroup(detectorsGroup)
{
    std::vector<std::string> parts;
    boost::algorithm::split(parts, detectorsGroup, boost::is_any_of(","));
    for (const auto& part : parts)
        if (!IsKnownGroup(part)) throw std::logic_error("Incorrect detector group");
}

void CDetectorEventFactory::Warn(int32_t line, const char* function, const char* text) const
{
    if (KestFramework::IsLogged(logger, kWarning))
        KestFramework::LogLine(logger, kWarning, __FILE__, line, function, text);
}

Analytics::IDetectorEvent* CDetectorEventFactory::CreateHostEvent(const char* name, uint64_t timestamp,
                                                                  int32_t phase) const
{
    return hostContext != nullptr ? hostContext->CreateDetectorEvent(detector, name, timestamp, phase) : nullptr;
}

CDetectorEvent CDetectorEventFactory::CreateEvent(const char* name, uint64_t timestamp) const
{
    return CDetectorEvent(CreateHostEvent(name, timestamp, kPhaseOneShot), logger, detectorsGroup);
}

CDetectorEvent CDetectorEventFactory::CreateListEvent(const char* name, uint64_t timestamp) const
{
    Analytics::IDetectorEvent* event =
        hostContext != nullptr ? hostContext->CreateEvent(detector, name, timestamp) : nullptr;
    return CDetectorEvent(event, logger, detectorsGroup);
}

CDetectorEvent CDetectorEventFactory::RaiseLengthyEvent(const char* name, bool begin, uint64_t timestamp)
{
    const std::string key(Text(name));
    auto found = activeEvents.find(key);
    if (begin && found != activeEvents.end()) {
        Warn(__LINE__, __func__, "CDetectorEventFactory: there is already active event");
        return CDetectorEvent();
    }
    if (!begin && found == activeEvents.end()) {
        Warn(__LINE__, __func__, "CDetectorEventFactory: there is no active event");
        return CDetectorEvent();
    }

    std::string uuid;
    bool wasCommitted = false;
    std::function<void()> onCommit;
    std::function<void()> onCancel;
    if (begin) {
        uuid = uuidGenerator();
        found = activeEvents.emplace(key, ActiveLengthyEvent{false, uuid}).first;
        onCommit = [this, key] {
            auto entry = activeEvents.find(key);
            if (entry == activeEvents.end()) {
                Warn(__LINE__, __func__,
                     "CDetectorEventFactory: there is no active event after successful begin commit");
                return;
            }
            if (entry->second.committed)
                Warn(__LINE__, __func__, "CDetectorEventFactory: active event begin has been commited twice");
            entry->second.committed = true;
        };
        onCancel = [this, key] {
            auto entry = activeEvents.find(key);
            if (entry == activeEvents.end()) {
                Warn(__LINE__, __func__, "CDetectorEventFactory: there is no active event after begin cancel");
                return;
            }
            if (entry->second.committed)
                Warn(__LINE__, __func__, "CDetectorEventFactory: canceled begin of already commited event");
            activeEvents.erase(entry);
        };
    } else {
        wasCommitted = found->second.committed;
        found->second.committed = false;
        uuid = found->second.uuid;
        onCommit = [this, key] {
            auto entry = activeEvents.find(key);
            if (entry == activeEvents.end()) {
                Warn(__LINE__, __func__, "CDetectorEventFactory: there is no active event after end commit");
                return;
            }
            if (entry->second.committed)
                Warn(__LINE__, __func__, "CDetectorEventFactory: active event end has been commited twice");
            activeEvents.erase(entry);
        };
        onCancel = [this, key] {
            auto entry = activeEvents.find(key);
            if (entry == activeEvents.end()) {
                Warn(__LINE__, __func__, "CDetectorEventFactory: there is no active event after end cancel");
                return;
            }
            if (entry->second.committed)
                Warn(__LINE__, __func__, "CDetectorEventFactory: canceled end of already commited event");
            entry->second.committed = true;
        };
    }

    CDetectorEvent event(CreateHostEvent(name, timestamp, begin ? kPhaseBegin : kPhaseEnd), logger, detectorsGroup,
                         std::move(onCommit), std::move(onCancel));
    if (!event.HasHostEvent()) {
        // No callback will ever run for a missing event: undo the request as
        // its cancel would, so later begins and ends of the name still work.
        if (begin)
            activeEvents.erase(found);
        else
            found->second.committed = wasCommitted;
        return event;
    }
    if (!event.IsFailed()) event.SetValue("EventUuid", uuid.c_str());
    return event;
}

CLengthyDetectorEventRaiser CDetectorEventFactory::CreateLengthyEventRaiser(const char* name) const
{
    const std::string uuid = uuidGenerator();
    return CLengthyDetectorEventRaiser(this, name, uuid.c_str(), detectorsGroup);
}

bool CDetectorEventFactory::RaiseTargetList(Analytics::ITargetEnumerator* enumerator) const
{
    if (enumerator == nullptr) return false;
    enumerator->Reset();
    while (enumerator->MoveNext()) {
        auto* target = QueryContractAs<Analytics::ITargetAdjuster>(enumerator->Current());
        if (target == nullptr) break;
        Analytics::TargetEventArgs(target)->SetValue("ObjectId",
                                                     static_cast<int32_t>(target->GetTargetId() & 0x7fffffffu));
    }

    CDetectorEvent event = CreateListEvent("TargetList", enumerator->GetTimestamp());
    event.SetMultimediaBuffer("TargetList", enumerator);
    if (enumerator != nullptr) enumerator->Destroy();
    return event.Commit();
}

bool CDetectorEventFactory::RaiseHumanBoneTargetList(IMultimediaBuffer* list) const
{
    if (list == nullptr) return false;
    CDetectorEvent event = CreateListEvent("HumanBoneTargetList", list->GetTimestamp());
    event.SetMultimediaBuffer("HumanBoneTargetList", list);
    if (list != nullptr) list->Destroy();
    return event.Commit();
}

// ---------------------------------------------------------------------------
// CLengthyDetectorEventRaiser

CLengthyDetectorEventRaiser::CLengthyDetectorEventRaiser(const CDetectorEventFactory* factory, const char* eventName,
                                                         const char* uuid, const std::string& detectorsGroup)
    : factory(factory), eventName(Text(eventName)), uuid(Text(uuid)), detectorsGroup(detectorsGroup)
{
}

CLengthyDetectorEventRaiser::~CLengthyDetectorEventRaiser()
{
    const int32_t previous = swapWhenSettled(Destroyed);
    switch (previous) {
    case Idle:
    case Ended:
    case MovedFrom: return;
    case Begun: commitClosingEnd(); return;
    default: break;
    }
    ILogger* logger = factory != nullptr ? factory->logger : nullptr;
    EVENT_RAISING_LOG(logger, kError,
                      "CLengthyDetectorEventRaiser: Unexpected state during destruction: " + std::to_string(previous));
    std::abort();
}

CLengthyDetectorEventRaiser::CLengthyDetectorEventRaiser(CLengthyDetectorEventRaiser&& other) noexcept
{
    // Settle the source first: a pending event on another thread still reads
    // the fields taken over below.
    state.store(other.swapWhenSettled(MovedFrom));
    factory = other.factory;
    eventName = std::move(other.eventName);
    uuid = std::move(other.uuid);
    detectorsGroup = std::move(other.detectorsGroup);
}

CLengthyDetectorEventRaiser& CLengthyDetectorEventRaiser::operator=(CLengthyDetectorEventRaiser&& other) noexcept
{
    if (this == &other) return *this;
    // The event this raiser holds open gets its end before it is replaced.
    if (swapWhenSettled(MovedFrom, "move assignment") == Begun) commitClosingEnd();
    const int32_t taken = other.swapWhenSettled(MovedFrom, "move assignment");
    factory = other.factory;
    eventName = std::move(other.eventName);
    uuid = std::move(other.uuid);
    detectorsGroup = std::move(other.detectorsGroup);
    state.store(taken);
    return *this;
}

void CLengthyDetectorEventRaiser::setState(int32_t expected, int32_t desired, const char* during)
{
    int32_t found = expected;
    if (state.compare_exchange_strong(found, desired)) return;
    ILogger* logger = factory != nullptr ? factory->logger : nullptr;
    EVENT_RAISING_LOG(
        logger, kError,
        (boost::format("CLengthyDetectorEventRaiser: Unexpected state transition from %1% to %2% during %3%") % found %
         desired % Text(during))
            .str());
    std::abort();
}

int32_t CLengthyDetectorEventRaiser::swapWhenSettled(int32_t desired, const char* during)
{
    for (;;) {
        int32_t current = state.load();
        if (current == RaisingBegin || current == RaisingEnd) {
            if (during != nullptr && raisingThread.load() == std::this_thread::get_id()) {
                ILogger* logger = factory != nullptr ? factory->logger : nullptr;
                EVENT_RAISING_LOG(
                    logger, kError,
                    (boost::format(
                         "CLengthyDetectorEventRaiser: Unexpected state transition from %1% to %2% during %3%") %
                     current % desired % during)
                        .str());
                std::abort();
            }
            std::this_thread::yield();
            continue;
        }
        if (state.compare_exchange_strong(current, desired)) return current;
    }
}

CDetectorEvent CLengthyDetectorEventRaiser::buildEvent(int32_t phase, uint64_t timestamp,
                                                       std::function<void()> onCommit,
                                                       std::function<void()> onCancel) const
{
    if (factory == nullptr) return CDetectorEvent();
    CDetectorEvent event(factory->CreateHostEvent(eventName.c_str(), timestamp, phase), factory->logger, detectorsGroup,
                         std::move(onCommit), std::move(onCancel));
    if (!uuid.empty() && !event.IsFailed()) event.SetValue("EventUuid", uuid.c_str());
    return event;
}

CDetectorEvent CLengthyDetectorEventRaiser::RaiseBegin(uint64_t timestamp)
{
    // Noted before the state says pending, so a waiter never reads an older one.
    raisingThread.store(std::this_thread::get_id());
    setState(Idle, RaisingBegin, "raising 'begin'");
    CDetectorEvent event = buildEvent(
        kPhaseBegin, timestamp, [this] { setState(RaisingBegin, Begun, "'begin' commit"); },
        [this] { setState(RaisingBegin, Idle, "'begin' cancel"); });
    // No callback runs for a missing event; treat it as cancelled. This is
    // the last touch of the raiser here, so a waiting destruction may go on.
    if (!event.HasHostEvent()) setState(RaisingBegin, Idle, "'begin' cancel");
    return event;
}

CDetectorEvent CLengthyDetectorEventRaiser::RaiseEnd(uint64_t timestamp)
{
    raisingThread.store(std::this_thread::get_id());
    setState(Begun, RaisingEnd, "raising 'end'");
    CDetectorEvent event = buildEvent(
        kPhaseEnd, timestamp, [this] { setState(RaisingEnd, Ended, "'end' commit"); },
        [this] { setState(RaisingEnd, Begun, "'end' cancel"); });
    if (!event.HasHostEvent()) setState(RaisingEnd, Begun, "'end' cancel");
    return event;
}

void CLengthyDetectorEventRaiser::commitClosingEnd() const
{
    buildEvent(kPhaseEnd, WallClockMs(), {}, {}).Commit();
}

}  // namespace Kest8::Framework
