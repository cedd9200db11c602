#pragma once
// A stand-in for the wrapper library with scripted results, for the
// detector's own logic. The state lives in a small shared library that the
// test and the stand-in both link, so the test drives what the detector's
// loaded copy does.

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "QelWrapper/IObjectObserver.h"

namespace ScriptedWrapper {

struct ObserverRecord {
    QelWrapper::Configurations config;
    int stops = 0;
    bool destroyed = false;
    int gpuPushes = 0;     // non-null composite frames
    int planarPushes = 0;  // non-null planar frames
    int nullPushes = 0;
    std::deque<QelWrapper::FrameResult> results;  // this observer's, popped in order
    bool holdUntilStop = false;                   // nothing pops before Stop
};

struct State {
    std::mutex mutex;
    int loads = 0;  // the stand-in library's loads and unloads
    int unloads = 0;
    std::vector<std::shared_ptr<ObserverRecord>> observers;  // creation order
    bool holdUntilStop = false;                              // for observers created from now on
    bool refusePushes = false;
    bool failCreation = false;  // CreateObjectObserver throws
    bool returnNull = false;    // CreateObjectObserver gives no observer
    bool failPush = false;      // pushes throw
    bool failStop = false;      // Stop throws
    bool nonStandard = false;   // the failures above throw an int instead
    QelWrapper::StreamStatistics statistics;
    std::vector<std::string> calls;
};

State& Get();
void Reset();
// Made here, not in the stand-in: records outlive its unloading.
std::shared_ptr<ObserverRecord> NewRecord();
// Queues a result on the newest observer.
void Queue(QelWrapper::FrameResult result);

// An object whose box, in thousandths of the frame, is what ToRelativeRect
// gives back.
QelWrapper::TrackedObject Object(int32_t trackId, float score, int32_t x, int32_t y, int32_t width, int32_t height);
QelWrapper::FrameResult Result(uint64_t timestamp, std::vector<QelWrapper::TrackedObject> objects,
                               std::vector<int32_t> finished = {});

}  // namespace ScriptedWrapper
