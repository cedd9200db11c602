// libQelWrapperGpu.so for the detector's tests: observers that play back
// the results a test queued.

#include "ScriptedWrapper.h"

#include <stdexcept>

namespace {

using ScriptedWrapper::Get;

struct LoadCounter {
    LoadCounter()
    {
        std::lock_guard<std::mutex> lock(Get().mutex);
        ++Get().loads;
    }
    ~LoadCounter()
    {
        std::lock_guard<std::mutex> lock(Get().mutex);
        ++Get().unloads;
    }
} loadCounter;

class ScriptedObserver final : public QelWrapper::IObjectObserver {
public:
    explicit ScriptedObserver(std::shared_ptr<ScriptedWrapper::ObserverRecord> record) : m_record(std::move(record)) {}
    ~ScriptedObserver() override
    {
        std::lock_guard<std::mutex> lock(Get().mutex);
        m_record->destroyed = true;
        Get().calls.push_back("delete");
    }

    void Stop() override
    {
        std::lock_guard<std::mutex> lock(Get().mutex);
        ++m_record->stops;
        Get().calls.push_back("Stop");
        if (Get().failStop) throw std::runtime_error("scripted stop failure");
    }

    bool PopResult(QelWrapper::FrameResult& result) override
    {
        std::lock_guard<std::mutex> lock(Get().mutex);
        auto& results = m_record->results;
        if (results.empty() || (m_record->holdUntilStop && m_record->stops == 0)) return false;
        result = std::move(results.front());
        results.pop_front();
        return true;
    }

    bool PushGpuFrame(Kest8::MFF::ICompositeBuffer2* frame) override { return Push(frame != nullptr, true); }
    bool PushFrame(Kest8::MFF::IPlanarBuffer* frame) override { return Push(frame != nullptr, false); }

    QelWrapper::StreamStatistics GetStatistics() override
    {
        std::lock_guard<std::mutex> lock(Get().mutex);
        Get().calls.push_back("GetStatistics");
        return Get().statistics;
    }

    QelWrapper::RelativeRect ToRelativeRect(const QelWrapper::TrackedObject& o) override
    {
        return {o.x / 1000.0, o.y / 1000.0, o.width / 1000.0, o.height / 1000.0};
    }

private:
    bool Push(bool present, bool gpu)
    {
        std::lock_guard<std::mutex> lock(Get().mutex);
        Get().calls.push_back(gpu ? "PushGpuFrame" : "PushFrame");
        if (Get().failPush && Get().nonStandard) throw 42;
        if (Get().failPush) throw std::runtime_error("scripted push failure");
        if (!present) {
            ++m_record->nullPushes;
            return false;
        }
        ++(gpu ? m_record->gpuPushes : m_record->planarPushes);
        return !Get().refusePushes;
    }

    std::shared_ptr<ScriptedWrapper::ObserverRecord> m_record;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) QelWrapper::IObjectObserver* CreateObjectObserver(
    const QelWrapper::Configurations* config)
{
    std::lock_guard<std::mutex> lock(Get().mutex);
    Get().calls.push_back("create");
    if (Get().failCreation) throw std::runtime_error("scripted creation failure");
    if (Get().returnNull) return nullptr;
    auto record = ScriptedWrapper::NewRecord();
    record->config = *config;
    record->holdUntilStop = Get().holdUntilStop;
    Get().observers.push_back(record);
    return new ScriptedObserver(record);
}
