#include "ObjectObserver.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "AdditionalFrameData.h"
#include "Engines.h"
#include "FrameConverter.h"
#include "GpuFrameConverter.h"
#include "Kest8/MFF.h"

namespace QelWrapper {

ObjectObserver::ObjectObserver(const Configurations& configurations) : config(configurations)
{
    engines = std::make_unique<Engines>(config);
    stream = engines->CreateStream(*this);
    if (!stream) throw std::runtime_error("Failed to create stream instance.");
}

ObjectObserver::~ObjectObserver()
{
    Stop();
    // Members go in reverse order: queue, stream, engines (released on the
    // worker pool), converters, configuration.
}

void ObjectObserver::Stop()
{
    if (!stream) return;
    stream->join();
    engines->UnregisterStream(stream);
}

bool ObjectObserver::PopResult(FrameResult& result)
{
    std::lock_guard<std::mutex> lock(resultsMutex);
    if (results.empty()) return false;
    result = std::move(results.front());
    results.pop_front();
    return true;
}

bool ObjectObserver::PushFrame(Kest8::MFF::IPlanarBuffer* frame)
{
    if (frame == nullptr) return false;
    if (!frameConverter) frameConverter = std::make_unique<Kest8::Framework::FrameConverter>(nullptr, KestCv::PF_RGB24);
    frameConverter->Convert(frame,
                            Kest8::Framework::PixelRect{config.roiX, config.roiY, config.roiWidth, config.roiHeight});
    const fsdk::Image image(config.roiWidth, config.roiHeight, fsdk::Format::R8G8B8, frameConverter->GetData(), true,
                            fsdk::Image::MemoryResidence::MemoryCPU, 0);
    return Push(image, frame->GetTimestamp());
}

bool ObjectObserver::PushGpuFrame(Kest8::MFF::ICompositeBuffer2* frame)
{
    if (frame == nullptr) return false;
    if (!gpuConverter) gpuConverter = std::make_unique<GpuFrameConverter>();
    fsdk::Image image(config.roiWidth, config.roiHeight, fsdk::Format::R8G8B8, fsdk::Image::MemoryResidence::MemoryCPU,
                      0);
    gpuConverter->Convert(*frame, image.getData(),
                          PixelRect{config.roiX, config.roiY, config.roiWidth, config.roiHeight});
    return Push(image, frame->GetTimestamp());
}

bool ObjectObserver::Push(const fsdk::Image& image, uint64_t timestamp)
{
    // The SDK owns the data from the push on, whatever it answers; until
    // then nothing may lose it.
    auto data = std::make_unique<AdditionalFrameData>(timestamp);
    const uint32_t frameId = frameCounter++;
    return stream->pushFrame(image, frameId, data.release());
}

void ObjectObserver::OnFrameResult(const tsdk::TrackingResult& result)
{
    const auto* data = dynamic_cast<const AdditionalFrameData*>(result.additionalData);
    if (data == nullptr) return;
    std::lock_guard<std::mutex> lock(resultsMutex);
    FrameResult& frame = results.emplace_back();
    frame.timestamp = data->timestamp;
    frame.frameId = result.frameId;
    frame.objects.reserve(result.objects.size);
    for (const tsdk::TrackedObject& sdkObject : result.objects) {
        TrackedObject object;
        object.trackId = sdkObject.trackId;
        object.score = sdkObject.score;
        object.flag = sdkObject.flag;
        const fsdk::Rect& box = sdkObject.box;
        const float left = std::max(box.x, 0.f);
        const float right = std::min(box.x + box.width, static_cast<float>(sdkObject.imageWidth));
        const float width = right - left;
        if (width > 0.f) {
            const float top = std::max(box.y, 0.f);
            const float bottom = std::min(box.y + box.height, static_cast<float>(sdkObject.imageHeight));
            const float height = bottom - top;
            if (height > 0.f) {
                object.x = static_cast<int32_t>(left);
                object.y = static_cast<int32_t>(top);
                object.width = static_cast<int32_t>(width);
                object.height = static_cast<int32_t>(height);
            }
        }
        frame.objects.push_back(object);
    }
    frame.finishedTrackIds.reserve(result.finishedTracks.size);
    for (const int32_t id : result.finishedTracks) frame.finishedTrackIds.push_back(id);
}

StreamStatistics ObjectObserver::GetStatistics()
{
    StreamStatistics statistics;
    if (!stream) return statistics;
    const tsdk::StreamStatistics sdk = stream->getStatistics();
    statistics.counter0 = sdk.framesSkipped;
    statistics.pushedFrames = sdk.framesPushed;
    statistics.processedFrames = sdk.framesProcessed;
    return statistics;
}

RelativeRect ObjectObserver::ToRelativeRect(const TrackedObject& object)
{
    // The sums wrap like int32 arithmetic instead of overflowing.
    const auto left = static_cast<int32_t>(static_cast<uint32_t>(config.roiX) + static_cast<uint32_t>(object.x));
    const auto top = static_cast<int32_t>(static_cast<uint32_t>(config.roiY) + static_cast<uint32_t>(object.y));
    const float frameWidth = static_cast<float>(config.frameWidth);
    const float frameHeight = static_cast<float>(config.frameHeight);
    const float x = static_cast<float>(left) / frameWidth;
    const float y = static_cast<float>(top) / frameHeight;
    const float w = static_cast<float>(object.width) / frameWidth;
    const float h = static_cast<float>(object.height) / frameHeight;
    RelativeRect rect;
    rect.x = x > 0.f ? x : 0.f;
    rect.y = y > 0.f ? y : 0.f;
    rect.width = w < 1.f ? w : 1.f;
    rect.height = h < 1.f ? h : 1.f;
    return rect;
}

}  // namespace QelWrapper
