#pragma once
// Host events of one detector: one-shot and list events, and lengthy events
// raised as a begin and a later end that share one "EventUuid".

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <type_traits>

#include "Kest8/Analytics.h"
#include "Kest8/Events.h"
#include "Kest8/Logger.h"
#include "Kest8/Targets.h"

namespace Kest8::Framework {

class CDetectorEventFactory;
class CLengthyDetectorEventRaiser;

// One host event while its values are filled in. Without a host event it is
// inert: every setter does nothing and Commit answers false.
class CDetectorEvent {
public:
    CDetectorEvent() = default;
    // Writes "DetectorsGroup" at once when the host gave an event.
    CDetectorEvent(Analytics::IDetectorEvent* event, ILogger* logger, const std::string& detectorsGroup,
                   std::function<void()> onCommit = {}, std::function<void()> onCancel = {});
    ~CDetectorEvent();

    CDetectorEvent(CDetectorEvent&& other) noexcept;
    // An event still open in the destination is cancelled first, so that
    // the host gets it back and its cancel callback runs.
    CDetectorEvent& operator=(CDetectorEvent&& other) noexcept;
    CDetectorEvent(const CDetectorEvent&) = delete;
    CDetectorEvent& operator=(const CDetectorEvent&) = delete;

    void SetValue(const char* name, bool value);
    void SetValue(const char* name, int32_t value);
    void SetValue(const char* name, double value);
    void SetValue(const char* name, const char* value);
    void SetRectangleArray(const char* name, IRectangleEnumerator* rectangles);
    void SetMask(const char* name, IMask* mask);
    void SetPolylineArray(const char* name, IPolylineEnumerator* polylines);
    // Clears `buffer` when it is handed to the host, which then owns it
    // whatever it answers; otherwise the caller still owns it.
    void SetMultimediaBuffer(const char* name, IMultimediaBuffer*& buffer);
    template <class Buffer, class = std::enable_if_t<std::is_base_of_v<IMultimediaBuffer, Buffer> &&
                                                     !std::is_same_v<IMultimediaBuffer, Buffer>>>
    void SetMultimediaBuffer(const char* name, Buffer*& buffer)
    {
        IMultimediaBuffer* base = buffer;
        SetMultimediaBuffer(name, base);
        if (base == nullptr) buffer = nullptr;
    }
    void SetValue(uint64_t value);

    // Commits unless a setter failed, in which case the event is cancelled
    // and false is answered.
    bool Commit();
    void Cancel();

    bool IsValid() const noexcept { return event != nullptr && !failed; }
    bool IsFailed() const noexcept { return event == nullptr || failed; }

private:
    friend class CDetectorEventFactory;
    friend class CLengthyDetectorEventRaiser;

    bool HasHostEvent() const noexcept { return event != nullptr; }
    IEventArgsAdjuster* ArgsAdjuster();
    template <class Call, class Message>
    void Set(Call&& call, Message&& message);

    Analytics::IDetectorEvent* event = nullptr;
    IEventArgsAdjuster* argsAdjuster = nullptr;
    bool failed = false;
    ILogger* logger = nullptr;
    std::function<void()> onCommit;
    std::function<void()> onCancel;
};

// Raises one lengthy event: a begin, then an end of the same name and
// "EventUuid". An event that was begun is always ended: a raiser destroyed
// or overwritten while its event is open raises and commits the end itself.
class CLengthyDetectorEventRaiser {
public:
    enum State : int32_t {
        Idle = 0,
        RaisingBegin = 1,
        Begun = 2,
        RaisingEnd = 3,
        Ended = 4,
        Destroyed = 5,
        MovedFrom = 6,
    };

    // Bound to no factory: every event it raises is inert.
    CLengthyDetectorEventRaiser() = default;
    // `factory` must outlive the raiser.
    CLengthyDetectorEventRaiser(const CDetectorEventFactory* factory, const char* eventName, const char* uuid,
                                const std::string& detectorsGroup);
    // Waits while an event raised on another thread is still pending.
    ~CLengthyDetectorEventRaiser();
    CLengthyDetectorEventRaiser(CLengthyDetectorEventRaiser&& other) noexcept;
    CLengthyDetectorEventRaiser& operator=(CLengthyDetectorEventRaiser&& other) noexcept;
    CLengthyDetectorEventRaiser(const CLengthyDetectorEventRaiser&) = delete;
    CLengthyDetectorEventRaiser& operator=(const CLengthyDetectorEventRaiser&) = delete;

    // The returned event must be committed, cancelled or dropped before this
    // raiser is moved or destroyed on the same thread.
    CDetectorEvent RaiseBegin(uint64_t timestamp);
    CDetectorEvent RaiseEnd(uint64_t timestamp);

    int32_t GetState() const noexcept { return state.load(); }
    bool IsBegun() const noexcept { return state.load() == Begun; }
    const std::string& Uuid() const noexcept { return uuid; }

private:
    void setState(int32_t expected, int32_t desired, const char* during);
    // With `during`, an event pending on the calling thread itself, which
    // would never settle, is reported as a broken transition.
    int32_t swapWhenSettled(int32_t desired, const char* during = nullptr);
    CDetectorEvent buildEvent(int32_t phase, uint64_t timestamp, std::function<void()> onCommit,
                              std::function<void()> onCancel) const;
    void commitClosingEnd() const;

    const CDetectorEventFactory* factory = nullptr;
    std::string eventName;
    std::string uuid;
    std::atomic<int32_t> state{Idle};
    std::string detectorsGroup;
    std::atomic<std::thread::id> raisingThread{};  // of the last begin or end raised
};

// The detector's road to host events: stamps each with the detector's group
// and keeps the bookkeeping of open lengthy events. Without a host context
// (or one that does not create events) every event is inert.
class CDetectorEventFactory {
public:
    // Throws std::logic_error "Incorrect detector group" unless every
    // comma-separated part of `detectorsGroup` is a known group.
    CDetectorEventFactory(Analytics::IDetector* detector, IContract* hostContext, ILogger* logger,
                          const std::string& detectorsGroup);

    CDetectorEvent CreateEvent(const char* name, uint64_t timestamp) const;
    CDetectorEvent CreateListEvent(const char* name, uint64_t timestamp) const;
    CDetectorEvent RaiseLengthyEvent(const char* name, bool begin, uint64_t timestamp);
    // The raiser points at this factory, which must outlive it.
    CLengthyDetectorEventRaiser CreateLengthyEventRaiser(const char* name) const;
    // Both take ownership of the list; the result is that of the commit.
    bool RaiseTargetList(Analytics::ITargetEnumerator* enumerator) const;
    bool RaiseHumanBoneTargetList(IMultimediaBuffer* list) const;

    const std::string& DetectorsGroup() const noexcept { return detectorsGroup; }

private:
    friend class CLengthyDetectorEventRaiser;

    struct ActiveLengthyEvent {
        bool committed = false;
        std::string uuid;
    };
    struct UuidGenerator {
        std::string operator()() const;
    };

    Analytics::IDetectorEvent* CreateHostEvent(const char* name, uint64_t timestamp, int32_t phase) const;
    void Warn(int32_t line, const char* function, const char* text) const;

    Analytics::IHostContext* hostContext;
    Analytics::IDetector* detector;
    ILogger* logger;
    UuidGenerator uuidGenerator;
    std::map<std::string, ActiveLengthyEvent> activeEvents;
    std::string detectorsGroup;
};

}  // namespace Kest8::Framework
