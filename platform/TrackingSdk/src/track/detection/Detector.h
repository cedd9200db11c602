#pragma once
// Person detectors of the track engine, chosen by [detectors]
// body-detector-type. One instance serves one stream at a time, so it may
// keep scratch memory between frames.

#include <memory>
#include <string>
#include <vector>

#include "fsdk/Image.h"
#include "fsdk/Types.h"

namespace tsdk::detail {

struct EngineConfig;
class NeuralNetwork;

struct Detection {
    fsdk::Rect box;  // in pixels of the image given to Detect
    float score = 0.f;
};

class IDetector {
public:
    virtual ~IDetector() = default;
    // Replaces `out` with the people of `image`, at most
    // max-detection-count of them.
    virtual void Detect(const fsdk::Image& image, std::vector<Detection>& out) = 0;
};

bool IsKnownDetector(const std::string& type);
// Null for an unknown type, or a neural one without its network.
std::unique_ptr<IDetector> CreateDetector(const EngineConfig& config, std::shared_ptr<NeuralNetwork> network);

// Solid blobs of person shape on a plain background: the background is the
// median colour of the image border, a blob a connected area that differs
// from it. Detects on the image scaled down to scale-result-size. For
// generated scenes and test hosts.
std::unique_ptr<IDetector> CreateBlobDetector(const EngineConfig& config);

}  // namespace tsdk::detail
