#include "RefHost/HostContext.h"

#include "RefHost/Sequence.h"

#include <algorithm>
#include <iterator>

namespace RefHost {

struct EventState : RecorderState {
    std::atomic<bool> noArgsAdjuster{false};
    std::vector<std::unique_ptr<HostEvent>> events;  // creation order
    std::vector<HostEvent*> ended;                   // order of commit or cancel
    uint64_t nextId = 1;
    size_t requests = 0;
};

std::vector<std::string> EventRecord::Names() const
{
    std::vector<std::string> names;
    names.reserve(values.size());
    for (const auto& value : values) names.push_back(value.name);
    return names;
}

HostEvent::HostEvent(std::shared_ptr<EventState> state, uint64_t id, Kest8::Analytics::IDetector* detector,
                     const char* name, std::optional<int32_t> phase, uint64_t timestamp)
    : ArgsRecorder(state),
      m_eventState(std::move(state)),
      m_id(id),
      m_detector(detector),
      m_name(name != nullptr ? name : ""),
      m_phase(phase),
      m_timestamp(timestamp)
{
}

Kest8::IEventArgsAdjuster* HostEvent::GetEventArgsAdjuster()
{
    std::lock_guard<std::mutex> lock(m_eventState->mutex);
    if (m_outcome != Outcome::Open) m_eventState->violations.push_back("args adjuster of an ended event");
    if (m_eventState->noArgsAdjuster.load()) return nullptr;
    return static_cast<Kest8::IEventArgsAdjuster*>(this);
}

void HostEvent::End(Outcome outcome)
{
    std::lock_guard<std::mutex> lock(m_eventState->mutex);
    if (m_outcome != Outcome::Open) {
        m_eventState->violations.push_back("event '" + m_name + "' " +
                                           (outcome == Outcome::Committed ? "committed" : "cancelled") +
                                           " after it ended");
        return;
    }
    m_outcome = outcome;
    m_sequence = NextSequence();
    m_eventState->ended.push_back(this);
}

EventRecord HostEvent::Record() const
{
    EventRecord record;
    record.id = m_id;
    record.detector = m_detector;
    record.name = m_name;
    record.phase = m_phase;
    record.timestamp = m_timestamp;
    record.outcome = m_outcome;
    record.sequence = m_sequence;
    record.values = ValuesLocked();
    return record;
}

HostContext::HostContext(Kest8::Statistics::ISink* sink) : m_sink(sink), m_state(std::make_shared<EventState>()) {}

void HostContext::WithholdArgsAdjuster(bool withheld)
{
    m_state->noArgsAdjuster.store(withheld);
}

HostContext::~HostContext()
{
    // Buffers held by the records are destroyed outside the lock.
    std::vector<std::unique_ptr<HostEvent>> events;
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        events.swap(m_state->events);
        m_state->ended.clear();
    }
}

Kest8::IContract* HostContext::QueryContract(const char* typeName)
{
    // The context is handed over as this view; its event creation is its own.
    if (Kest8::IsContract<Kest8::IContract>(typeName)) return static_cast<Kest8::Analytics::IHostContext*>(this);
    if (Kest8::IsContract<Kest8::Statistics::ISink>(typeName)) return m_withholdSink.load() ? nullptr : m_sink;
    NoteContractViolation(typeid(*this), typeName);
    return nullptr;
}

Kest8::Analytics::IDetectorEvent* HostContext::Create(Kest8::Analytics::IDetector* detector, const char* name,
                                                      std::optional<int32_t> phase, uint64_t timestamp)
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    ++m_state->requests;
    if (m_noEvent.load()) return nullptr;
    m_state->events.push_back(
        std::make_unique<HostEvent>(m_state, m_state->nextId++, detector, name, phase, timestamp));
    return m_state->events.back().get();
}

Kest8::Analytics::IDetectorEvent* HostContext::CreateDetectorEvent(Kest8::Analytics::IDetector* detector,
                                                                   const char* name, uint64_t timestamp, int32_t phase)
{
    return Create(detector, name, phase, timestamp);
}

Kest8::Analytics::IDetectorEvent* HostContext::CreateEvent(Kest8::Analytics::IDetector* detector, const char* name,
                                                           uint64_t timestamp)
{
    return Create(detector, name, std::nullopt, timestamp);
}

void HostContext::RefuseValue(const std::string& name, bool refused)
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (refused)
        m_state->refused.insert(name);
    else
        m_state->refused.erase(name);
}

std::vector<EventRecord> HostContext::Events() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    std::vector<EventRecord> records;
    records.reserve(m_state->ended.size());
    for (const HostEvent* event : m_state->ended) records.push_back(event->Record());
    return records;
}

std::vector<EventRecord> HostContext::Events(const std::string& name) const
{
    std::vector<EventRecord> records = Events();
    records.erase(std::remove_if(records.begin(), records.end(),
                                 [&name](const EventRecord& record) { return record.name != name; }),
                  records.end());
    return records;
}

std::vector<EventRecord> HostContext::AllEvents() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    std::vector<EventRecord> records;
    records.reserve(m_state->events.size());
    for (const auto& event : m_state->events) records.push_back(event->Record());
    return records;
}

size_t HostContext::OpenEvents() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->events.size() - m_state->ended.size();
}

size_t HostContext::Requests() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->requests;
}

std::vector<std::string> HostContext::Violations() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->violations;
}

// Moves the ended events out of the state (destroyed by the caller, outside
// the lock) and forgets their order.
void HostContext::DropEndedLocked(EventState& state, std::vector<std::unique_ptr<HostEvent>>& dropped)
{
    auto open = std::stable_partition(state.events.begin(), state.events.end(),
                                      [](const std::unique_ptr<HostEvent>& event) { return !event->IsClosedLocked(); });
    std::move(open, state.events.end(), std::back_inserter(dropped));
    state.events.erase(open, state.events.end());
    state.ended.clear();
}

void HostContext::Clear()
{
    std::vector<std::unique_ptr<HostEvent>> dropped;
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        DropEndedLocked(*m_state, dropped);
        m_state->violations.clear();
    }
}

std::vector<EventRecord> HostContext::TakeEvents()
{
    std::vector<EventRecord> records;
    std::vector<std::unique_ptr<HostEvent>> dropped;
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        records.reserve(m_state->ended.size());
        for (const HostEvent* event : m_state->ended) records.push_back(event->Record());
        DropEndedLocked(*m_state, dropped);
    }
    return records;
}

}  // namespace RefHost
