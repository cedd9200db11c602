#include "track/detection/Detector.h"

#include "track/detection/NeuralDetector.h"
#include "track/engine/Config.h"

namespace tsdk::detail {

bool IsKnownDetector(const std::string& type)
{
    return type == "neural" || type == "blob";
}

std::unique_ptr<IDetector> CreateDetector(const EngineConfig& config, std::shared_ptr<NeuralNetwork> network)
{
    if (config.bodyDetectorType == "neural") return CreateNeuralDetector(config, std::move(network));
    if (config.bodyDetectorType == "blob") return CreateBlobDetector(config);
    return nullptr;
}

}  // namespace tsdk::detail
