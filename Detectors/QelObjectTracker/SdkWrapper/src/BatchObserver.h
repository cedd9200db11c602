#pragma once
// The one result observer of a track engine: hands each stream's results
// of a batch to the object observer registered for that stream.

#include <cstdint>
#include <map>
#include <mutex>

#include "tsdk/TrackEngine.h"

namespace QelWrapper {

class ObjectObserver;

class BatchObserver final : public tsdk::ITrackingResultObserver {
public:
    BatchObserver() = default;
    BatchObserver(const BatchObserver&) = delete;
    BatchObserver& operator=(const BatchObserver&) = delete;

    // Called by the SDK on its threads.
    void batchTrackingResult(const fsdk::Ref<tsdk::ITrackingResultBatch>& batch) override;
    ~BatchObserver() override = default;

    // Replaces an earlier observer of the same id.
    void Register(uint32_t streamId, ObjectObserver* observer);
    // Once this returns, no result reaches the observer of that id.
    void Unregister(uint32_t streamId);

private:
    std::mutex registryMutex;
    std::map<uint32_t, ObjectObserver*> registry;
};

}  // namespace QelWrapper
