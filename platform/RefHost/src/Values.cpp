#include "RefHost/Values.h"

#include "RefHost/Targets.h"

namespace RefHost {

const char* KindName(ValueKind kind)
{
    switch (kind) {
    case ValueKind::Bool: return "bool";
    case ValueKind::Int32: return "int32";
    case ValueKind::Double: return "double";
    case ValueKind::String: return "string";
    case ValueKind::RectangleArray: return "rectangle array";
    case ValueKind::Mask: return "mask";
    case ValueKind::PolylineArray: return "polyline array";
    case ValueKind::MultimediaBuffer: return "multimedia buffer";
    case ValueKind::UInt64: return "uint64";
    }
    return "unknown";
}

BufferPtr AdoptBuffer(Kest8::IMultimediaBuffer* buffer)
{
    return BufferPtr(buffer, [](Kest8::IMultimediaBuffer* owned) {
        if (owned != nullptr) owned->Destroy();
    });
}

const TargetList* EventValue::Targets() const
{
    return dynamic_cast<const TargetList*>(buffer.get());
}

const EventValue* FindValue(const Values& values, const std::string& name)
{
    for (auto it = values.rbegin(); it != values.rend(); ++it)
        if (it->accepted && it->name == name) return &*it;
    return nullptr;
}

std::optional<int32_t> Int32Value(const Values& values, const std::string& name)
{
    const EventValue* found = FindValue(values, name);
    if (found == nullptr || !std::holds_alternative<int32_t>(found->value)) return std::nullopt;
    return std::get<int32_t>(found->value);
}

std::optional<std::string> StringValue(const Values& values, const std::string& name)
{
    const EventValue* found = FindValue(values, name);
    if (found == nullptr || !std::holds_alternative<std::string>(found->value)) return std::nullopt;
    return std::get<std::string>(found->value);
}

size_t CountValues(const Values& values, const std::string& name)
{
    size_t count = 0;
    for (const auto& value : values) count += value.name == name ? 1 : 0;
    return count;
}

Kest8::ResultCode ArgsRecorder::Record(EventValue value)
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (IsClosedLocked()) {
        m_state->violations.push_back("value '" + value.name + "' set after the event ended");
        value.accepted = false;
    } else {
        value.accepted = m_state->refused.count(value.name) == 0;
    }
    const bool accepted = value.accepted;
    m_values.push_back(std::move(value));
    return accepted ? Kest8::Result::Success : Kest8::Result::InvalidArgument;
}

namespace {
EventValue Named(const char* name, ValueKind kind)
{
    EventValue value;
    value.name = name != nullptr ? name : "";
    value.kind = kind;
    return value;
}
}  // namespace

Kest8::ResultCode ArgsRecorder::SetValue(const char* name, bool value)
{
    EventValue v = Named(name, ValueKind::Bool);
    v.value = value;
    return Record(std::move(v));
}

Kest8::ResultCode ArgsRecorder::SetValue(const char* name, int32_t value)
{
    EventValue v = Named(name, ValueKind::Int32);
    v.value = value;
    return Record(std::move(v));
}

Kest8::ResultCode ArgsRecorder::SetValue(const char* name, double value)
{
    EventValue v = Named(name, ValueKind::Double);
    v.value = value;
    return Record(std::move(v));
}

Kest8::ResultCode ArgsRecorder::SetValue(const char* name, const char* value)
{
    EventValue v = Named(name, ValueKind::String);
    v.value = std::string(value != nullptr ? value : "");
    return Record(std::move(v));
}

Kest8::ResultCode ArgsRecorder::SetRectangleArray(const char* name, Kest8::IRectangleEnumerator* rectangles)
{
    EventValue v = Named(name, ValueKind::RectangleArray);
    v.object = rectangles;
    return Record(std::move(v));
}

Kest8::ResultCode ArgsRecorder::SetMask(const char* name, Kest8::IMask* mask)
{
    EventValue v = Named(name, ValueKind::Mask);
    v.object = mask;
    return Record(std::move(v));
}

Kest8::ResultCode ArgsRecorder::SetPolylineArray(const char* name, Kest8::IPolylineEnumerator* polylines)
{
    EventValue v = Named(name, ValueKind::PolylineArray);
    v.object = polylines;
    return Record(std::move(v));
}

Kest8::ResultCode ArgsRecorder::SetMultimediaBuffer(const char* name, Kest8::IMultimediaBuffer* buffer)
{
    // Ours from here on, whatever the answer.
    EventValue v = Named(name, ValueKind::MultimediaBuffer);
    v.buffer = AdoptBuffer(buffer);
    return Record(std::move(v));
}

Kest8::ResultCode ArgsRecorder::SetValue(uint64_t value)
{
    EventValue v = Named("", ValueKind::UInt64);
    v.value = value;
    return Record(std::move(v));
}

Values ArgsRecorder::RecordedValues() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_values;
}

}  // namespace RefHost
