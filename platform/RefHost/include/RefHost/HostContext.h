#pragma once
// The context a detector is created with: it offers the statistics sink and
// creates host events, keeping one ordered record of every event the
// detector commits or cancels. Safe for concurrent use.

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Kest8/Analytics.h"
#include "Kest8/Events.h"
#include "Kest8/Statistics.h"
#include "RefHost/Contract.h"
#include "RefHost/Values.h"

namespace RefHost {

enum class Outcome { Open, Committed, Cancelled };

struct EventRecord {
    uint64_t id = 0;  // creation order, from 1
    const Kest8::Analytics::IDetector* detector = nullptr;
    std::string name;
    std::optional<int32_t> phase;  // none for events created without a phase
    uint64_t timestamp = 0;
    uint64_t sequence = 0;  // when it ended, among everything the host received
    Outcome outcome = Outcome::Open;
    Values values;

    const EventValue* Find(const std::string& valueName) const { return FindValue(values, valueName); }
    std::optional<int32_t> Int32(const std::string& valueName) const { return Int32Value(values, valueName); }
    std::optional<std::string> String(const std::string& valueName) const { return StringValue(values, valueName); }
    // Value names in the order they were set, refused ones included.
    std::vector<std::string> Names() const;
};

struct EventState;

// One host event; the host context owns it for as long as its record lives.
class HostEvent final : public Kest8::Analytics::IDetectorEvent, public ArgsRecorder {
public:
    HostEvent(std::shared_ptr<EventState> state, uint64_t id, Kest8::Analytics::IDetector* detector, const char* name,
              std::optional<int32_t> phase, uint64_t timestamp);

    REFHOST_CONTRACTS(Kest8::Analytics::IDetectorEvent)

    uint64_t GetTimestamp() const override { return m_timestamp; }
    void Commit() override { End(Outcome::Committed); }
    void Cancel() override { End(Outcome::Cancelled); }
    Kest8::IEventArgsAdjuster* GetEventArgsAdjuster() override;

    EventRecord Record() const;  // under the state's lock

protected:
    bool IsClosedLocked() const override { return m_outcome != Outcome::Open; }

private:
    friend class HostContext;
    void End(Outcome outcome);

    std::shared_ptr<EventState> m_eventState;
    const uint64_t m_id;
    Kest8::Analytics::IDetector* const m_detector;
    const std::string m_name;
    const std::optional<int32_t> m_phase;
    const uint64_t m_timestamp;
    Outcome m_outcome = Outcome::Open;
    uint64_t m_sequence = 0;
};

class HostContext : public Kest8::Analytics::IHostContext {
public:
    explicit HostContext(Kest8::Statistics::ISink* sink = nullptr);
    ~HostContext() override;
    HostContext(const HostContext&) = delete;
    HostContext& operator=(const HostContext&) = delete;

    const Kest8::IContract* QueryContract(const char* typeName) const override
    {
        return const_cast<HostContext*>(this)->QueryContract(typeName);
    }
    Kest8::IContract* QueryContract(const char* typeName) override;

    Kest8::Analytics::IDetectorEvent* CreateDetectorEvent(Kest8::Analytics::IDetector* detector, const char* name,
                                                          uint64_t timestamp, int32_t phase) override;
    Kest8::Analytics::IDetectorEvent* CreateEvent(Kest8::Analytics::IDetector* detector, const char* name,
                                                  uint64_t timestamp) override;

    void WithholdSink(bool withheld = true) { m_withholdSink.store(withheld); }

    // Misbehaviour for tests.
    void ReturnNoEvent(bool refused = true) { m_noEvent.store(refused); }
    void WithholdArgsAdjuster(bool withheld = true);
    // Setters of that name answer an error ("" for the nameless 64-bit value).
    void RefuseValue(const std::string& name, bool refused = true);

    // Committed and cancelled events, in the order they ended.
    std::vector<EventRecord> Events() const;
    // Ended events of that name, in the order they ended.
    std::vector<EventRecord> Events(const std::string& name) const;
    // Every event made, open ones included, in creation order.
    std::vector<EventRecord> AllEvents() const;
    size_t OpenEvents() const;
    // Creation requests, including those answered with no event.
    size_t Requests() const;
    // Misuse seen: ending an event twice, setting values on an ended one.
    std::vector<std::string> Violations() const;
    // Drops the records of ended events (their buffers are destroyed).
    void Clear();
    // The ended events, in the order they ended, and forgets them (their
    // buffers are destroyed); misuse seen stays recorded.
    std::vector<EventRecord> TakeEvents();

private:
    static void DropEndedLocked(EventState& state, std::vector<std::unique_ptr<HostEvent>>& dropped);
    Kest8::Analytics::IDetectorEvent* Create(Kest8::Analytics::IDetector* detector, const char* name,
                                             std::optional<int32_t> phase, uint64_t timestamp);

    Kest8::Statistics::ISink* m_sink;
    std::shared_ptr<EventState> m_state;
    std::atomic<bool> m_withholdSink{false};
    std::atomic<bool> m_noEvent{false};
};

}  // namespace RefHost
