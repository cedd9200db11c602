#pragma once
// Person detectors of the track engine, chosen by [detectors]
// body-detector-type. One instance serves one stream at a time, so it may
// keep scratch memory and a model of the scene between frames.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fsdk/Image.h"
#include "fsdk/Types.h"

namespace tsdk::detail {

struct EngineConfig;

struct Detection {
    fsdk::Rect box;  // in pixels of the image given to Detect
    float score = 0.f;
    // Seen as a person by its looks, not only by its shape.
    bool person = false;
};

// A person the tracker follows, in pixels of the image.
struct TrackHint {
    fsdk::Rect box;
    // A detector with a model of the scene must not learn this person into
    // the background, however long they stand still.
    bool keep = false;
    // What the track follows is most likely no one but a mark the model
    // holds of what has gone (where someone stood when it started): the
    // model may learn it at once.
    bool forget = false;
    // Seen as a person by their looks before: an upright box on them need
    // not be looked at again.
    bool person = false;
};

// What the tracker tells a detector about the frame it is to look at, and
// what the detector tells back about the people it was told of.
struct DetectionContext {
    // Frames since the previous run of the detector on this stream (1 when
    // it runs on every frame).
    int framesSinceLast = 1;
    fsdk::Span<const TrackHint> tracks;
    // One per track: the share of its box that shows something other than
    // the background, or -1 from a detector that cannot tell.
    fsdk::Span<float> presence;
};

// Where a followed person is in a frame the detector does not run on.
struct Sighting {
    fsdk::Rect box;
    bool seen = false;  // false: the frame does not tell
};

class IDetector {
public:
    virtual ~IDetector() = default;
    // Replaces `out` with the detections of `image`, at most
    // max-detection-count of them, ordered top to bottom, left to right.
    virtual void Detect(const fsdk::Image& image, const DetectionContext& context, std::vector<Detection>& out) = 0;
    // Whether its detections tell people by their looks (Detection::person);
    // from one that does, what never moves and never looks like a person is
    // no one.
    virtual bool JudgesLooks() const { return false; }
    // Between runs: looks for each of the people being followed near the
    // box the tracker expects them in (`predicted`, in pixels of the
    // image), far more cheaply than a run. `out` has one place per box.
    virtual void Follow(const fsdk::Image& image, fsdk::Span<const fsdk::Rect> predicted, fsdk::Span<Sighting> out)
    {
        (void)image;
        (void)predicted;
        for (Sighting& sighting : out) sighting.seen = false;
    }
};

bool IsKnownDetector(const std::string& type);
// Null for an unknown type.
std::unique_ptr<IDetector> CreateDetector(const EngineConfig& config);

// Solid blobs of person shape on a plain background: the background is the
// median colour of the image border, a blob a connected area that differs
// from it. Detects on the image scaled down to scale-result-size.
std::unique_ptr<IDetector> CreateBlobDetector(const EngineConfig& config);

// People in camera video: whatever moves against the learnt background of a
// fixed camera, cleaned of shadows and noise, joined into person-shaped
// boxes and scored by their shape. Detects on the image scaled down to
// scale-result-size.
std::unique_ptr<IDetector> CreatePersonDetector(const EngineConfig& config);

}  // namespace tsdk::detail
