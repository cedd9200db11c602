// Cost of our SDK's neural person detection against OpenCV's bare forward
// pass of the same network, and of the tracker's frames between detector
// runs, on frames of OpenCV's pedestrian sample clip. All on one thread, as
// one stream runs.
//
// The detection stage's overhead is DetectionStage / BareForward at the same
// frame size, from one run:
//   scripts/detection-cost.sh

#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ClipFrames.h"
#include "Video.h"
#include "track/Shrink.h"
#include "track/association/FlowFollower.h"
#include "track/association/StreamTracker.h"
#include "track/detection/NeuralDetector.h"
#include "track/engine/Config.h"

namespace {

using tsdk::detail::Detection;
using tsdk::detail::EngineConfig;

// The clip is 768 x 576 at 10 frames a second; the frame timed alone is one
// with several people in view.
constexpr int kStillFrame = 50;
// Frames the tracker benchmarks play before they start again: 21 detector
// cycles of 7.
constexpr int kPlayedFrames = 147;
constexpr int kStep = 7;

// The settings the plug-in's wrapper writes, detector every kStep frames.
EngineConfig Config()
{
    EngineConfig config;
    config.detectorStep = kStep;
    config.skipFrames = 18;
    config.inactiveTracksLifetime = 50;
    config.scaleResultSize = 640;
    config.minimalTrackLength = 1;
    config.neural.model = QEL_CENTERNET_ONNX;
    return config;
}

using QelBench::ReadClip;
using QelBench::Sized;

const cv::Mat& StillFrame(cv::Size size)
{
    static std::map<std::pair<int, int>, cv::Mat> frames;
    static const cv::Mat clipFrame = ReadClip(kStillFrame + 1).back();
    cv::Mat& frame = frames[{size.width, size.height}];
    if (frame.empty()) frame = Sized(clipFrame, size);
    return frame;
}

// The clip's first frames at 640 x 360.
const std::vector<cv::Mat>& Clip360()
{
    static const std::vector<cv::Mat> frames = [] {
        std::vector<cv::Mat> out = ReadClip(kPlayedFrames);
        for (cv::Mat& frame : out) frame = Sized(frame, cv::Size(640, 360));
        return out;
    }();
    return frames;
}

fsdk::Image ImageOf(const cv::Mat& frame)
{
    return fsdk::Image(frame.cols, frame.rows, fsdk::Format::R8G8B8, frame.data, false);
}

std::shared_ptr<tsdk::detail::NeuralNetwork> Network()
{
    static const std::shared_ptr<tsdk::detail::NeuralNetwork> network = [] {
        std::string error;
        auto loaded = tsdk::detail::NeuralNetwork::Load(Config().neural, error);
        if (!loaded) throw std::runtime_error(error);
        return loaded;
    }();
    return network;
}

std::string SizeLabel(cv::Size frame, cv::Size input)
{
    return "frame " + std::to_string(frame.width) + "x" + std::to_string(frame.height) + ", input " +
           std::to_string(input.width) + "x" + std::to_string(input.height);
}

// The blob the detector makes of `frame`, and the network read from the same
// file, set up as the detector sets it up.
cv::Mat DetectorBlob(const cv::Mat& frame)
{
    cv::Mat blob;
    tsdk::detail::Shrinker shrinker;
    cv::dnn::blobFromImage(shrinker.Shrink(frame, Network()->InputSize(frame.cols, frame.rows)), blob, 1.0, cv::Size(),
                           cv::Scalar(), false, false, CV_32F);
    return blob;
}

cv::dnn::Net BareNetwork()
{
    cv::dnn::Net net = cv::dnn::readNetFromONNX(QEL_CENTERNET_ONNX);
    net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    return net;
}

// The two heads by name, heat then sizes, told apart by their channels as
// the detector does; runs one pass on `blob`.
std::vector<std::string> HeadNames(cv::dnn::Net& net, const cv::Mat& blob)
{
    std::vector<std::string> names(2);
    const std::vector<std::string> all = net.getUnconnectedOutLayersNames();
    std::vector<cv::Mat> outputs;
    net.setInput(blob);
    net.forward(outputs, all);
    for (size_t i = 0; i < outputs.size(); ++i) {
        if (outputs[i].dims == 4 && outputs[i].size[1] == 80) names[0] = all[i];
        if (outputs[i].dims == 4 && outputs[i].size[1] == 4) names[1] = all[i];
    }
    if (names[0].empty() || names[1].empty()) throw std::runtime_error("not the CenterNet heads");
    return names;
}

// OpenCV alone: the network read from the same file, set up as the
// detector sets it up, on the blob the detector makes of the frame.
void BM_BareForward(benchmark::State& state)
{
    const cv::Size frameSize(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    const cv::Mat& frame = StillFrame(frameSize);
    const cv::Size input = Network()->InputSize(frame.cols, frame.rows);
    const cv::Mat blob = DetectorBlob(frame);

    cv::dnn::Net net = BareNetwork();
    const std::vector<std::string> names = HeadNames(net, blob);
    std::vector<cv::Mat> outputs;
    for (auto _ : state) {
        net.setInput(blob);
        net.forward(outputs, names);
        benchmark::DoNotOptimize(outputs[0].data);
        // Held outputs slow the next pass down.
        outputs.clear();
    }
    state.SetLabel(SizeLabel(frameSize, input));
}

// The bare forward pass on N streams' frames in one batch, on one thread as
// the engine's workers run it; cpu_per_image is CPU time over N. Before
// timing, the batch's heads are checked against N single passes: heat_diff
// and size_diff are the largest absolute differences.
void BM_BatchForward(benchmark::State& state)
{
    const int count = static_cast<int>(state.range(0));
    const auto& clip = Clip360();
    // Distinct frames, as different streams would bring.
    std::vector<cv::Mat> frames;
    for (int i = 0; i < count; ++i) frames.push_back(clip[static_cast<size_t>(i * kStep) % clip.size()]);
    const cv::Size input = Network()->InputSize(frames[0].cols, frames[0].rows);
    std::vector<cv::Mat> resized(frames.size());
    for (size_t i = 0; i < frames.size(); ++i) cv::resize(frames[i], resized[i], input, 0, 0, cv::INTER_AREA);
    cv::Mat blob;
    cv::dnn::blobFromImages(resized, blob, 1.0, cv::Size(), cv::Scalar(), false, false, CV_32F);

    cv::dnn::Net net = BareNetwork();
    std::vector<cv::Mat> outputs;
    std::vector<std::string> names;
    std::vector<cv::Mat> single(2 * frames.size());
    try {
        names = HeadNames(net, DetectorBlob(frames[0]));
        for (size_t i = 0; i < frames.size(); ++i) {
            net.setInput(DetectorBlob(frames[i]));
            net.forward(outputs, names);
            single[2 * i] = outputs[0].clone();
            single[2 * i + 1] = outputs[1].clone();
        }
        net.setInput(blob);
        net.forward(outputs, names);
    } catch (const cv::Exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    double diff[2] = {0, 0};
    for (int head = 0; head < 2; ++head) {
        const cv::Mat& batch = outputs[static_cast<size_t>(head)];
        if (batch.dims != 4 || batch.size[0] != count) {
            state.SkipWithError("the batch's heads do not hold one image each");
            return;
        }
        for (int i = 0; i < count; ++i) {
            const cv::Mat& one = single[2 * static_cast<size_t>(i) + static_cast<size_t>(head)];
            // Image i of the batch as a 1 x C x H x W view.
            const cv::Mat part(one.dims, one.size.p, CV_32F, const_cast<float*>(batch.ptr<float>(i)));
            if (part.total() != one.total() || one.size[0] != 1) {
                state.SkipWithError("the batch's heads differ in shape from a single pass's");
                return;
            }
            diff[head] = std::max(diff[head], cv::norm(part, one, cv::NORM_INF));
        }
    }
    outputs.clear();

    for (auto _ : state) {
        net.setInput(blob);
        net.forward(outputs, names);
        benchmark::DoNotOptimize(outputs[0].data);
        // Held outputs slow the next pass down.
        outputs.clear();
    }
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["cpu_per_image"] =
        benchmark::Counter(count, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["heat_diff"] = diff[0];
    state.counters["size_diff"] = diff[1];
    state.SetLabel(SizeLabel(frames[0].size(), input) + ", batch " + std::to_string(count));
}
BENCHMARK(BM_BatchForward)->ArgName("batch")->Arg(1)->Arg(2)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond);

// One detector run of our SDK: resize, blob, forward, decode, suppression.
void BM_DetectionStage(benchmark::State& state)
{
    const cv::Size frameSize(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    const cv::Mat& frame = StillFrame(frameSize);
    const EngineConfig config = Config();
    auto detector = tsdk::detail::CreateNeuralDetector(config, Network());
    const fsdk::Image image = ImageOf(frame);
    std::vector<Detection> out;
    out.reserve(static_cast<size_t>(config.maxDetectionCount));
    detector->Detect(image, out);  // sizes the scratch memory
    for (auto _ : state) {
        detector->Detect(image, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["people"] = static_cast<double>(out.size());
    state.SetLabel(SizeLabel(frameSize, Network()->InputSize(frame.cols, frame.rows)));
}

// The detection stage less the forward pass, done as the detector does it:
// resize, blob, and decoding the heads of one pass kept aside. Small
// beside the pass, so measured alone to tell the overhead more exactly
// than the difference of the two.
void BM_StageOverhead(benchmark::State& state)
{
    const cv::Size frameSize(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    const cv::Mat& frame = StillFrame(frameSize);
    const EngineConfig config = Config();
    const cv::Size input = Network()->InputSize(frame.cols, frame.rows);
    cv::Mat blob = DetectorBlob(frame);  // remade in the loop as the detector makes them
    tsdk::detail::Shrinker shrinker;
    cv::dnn::Net net = BareNetwork();
    const std::vector<std::string> all = net.getUnconnectedOutLayersNames();
    std::vector<cv::Mat> outputs;
    net.setInput(blob);
    net.forward(outputs, all);
    cv::Mat heat, sizes;
    for (size_t i = 0; i < outputs.size(); ++i) {
        if (outputs[i].dims == 4 && outputs[i].size[1] == 80) heat = outputs[i].clone();
        if (outputs[i].dims == 4 && outputs[i].size[1] == 4) sizes = outputs[i].clone();
    }
    outputs.clear();
    const float threshold = static_cast<float>(config.neural.scorePercent) / 100.f;
    const float overlap = static_cast<float>(config.neural.overlapPercent) / 100.f;
    const float scaleX = static_cast<float>(frame.cols) / static_cast<float>(input.width);
    const float scaleY = static_cast<float>(frame.rows) / static_cast<float>(input.height);
    std::vector<Detection> out;
    const int64_t part = state.range(2);
    for (auto _ : state) {
        if (part != 2) {
            cv::dnn::blobFromImage(shrinker.Shrink(frame, input), blob, 1.0, cv::Size(), cv::Scalar(), false, false,
                                   CV_32F);
            benchmark::DoNotOptimize(blob.data);
        }
        if (part != 1)
            tsdk::detail::DecodePeople(heat, sizes, threshold, overlap, scaleX, scaleY, config.maxDetectionCount, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetLabel(SizeLabel(frameSize, input) + (part == 0 ? ", all" : part == 1 ? ", resize+blob" : ", decode"));
}

void FrameSizes(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"width", "height"});
    b->Args({768, 576})->Args({640, 360})->Args({1920, 1080});
    b->Unit(benchmark::kMillisecond);
}
BENCHMARK(BM_BareForward)->Apply(FrameSizes);
// Both cores at it, as under many streams: each pass then shares the caches
// and the memory's bandwidth with the other; cpu_time is one pass's CPU.
BENCHMARK(BM_BareForward)->ArgNames({"width", "height"})->Args({640, 360})->Threads(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DetectionStage)->Apply(FrameSizes);
// part 0: all of it, 1: resize and blob, 2: decode.
BENCHMARK(BM_StageOverhead)
    ->ArgNames({"width", "height", "part"})
    ->ArgsProduct({{768}, {576}, {0, 1, 2}})
    ->Args({640, 360, 0})
    ->Args({1920, 1080, 0})
    ->Args({1920, 1080, 1})
    ->Unit(benchmark::kMicrosecond);

// Plays the 640 x 360 clip through a tracker with the neural detector as
// one stream; Restart starts a new stream.
class Stream {
public:
    Stream() : m_config(Config()) { Restart(); }

    void Restart()
    {
        m_tracker = std::make_unique<tsdk::detail::StreamTracker>(
            m_config, m_ids, tsdk::detail::CreateNeuralDetector(m_config, Network()));
        m_next = 0;
        // Two detector cycles, so that tracks exist and are confirmed; the
        // next frame starts a cycle.
        while (m_next < 2 * kStep) Next();
    }
    bool AtEnd() const { return m_next == Clip360().size(); }
    // Whether the detector runs on the frame Next tracks.
    bool DetectsNext() const { return m_next % kStep == 0; }

    // Tracks the next frame; answers whether the detector ran.
    bool Next()
    {
        const fsdk::Image image = ImageOf(Clip360()[m_next++]);
        m_objects.clear();
        m_finished.clear();
        const bool detected = m_tracker->Process(image, m_objects, m_finished);
        benchmark::DoNotOptimize(m_objects.data());
        return detected;
    }
    size_t Tracks() const { return m_tracker->TrackCount(); }

private:
    const EngineConfig m_config;
    tsdk::detail::TrackIdSource m_ids;
    std::unique_ptr<tsdk::detail::StreamTracker> m_tracker;
    size_t m_next = 0;
    std::vector<tsdk::TrackedObject> m_objects;
    std::vector<int32_t> m_finished;
};

// One tracker frame between detector runs (6 of every 7): flow, filters,
// no detector. The detector's frames and new streams run untimed.
void BM_FollowFrame(benchmark::State& state)
{
    Stream stream;
    double tracks = 0;
    for (auto _ : state) {
        if (stream.AtEnd() || stream.DetectsNext()) {
            state.PauseTiming();
            if (stream.AtEnd()) stream.Restart();
            if (stream.DetectsNext()) stream.Next();
            state.ResumeTiming();
        }
        if (stream.Next()) state.SkipWithError("the detector ran on a timed frame");
        tracks += static_cast<double>(stream.Tracks());
    }
    state.counters["tracks"] = benchmark::Counter(tracks, benchmark::Counter::kAvgIterations);
    state.SetLabel("640x360, frames without the detector");
}
BENCHMARK(BM_FollowFrame)->Unit(benchmark::kMicrosecond);

// Whole detector cycles: 7 frames an iteration, the detector on the first;
// frame_time is the mean cost of a frame. New streams run untimed.
void BM_TrackCycle(benchmark::State& state)
{
    Stream stream;
    for (auto _ : state) {
        if (stream.AtEnd()) {
            state.PauseTiming();
            stream.Restart();
            state.ResumeTiming();
        }
        for (int f = 0; f < kStep; ++f) stream.Next();
    }
    state.counters["frame_time"] =
        benchmark::Counter(kStep, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.SetLabel("640x360, 7 frames an iteration, detector on 1");
}
BENCHMARK(BM_TrackCycle)->Unit(benchmark::kMillisecond);

// The flow follower alone: one frame in and N boxes followed, the boxes
// being the people the detector finds on the clip's first frame, repeated
// up to N.
void BM_FlowFollower(benchmark::State& state)
{
    const auto& clip = Clip360();
    const EngineConfig config = Config();
    std::vector<Detection> people;
    tsdk::detail::CreateNeuralDetector(config, Network())->Detect(ImageOf(clip[0]), people);
    if (people.empty()) {
        state.SkipWithError("no people on the first frame");
        return;
    }
    const size_t count = static_cast<size_t>(state.range(0));
    std::vector<fsdk::Rect> start(count);
    for (size_t i = 0; i < count; ++i) start[i] = people[i % people.size()].box;
    std::vector<fsdk::Rect> boxes = start;
    tsdk::detail::FlowFollower follower;
    follower.NextFrame(ImageOf(clip[0]));
    size_t next = 1;
    double followed = 0;
    for (auto _ : state) {
        if (next == clip.size()) {
            state.PauseTiming();
            follower.Reset();
            follower.NextFrame(ImageOf(clip[0]));
            boxes = start;
            next = 1;
            state.ResumeTiming();
        }
        follower.NextFrame(ImageOf(clip[next++]));
        for (fsdk::Rect& box : boxes) {
            fsdk::Rect moved;
            if (follower.Follow(box, moved)) {
                box = moved;
                followed += 1;
            }
        }
    }
    state.counters["followed"] = benchmark::Counter(followed, benchmark::Counter::kAvgIterations);
    state.SetLabel("640x360, people of frame 0: " + std::to_string(people.size()));
}
BENCHMARK(BM_FlowFollower)->ArgName("tracks")->Arg(1)->Arg(4)->Arg(8)->Arg(16)->Unit(benchmark::kMicrosecond);

// A frame into the flow follower with nobody to follow: its grey copy at
// the working size and the pyramid, what every followed frame costs before
// its first box.
void BM_FlowFrame(benchmark::State& state)
{
    const cv::Size size(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    const cv::Mat frames[2] = {StillFrame(size), Sized(ReadClip(kStillFrame + 2).back(), size)};
    tsdk::detail::FlowFollower follower;
    size_t next = 0;
    for (auto _ : state) {
        if (!follower.NextFrame(ImageOf(frames[next]))) state.SkipWithError("the frame was refused");
        next = 1 - next;
    }
    state.SetLabel("frame " + std::to_string(size.width) + "x" + std::to_string(size.height));
}
BENCHMARK(BM_FlowFrame)
    ->ArgNames({"width", "height"})
    ->Args({640, 360})
    ->Args({1920, 1080})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv)
{
    // One stream's work runs on one thread.
    cv::setNumThreads(1);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
