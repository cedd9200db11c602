#include "BatchObserver.h"

#include <fmt/format.h>

#include "Logger.h"
#include "ObjectObserver.h"

namespace QelWrapper {

void BatchObserver::batchTrackingResult(const fsdk::Ref<tsdk::ITrackingResultBatch>& batch)
{
    if (!batch) return;
    for (const uint32_t streamId : batch->getStreamIds()) {
        // Held during the hand-over, so Unregister waits for it.
        std::lock_guard<std::mutex> lock(registryMutex);
        const auto entry = registry.find(streamId);
        if (entry == registry.end()) {
            LogToOurFiles(3, fmt::format("Common observer for stream {} is not found.", streamId).c_str());
            continue;
        }
        for (const uint32_t frameId : batch->getStreamFrameIds(streamId)) {
            const tsdk::TrackingResult result = batch->getTrackingResult(streamId, frameId);
            entry->second->OnFrameResult(result);
        }
    }
}

void BatchObserver::Register(uint32_t streamId, ObjectObserver* observer)
{
    std::lock_guard<std::mutex> lock(registryMutex);
    registry[streamId] = observer;
}

void BatchObserver::Unregister(uint32_t streamId)
{
    std::lock_guard<std::mutex> lock(registryMutex);
    registry.erase(streamId);
}

}  // namespace QelWrapper
