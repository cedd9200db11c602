#include "track/Detector.h"

#include "track/Config.h"

namespace tsdk::detail {

bool IsKnownDetector(const std::string& type)
{
    return type == "person" || type == "blob";
}

std::unique_ptr<IDetector> CreateDetector(const EngineConfig& config)
{
    if (config.bodyDetectorType == "person") return CreatePersonDetector(config);
    if (config.bodyDetectorType == "blob") return CreateBlobDetector(config);
    return nullptr;
}

}  // namespace tsdk::detail
