// Our SDK's neural detector as the tracker uses it: the network's input at
// the frame's own aspect, and the same people whichever order the colour
// channels of the picture come in.

#include <gtest/gtest.h>

#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "Video.h"
#include "track/Shrink.h"
#include "track/detection/NeuralDetector.h"
#include "track/engine/Config.h"

namespace {

using tsdk::detail::Detection;
using tsdk::detail::EngineConfig;
using tsdk::detail::NeuralNetwork;

std::shared_ptr<NeuralNetwork> Load(EngineConfig& config)
{
    config.neural.model = std::string(QEL_MODULE_DIR) + "/QelSdk/gpu/data/centernet.onnx";
    std::string error;
    auto network = NeuralNetwork::Load(config.neural, error);
    EXPECT_TRUE(network) << error;
    return network;
}

TEST(NeuralDetector, TheInputKeepsTheFramesAspectAndSmallPicturesTheirSize)
{
    EngineConfig config;
    const auto network = Load(config);
    ASSERT_TRUE(network);
    EXPECT_EQ(network->InputSize(768, 432), cv::Size(512, 288));
    EXPECT_EQ(network->InputSize(1920, 1080), cv::Size(512, 288));
    EXPECT_EQ(network->InputSize(640, 480), cv::Size(512, 384));
    EXPECT_EQ(network->InputSize(480, 640), cv::Size(384, 512));
    EXPECT_EQ(network->InputSize(96, 54), cv::Size(96, 64));
    EXPECT_EQ(network->InputSize(1, 1), cv::Size(32, 32));
}

TEST(NeuralDetector, FindsThePeopleOfARealFrameInRgbAndBgrAlike)
{
    EngineConfig config;
    const auto network = Load(config);
    ASSERT_TRUE(network);
    QelTrack::VideoReader reader(QEL_VTEST_AVI);
    QelTrack::RgbFrame frame;
    for (int f = 0; f < 60; ++f) ASSERT_TRUE(reader.Next(frame));
    std::vector<uint8_t> bgr = frame.rgb;
    for (size_t i = 0; i + 2 < bgr.size(); i += 3) std::swap(bgr[i], bgr[i + 2]);
    const fsdk::Image rgbImage(frame.width, frame.height, fsdk::Format::R8G8B8, frame.rgb.data(), false);
    const fsdk::Image bgrImage(frame.width, frame.height, fsdk::Format::B8G8R8, bgr.data(), false);

    auto detector = tsdk::detail::CreateNeuralDetector(config, network);
    ASSERT_TRUE(detector);
    std::vector<Detection> fromRgb, fromBgr;
    detector->Detect(rgbImage, fromRgb);
    detector->Detect(bgrImage, fromBgr);
    // Several people walk across the square at once; the network is sure
    // of most of them.
    const auto confident =
        std::count_if(fromRgb.begin(), fromRgb.end(), [](const Detection& d) { return d.score >= 0.5f; });
    EXPECT_GE(confident, 3);
    // The network itself, fed the frame as RGB, is as sure of its best.
    ASSERT_FALSE(fromRgb.empty());
    cv::Mat blob;
    const cv::Mat rgb(frame.height, frame.width, CV_8UC3, frame.rgb.data());
    tsdk::detail::Shrinker shrinker;
    const cv::Mat& resized = shrinker.Shrink(rgb, network->InputSize(frame.width, frame.height));
    cv::dnn::blobFromImage(resized, blob, 1.0, cv::Size(), cv::Scalar(), false, false, CV_32F);
    cv::dnn::Net net = cv::dnn::readNetFromONNX(config.neural.model);
    net.setInput(blob);
    std::vector<cv::Mat> heads;
    net.forward(heads, net.getUnconnectedOutLayersNames());
    const cv::Mat& heat = heads[0].size[1] == 80 ? heads[0] : heads[1];
    const cv::Mat person(heat.size[2], heat.size[3], CV_32F, const_cast<float*>(heat.ptr<float>()));
    double best = 0;
    cv::minMaxLoc(person, nullptr, &best);
    EXPECT_NEAR(fromRgb[0].score, best, 1e-5);
    ASSERT_EQ(fromRgb.size(), fromBgr.size());
    for (size_t i = 0; i < fromRgb.size(); ++i) {
        EXPECT_FLOAT_EQ(fromRgb[i].score, fromBgr[i].score) << i;
        EXPECT_FLOAT_EQ(fromRgb[i].box.x, fromBgr[i].box.x) << i;
        EXPECT_FLOAT_EQ(fromRgb[i].box.height, fromBgr[i].box.height) << i;
        // Those it is sure of stand upright.
        if (fromRgb[i].score >= 0.5f) {
            EXPECT_GT(fromRgb[i].box.height, fromRgb[i].box.width) << i;
        }
    }
    // An empty picture of the same size holds no one.
    const std::vector<uint8_t> grey(frame.rgb.size(), 128);
    std::vector<Detection> none;
    detector->Detect(fsdk::Image(frame.width, frame.height, fsdk::Format::R8G8B8, grey.data(), false), none);
    EXPECT_TRUE(std::none_of(none.begin(), none.end(), [](const Detection& d) { return d.score >= 0.3f; }));
}

TEST(NeuralDetector, NoMorePassesRunAtOnceThanThereAreCores)
{
    // Four workers detect at once; on a machine of fewer cores, some wait
    // for an instance of the network rather than make one more.
    EngineConfig config;
    const auto network = Load(config);
    const int shape[] = {1, 3, 64, 64};
    const cv::Mat blob(4, shape, CV_32F, cv::Scalar(0));
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w)
        workers.emplace_back([&] {
            std::vector<Detection> found;
            for (int i = 0; i < 3; ++i) network->Detect(blob, 0.1f, 0.5f, 1.f, 1.f, 16, found);
        });
    for (std::thread& worker : workers) worker.join();
    EXPECT_GE(network->Instances(), 1);
    EXPECT_LE(network->Instances(), static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
}

}  // namespace
