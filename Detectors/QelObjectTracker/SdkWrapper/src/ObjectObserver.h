#pragma once
// One camera's tracking context: an SDK stream on shared engines, and the
// queue of results the SDK delivers for it.

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "QelWrapper/IObjectObserver.h"
#include "tsdk/TrackEngine.h"

namespace Kest8::Framework {
class FrameConverter;
}

namespace QelWrapper {

class Engines;
class GpuFrameConverter;

class ObjectObserver final : public IObjectObserver {
public:
    // Throws when the engines or the stream cannot be made.
    explicit ObjectObserver(const Configurations& configurations);
    ~ObjectObserver() override;
    ObjectObserver(const ObjectObserver&) = delete;
    ObjectObserver& operator=(const ObjectObserver&) = delete;

    void Stop() override;
    bool PopResult(FrameResult& result) override;
    bool PushGpuFrame(Kest8::MFF::ICompositeBuffer2* frame) override;
    bool PushFrame(Kest8::MFF::IPlanarBuffer* frame) override;
    StreamStatistics GetStatistics() override;
    RelativeRect ToRelativeRect(const TrackedObject& object) override;

    // Appends the SDK's result of one frame; called on SDK threads.
    void OnFrameResult(const tsdk::TrackingResult& result);

private:
    bool Push(const fsdk::Image& image, uint64_t timestamp);

    const Configurations config;
    std::unique_ptr<Kest8::Framework::FrameConverter> frameConverter;
    std::unique_ptr<GpuFrameConverter> gpuConverter;
    std::unique_ptr<Engines> engines;
    tsdk::IStreamPtr stream;
    uint32_t frameCounter = 0;
    std::mutex resultsMutex;
    std::deque<FrameResult> results;
};

}  // namespace QelWrapper
