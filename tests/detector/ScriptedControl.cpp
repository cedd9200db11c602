#include "ScriptedWrapper.h"

#include <stdexcept>

namespace ScriptedWrapper {

State& Get()
{
    // Never destroyed: the stand-in library may still report at exit.
    static State* state = new State;
    return *state;
}

void Reset()
{
    State& s = Get();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.observers.clear();
    s.holdUntilStop = false;
    s.refusePushes = false;
    s.failCreation = false;
    s.returnNull = false;
    s.failPush = false;
    s.failStop = false;
    s.nonStandard = false;
    s.statistics = {};
    s.calls.clear();
}

std::shared_ptr<ObserverRecord> NewRecord()
{
    return std::make_shared<ObserverRecord>();
}

void Queue(QelWrapper::FrameResult result)
{
    State& s = Get();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.observers.empty()) throw std::logic_error("no observer to queue a result on");
    s.observers.back()->results.push_back(std::move(result));
}

QelWrapper::TrackedObject Object(int32_t trackId, float score, int32_t x, int32_t y, int32_t width, int32_t height)
{
    QelWrapper::TrackedObject o;
    o.trackId = trackId;
    o.score = score;
    o.x = x;
    o.y = y;
    o.width = width;
    o.height = height;
    return o;
}

QelWrapper::FrameResult Result(uint64_t timestamp, std::vector<QelWrapper::TrackedObject> objects,
                               std::vector<int32_t> finished)
{
    QelWrapper::FrameResult r;
    r.timestamp = timestamp;
    r.objects = std::move(objects);
    r.finishedTrackIds = std::move(finished);
    return r;
}

}  // namespace ScriptedWrapper
