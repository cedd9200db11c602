#pragma once
// People found by a neural network: a COCO-trained CenterNet run by OpenCV's
// DNN module on the whole frame, scaled to the network's input at the
// frame's own aspect. The network is read and checked once per engine; its
// instances run one forward pass each at a time and are shared by the
// streams of the engine.

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "track/detection/Detector.h"

namespace tsdk::detail {

struct NeuralDetectorConfig;

class NeuralNetwork {
public:
    // Reads and checks the model file; answers null with the reason in
    // `error` when it is missing or not a network of the expected heads.
    static std::shared_ptr<NeuralNetwork> Load(const NeuralDetectorConfig& config, std::string& error);

    // The network's input for a frame of this size: its larger side scaled
    // to input-size, both sides a multiple of the network's stride.
    cv::Size InputSize(int width, int height) const noexcept;

    // Runs the network on `blob` (1 x 3 x H x W, RGB 0-255) and decodes its
    // people into `out`, boxes scaled by `scaleX`, `scaleY` to the frame.
    void Detect(const cv::Mat& blob, float threshold, float overlap, float scaleX, float scaleY, int maxCount,
                std::vector<Detection>& out);

    const NeuralDetectorConfig& Config() const noexcept { return *m_config; }
    // Instances of the network made so far: one per forward pass running at
    // once, at most one per core, however many workers the engine has.
    int Instances() const;

private:
    NeuralNetwork() = default;
    cv::dnn::Net Take();
    void Give(cv::dnn::Net net);

    std::shared_ptr<const NeuralDetectorConfig> m_config;
    std::vector<uchar> m_model;  // the file, for more instances
    mutable std::mutex m_mutex;
    std::condition_variable m_given;
    std::vector<cv::dnn::Net> m_idle;
    int m_instances = 0;
    int m_maxInstances = 1;
    std::string m_heatName;
    std::string m_sizeName;
};

// Peaks of the person heat map (N=1) at or above `threshold`, as boxes in
// pixels of a frame `scaleX`, `scaleY` times the network's input; then
// non-maximum suppression at `overlap`, best first, at most `maxCount`.
void DecodePeople(const cv::Mat& heat, const cv::Mat& sizes, float threshold, float overlap, float scaleX, float scaleY,
                  int maxCount, std::vector<Detection>& out);

// People riding a bicycle or a motorcycle found in the heat maps: their
// boxes grow to take it in, as a rider moves with what they ride.
void JoinRides(const cv::Mat& heat, const cv::Mat& sizes, float threshold, float scaleX, float scaleY,
               std::vector<Detection>& people);

std::unique_ptr<IDetector> CreateNeuralDetector(const EngineConfig& config, std::shared_ptr<NeuralNetwork> network);

}  // namespace tsdk::detail
