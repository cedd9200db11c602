#pragma once
// Named values the host receives on events and targets, recorded in order.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "Kest8/Events.h"

namespace RefHost {

class TargetList;

enum class ValueKind {
    Bool,
    Int32,
    Double,
    String,
    RectangleArray,
    Mask,
    PolylineArray,
    MultimediaBuffer,
    UInt64,
};

const char* KindName(ValueKind kind);

// A buffer the host owns; its Destroy runs when the last record holding it goes.
using BufferPtr = std::shared_ptr<Kest8::IMultimediaBuffer>;
BufferPtr AdoptBuffer(Kest8::IMultimediaBuffer* buffer);

struct EventValue {
    std::string name;  // empty for the nameless 64-bit value
    ValueKind kind = ValueKind::Bool;
    std::variant<std::monostate, bool, int32_t, double, std::string, uint64_t> value;
    const void* object = nullptr;  // rectangle array, mask or polyline array; not owned
    BufferPtr buffer;              // multimedia buffer
    bool accepted = true;          // false when the host refused the setter

    // The buffer as one of our target lists, or null.
    const TargetList* Targets() const;
};

using Values = std::vector<EventValue>;

// The last accepted value of that name, or null.
const EventValue* FindValue(const Values& values, const std::string& name);
std::optional<int32_t> Int32Value(const Values& values, const std::string& name);
std::optional<std::string> StringValue(const Values& values, const std::string& name);
size_t CountValues(const Values& values, const std::string& name);

// State shared by the recorders of one owner: one lock, the refused names
// and what the guest did wrong.
struct RecorderState {
    mutable std::mutex mutex;
    std::set<std::string> refused;  // "" refuses the nameless 64-bit value
    std::vector<std::string> violations;
};

// Records every setter call; answers 10 for a refused name.
class ArgsRecorder : public Kest8::IEventArgsAdjuster {
public:
    explicit ArgsRecorder(std::shared_ptr<RecorderState> state) : m_state(std::move(state)) {}

    Kest8::ResultCode SetValue(const char* name, bool value) override;
    Kest8::ResultCode SetValue(const char* name, int32_t value) override;
    Kest8::ResultCode SetValue(const char* name, double value) override;
    Kest8::ResultCode SetValue(const char* name, const char* value) override;
    Kest8::ResultCode SetRectangleArray(const char* name, Kest8::IRectangleEnumerator* rectangles) override;
    Kest8::ResultCode SetMask(const char* name, Kest8::IMask* mask) override;
    Kest8::ResultCode SetPolylineArray(const char* name, Kest8::IPolylineEnumerator* polylines) override;
    Kest8::ResultCode SetMultimediaBuffer(const char* name, Kest8::IMultimediaBuffer* buffer) override;
    Kest8::ResultCode SetValue(uint64_t value) override;

    Values RecordedValues() const;

protected:
    // Called under the state's lock; a closed recorder notes a violation.
    virtual bool IsClosedLocked() const { return false; }
    const Values& ValuesLocked() const { return m_values; }
    RecorderState& State() const { return *m_state; }

private:
    Kest8::ResultCode Record(EventValue value);

    std::shared_ptr<RecorderState> m_state;
    Values m_values;
};

}  // namespace RefHost
