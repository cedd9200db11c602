#include "RefHost/Targets.h"

namespace RefHost {

Target::Target(std::shared_ptr<TargetListState> state, uint64_t timestamp)
    : ArgsRecorder(state), m_listState(std::move(state)), m_timestamp(timestamp)
{
}

uint32_t Target::GetPhase() const
{
    std::lock_guard<std::mutex> lock(m_listState->mutex);
    return m_phase.value_or(0);
}

Kest8::Rect Target::GetBox() const
{
    std::lock_guard<std::mutex> lock(m_listState->mutex);
    return m_box.value_or(Kest8::Rect{0, 0, 0, 0});
}

uint32_t Target::GetObjectClass() const
{
    std::lock_guard<std::mutex> lock(m_listState->mutex);
    return m_objectClass;
}

uint32_t Target::GetTargetId() const
{
    std::lock_guard<std::mutex> lock(m_listState->mutex);
    return m_targetId;
}

void Target::SetTargetId(uint32_t id)
{
    std::lock_guard<std::mutex> lock(m_listState->mutex);
    m_targetId = id;
}

void Target::SetObjectClass(uint32_t objectClass)
{
    std::lock_guard<std::mutex> lock(m_listState->mutex);
    m_objectClass = objectClass;
}

void Target::SetPhase(uint32_t phase)
{
    std::lock_guard<std::mutex> lock(m_listState->mutex);
    m_phase = phase;
}

void Target::SetBox(const Kest8::Rect* box)
{
    std::lock_guard<std::mutex> lock(m_listState->mutex);
    if (box == nullptr) {
        m_listState->violations.push_back("SetBox with a null box");
        return;
    }
    m_box = *box;
}

TargetRecord Target::Record() const
{
    TargetRecord record;
    record.values = RecordedValues();
    std::lock_guard<std::mutex> lock(m_listState->mutex);
    record.targetId = m_targetId;
    record.objectClass = m_objectClass;
    record.phase = m_phase;
    record.box = m_box;
    return record;
}

TargetList::TargetList(std::shared_ptr<TargetListState> state, uint64_t timestamp)
    : m_state(std::move(state)), m_timestamp(timestamp)
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    ++m_state->created;
}

TargetList::~TargetList()
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    ++m_state->destroyed;
}

void TargetList::Note(const char* call) const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_calls.emplace_back(call);
}

uint64_t TargetList::GetTimestamp() const
{
    Note("GetTimestamp");
    return m_timestamp;
}

uint32_t TargetList::GetSize() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return static_cast<uint32_t>(m_targets.size());
}

void TargetList::Destroy()
{
    delete this;
}

bool TargetList::MoveNext()
{
    Note("MoveNext");
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (m_position <= m_targets.size()) ++m_position;
    return m_position <= m_targets.size();
}

Kest8::IContract* TargetList::Current()
{
    Note("Current");
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (m_position == 0 || m_position > m_targets.size()) return nullptr;
    return static_cast<Kest8::Analytics::ITargetAdjuster*>(m_targets[m_position - 1].get());
}

void TargetList::Reset()
{
    Note("Reset");
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_position = 0;
}

Kest8::Analytics::ITargetAdjuster* TargetList::AppendTarget()
{
    Note("AppendTarget");
    if (m_state->refuseAppend.load()) return nullptr;
    auto target = std::make_unique<Target>(m_state, m_timestamp);
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_targets.push_back(std::move(target));
    return m_targets.back().get();
}

std::vector<TargetRecord> TargetList::Targets() const
{
    std::vector<Target*> targets;
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        for (const auto& target : m_targets) targets.push_back(target.get());
    }
    std::vector<TargetRecord> records;
    records.reserve(targets.size());
    for (const Target* target : targets) records.push_back(target->Record());
    return records;
}

std::vector<std::string> TargetList::Calls() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_calls;
}

HumanBoneList::HumanBoneList(std::shared_ptr<TargetListState> state, uint64_t timestamp)
    : m_state(std::move(state)), m_timestamp(timestamp)
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    ++m_state->created;
}

HumanBoneList::~HumanBoneList()
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    ++m_state->destroyed;
}

}  // namespace RefHost
