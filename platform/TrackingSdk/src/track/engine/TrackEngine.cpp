#include <opencv2/core/utility.hpp>

#include <string>
#include <system_error>

#include "common/RefCountedObject.h"
#include "common/SdkLog.h"
#include "track/detection/NeuralDetector.h"
#include "track/engine/Config.h"
#include "track/engine/Core.h"
#include "tsdk/TrackEngine.h"

namespace tsdk {
namespace {

class TrackEngine final : public fsdk::detail::RefCountedObject<ITrackEngine> {
public:
    TrackEngine(fsdk::IFaceEnginePtr faceEngine, std::shared_ptr<detail::Core> core)
        : m_faceEngine(std::move(faceEngine)), m_core(std::move(core))
    {
    }
    ~TrackEngine() override { m_core->Stop(); }

    IStreamPtr createStream(const StreamParams* /*params*/) override { return m_core->CreateStream(); }
    void setBatchedObserver(ITrackingResultObserver* observer) override { m_core->SetObserver(observer); }
    void stop() override { m_core->Stop(); }

private:
    const fsdk::IFaceEnginePtr m_faceEngine;
    const std::shared_ptr<detail::Core> m_core;
};

}  // namespace

fsdk::ResultValue<ITrackEnginePtr> createTrackEngine(fsdk::IFaceEngine* faceEngine, fsdk::ISettingsProvider* settings,
                                                     vsdk::IVehicleEngine* /*vehicleEngine*/,
                                                     const fsdk::LaunchOptions* launchOptions)
{
    if (faceEngine == nullptr) {
        fsdk::log::print(fsdk::log::Error, "track engine: no face engine given");
        return {fsdk::FSDKError::InvalidInput, nullptr};
    }
    if (settings == nullptr) {
        fsdk::log::print(fsdk::log::Error, "track engine: no settings given");
        return {fsdk::FSDKError::InvalidSettingsProvider, nullptr};
    }
    detail::EngineConfig config;
    const fsdk::FSDKError code =
        detail::ReadEngineConfig(settings, faceEngine->getRuntimeSettingsProvider(), launchOptions, config);
    if (code != fsdk::FSDKError::Ok) return {code, nullptr};
    // The engine's workers are its threads: OpenCV's own, under the network
    // and the flow, would only oversubscribe the cores they share.
    cv::setNumThreads(1);

    std::shared_ptr<detail::NeuralNetwork> network;
    if (config.useBodyDetector && config.bodyDetectorType == "neural") {
        std::string& model = config.neural.model;
        if (model.empty() || model.front() != '/') {
            const char* data = faceEngine->getDataDirectory();
            model = std::string(data != nullptr ? data : ".") + "/" + model;
        }
        std::string error;
        network = detail::NeuralNetwork::Load(config.neural, error);
        if (!network) {
            fsdk::log::printf(true, fsdk::log::Error, "track engine: no body detector: {}", error);
            return {fsdk::FSDKError::ModelNotLoaded, nullptr};
        }
    }

    std::shared_ptr<detail::Core> core;
    try {
        core = std::make_shared<detail::Core>(config, std::move(network));
        core->Start();
        fsdk::log::printf(config.logs(fsdk::log::Info), fsdk::log::Info,
                          "track engine: {} worker threads, {} {}, detector '{}' every {} frames", config.workerThreads,
                          config.gpu ? "gpu" : "cpu", config.gpuDevice, config.bodyDetectorType, config.detectorStep);
        return {fsdk::FSDKError::Ok,
                fsdk::detail::makeRef<ITrackEngine, TrackEngine>(fsdk::IFaceEnginePtr(faceEngine), core)};
    } catch (const std::exception& e) {
        if (core) core->Stop();
        fsdk::log::printf(true, fsdk::log::Error, "track engine: cannot start: {}", e.what());
        return {fsdk::FSDKError::Internal, nullptr};
    }
}

}  // namespace tsdk
