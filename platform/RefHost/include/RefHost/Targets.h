#pragma once
// Target lists as the host builds them: targets appended by a detector, each
// with its phase, box and own named values.

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Kest8/Targets.h"
#include "RefHost/Contract.h"
#include "RefHost/Values.h"

namespace RefHost {

struct TargetRecord {
    uint32_t targetId = 0;
    uint32_t objectClass = 0;
    std::optional<uint32_t> phase;  // none until set
    std::optional<Kest8::Rect> box;
    Values values;

    std::optional<int32_t> Int32(const std::string& name) const { return Int32Value(values, name); }
    bool Has(const std::string& name) const { return FindValue(values, name) != nullptr; }
};

// Counters and switches shared by every list of one factory; outlives the
// factory while lists it made are alive.
struct TargetListState : RecorderState {
    std::atomic<bool> refuseAppend{false};
    size_t created = 0;
    size_t destroyed = 0;
};

// Laid out as a host target is: the ITargetAdjuster view immediately
// followed by the IEventArgsAdjuster view of its named values.
class Target final : public Kest8::Analytics::ITargetAdjuster, public ArgsRecorder {
public:
    Target(std::shared_ptr<TargetListState> state, uint64_t timestamp);

    REFHOST_CONTRACTS(Kest8::Analytics::ITargetAdjuster, Kest8::Analytics::ITargetAdjuster)

    uint32_t GetPhase() const override;
    Kest8::Rect GetBox() const override;
    uint32_t GetObjectClass() const override;
    uint64_t GetTimestamp() const override { return m_timestamp; }
    uint32_t GetTargetId() const override;
    void SetTargetId(uint32_t id) override;
    void SetObjectClass(uint32_t objectClass) override;
    void SetPhase(uint32_t phase) override;
    void SetBox(const Kest8::Rect* box) override;

    TargetRecord Record() const;

private:
    std::shared_ptr<TargetListState> m_listState;
    const uint64_t m_timestamp;
    uint32_t m_targetId = 0;
    uint32_t m_objectClass = 0;
    std::optional<uint32_t> m_phase;
    std::optional<Kest8::Rect> m_box;
};

// A target enumerator and its adjuster. Destroy deletes it.
class TargetList final : public Kest8::Analytics::ITargetEnumeratorAdjuster {
public:
    static constexpr uint32_t kMediaType = 0x54524754;  // "TRGT"

    TargetList(std::shared_ptr<TargetListState> state, uint64_t timestamp);
    ~TargetList() override;
    TargetList(const TargetList&) = delete;
    TargetList& operator=(const TargetList&) = delete;

    REFHOST_CONTRACTS(Kest8::Analytics::ITargetEnumeratorAdjuster)

    uint64_t GetTimestamp() const override;
    uint32_t GetMediaType() const override { return kMediaType; }
    uint32_t GetSize() const override;
    void Destroy() override;
    bool MoveNext() override;
    Kest8::IContract* Current() override;
    void Reset() override;
    Kest8::Analytics::ITargetAdjuster* AppendTarget() override;

    uint64_t Timestamp() const { return m_timestamp; }
    std::vector<TargetRecord> Targets() const;
    // The enumerator operations called on it, in order ("GetTimestamp",
    // "Reset", "MoveNext", "Current", "AppendTarget").
    std::vector<std::string> Calls() const;

private:
    void Note(const char* call) const;

    std::shared_ptr<TargetListState> m_state;
    const uint64_t m_timestamp;
    std::vector<std::unique_ptr<Target>> m_targets;
    size_t m_position = 0;  // 0 before the first, n at the n-th target
    mutable std::vector<std::string> m_calls;
};

// A human-bone target list: only its time stamp matters here.
class HumanBoneList final : public Kest8::IMultimediaBuffer {
public:
    HumanBoneList(std::shared_ptr<TargetListState> state, uint64_t timestamp);
    ~HumanBoneList() override;

    REFHOST_CONTRACTS(Kest8::IMultimediaBuffer)

    uint64_t GetTimestamp() const override { return m_timestamp; }
    uint32_t GetMediaType() const override { return 0x48424f4e; }  // "HBON"
    uint32_t GetSize() const override { return 0; }
    void Destroy() override { delete this; }

private:
    std::shared_ptr<TargetListState> m_state;
    const uint64_t m_timestamp;
};

}  // namespace RefHost
