#include "RefHost/Services.h"

namespace RefHost {

Kest8::IContract* ServiceProvider::QueryService(const char* typeName)
{
    ++m_queries;
    if (Kest8::IsContract<Kest8::ILogger>(typeName)) return m_withholdLogger ? nullptr : m_logger;
    if (Kest8::IsContract<Kest8::Analytics::ITargetEnumeratorFactory>(typeName))
        return m_withholdTargets ? nullptr : m_targets;
    if (Kest8::IsContract<Kest8::MFF::IBlobFrameFactory>(typeName)) return m_withholdBlobs ? nullptr : m_blobs;
    NoteContractViolation(typeid(*this), typeName);
    return nullptr;
}

void ServiceProvider::Withhold(Service service, bool withheld)
{
    switch (service) {
    case Service::Logger: m_withholdLogger = withheld; break;
    case Service::TargetEnumeratorFactory: m_withholdTargets = withheld; break;
    case Service::BlobFrameFactory: m_withholdBlobs = withheld; break;
    }
}

}  // namespace RefHost

namespace RefHost {

namespace {

class Rectangle final : public Kest8::IRectangle {
public:
    explicit Rectangle(const Kest8::Rect& rect) : m_rect(rect) {}
    REFHOST_CONTRACTS(Kest8::IRectangle)
    double GetLeft() const override { return m_rect.left; }
    double GetTop() const override { return m_rect.top; }
    double GetWidth() const override { return m_rect.width; }
    double GetHeight() const override { return m_rect.height; }

private:
    Kest8::Rect m_rect;
};

class RectangleEnumerator final : public Kest8::IRectangleEnumerator {
public:
    RectangleEnumerator(const Kest8::Rect* rects, uint32_t count)
    {
        for (uint32_t i = 0; rects != nullptr && i < count; ++i) m_rects.emplace_back(rects[i]);
    }
    REFHOST_CONTRACTS(Kest8::IRectangleEnumerator)
    void Reset() override { m_position = 0; }
    bool MoveNext() override
    {
        if (m_position <= m_rects.size()) ++m_position;
        return m_position <= m_rects.size();
    }
    Kest8::IRectangle* Current() override
    {
        return m_position == 0 || m_position > m_rects.size() ? nullptr : &m_rects[m_position - 1];
    }

private:
    std::vector<Rectangle> m_rects;
    size_t m_position = 0;
};

class PolylineEnumerator final : public Kest8::IPolylineEnumerator {
public:
    REFHOST_CONTRACTS(Kest8::IPolylineEnumerator)
    void Reset() override {}
    bool MoveNext() override { return false; }
    Kest8::IContract* Current() override { return nullptr; }
};

class Mask final : public Kest8::IMask {
public:
    Mask(uint32_t width, uint32_t height)
        : m_width(width), m_height(height), m_data(static_cast<size_t>(width) * height, 0)
    {
    }
    REFHOST_CONTRACTS(Kest8::IMask)
    uint32_t GetWidth() const override { return m_width; }
    uint32_t GetHeight() const override { return m_height; }
    const uint8_t* GetData() const override { return m_data.data(); }

private:
    uint32_t m_width;
    uint32_t m_height;
    std::vector<uint8_t> m_data;
};

}  // namespace

TargetEnumeratorFactory::TargetEnumeratorFactory() : m_state(std::make_shared<TargetListState>()) {}

TargetEnumeratorFactory::~TargetEnumeratorFactory() = default;

Kest8::IRectangleEnumerator* TargetEnumeratorFactory::CreateRectangleEnumerator(const Kest8::Rect* rects,
                                                                                uint32_t count)
{
    auto enumerator = std::make_unique<RectangleEnumerator>(rects, count);
    auto* result = enumerator.get();
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_owned.push_back(std::move(enumerator));
    return result;
}

Kest8::IPolylineEnumerator* TargetEnumeratorFactory::CreatePolylineEnumerator()
{
    auto enumerator = std::make_unique<PolylineEnumerator>();
    auto* result = enumerator.get();
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_owned.push_back(std::move(enumerator));
    return result;
}

Kest8::IMask* TargetEnumeratorFactory::CreateMask(uint32_t width, uint32_t height)
{
    auto mask = std::make_unique<Mask>(width, height);
    auto* result = mask.get();
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_owned.push_back(std::move(mask));
    return result;
}

Kest8::IMultimediaBuffer* TargetEnumeratorFactory::CreateHumanBoneTargetList(uint64_t timestamp)
{
    return new HumanBoneList(m_state, timestamp);
}

Kest8::Analytics::ITargetEnumerator* TargetEnumeratorFactory::CreateTargetEnumerator(uint64_t timestamp)
{
    return new TargetList(m_state, timestamp);
}

Kest8::Analytics::ITargetEnumeratorAdjuster* TargetEnumeratorFactory::CreateTargetEnumeratorAdjuster(uint64_t timestamp)
{
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_requests.push_back(timestamp);
    }
    if (m_noAdjuster.load()) return nullptr;
    return new TargetList(m_state, timestamp);
}

void TargetEnumeratorFactory::RefuseTargetValue(const std::string& name, bool refused)
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (refused)
        m_state->refused.insert(name);
    else
        m_state->refused.erase(name);
}

size_t TargetEnumeratorFactory::CreatedLists() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->created;
}

size_t TargetEnumeratorFactory::DestroyedLists() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->destroyed;
}

size_t TargetEnumeratorFactory::LiveLists() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->created - m_state->destroyed;
}

std::vector<uint64_t> TargetEnumeratorFactory::AdjusterRequests() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_requests;
}

std::vector<uint64_t> TargetEnumeratorFactory::TakeAdjusterRequests()
{
    std::vector<uint64_t> taken;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    taken.swap(m_requests);
    return taken;
}

std::vector<std::string> TargetEnumeratorFactory::Violations() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->violations;
}

}  // namespace RefHost
