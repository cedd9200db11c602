#include "track/detection/NeuralDetector.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <thread>

#include "track/Boxes.h"
#include "track/Shrink.h"
#include "track/engine/Config.h"

namespace tsdk::detail {
namespace {

// The network's output stride, and the multiple its input sides must be.
constexpr int kStride = 4;
constexpr int kInputMultiple = 32;
constexpr int kClasses = 80;  // COCO; the person is the first
constexpr int kBicycle = 1;
constexpr int kMotorcycle = 3;
// A ride and its rider overlap by at least this share of the smaller box;
// a ride covers at most this many times its rider's area.
constexpr float kMinRideShare = 0.3f;
constexpr float kMaxRideArea = 4.f;
// The share of the smaller of two detections inside the larger that makes
// them one person.
constexpr float kPartOfOne = 0.7f;

class NeuralDetector final : public IDetector {
public:
    NeuralDetector(const EngineConfig& config, std::shared_ptr<NeuralNetwork> network)
        : m_network(std::move(network)), m_maxCount(config.maxDetectionCount)
    {
    }

    void Detect(const fsdk::Image& image, std::vector<Detection>& out) override
    {
        out.clear();
        const int bpp = image.getBytesPerPixel();
        if (!image.isValid() || bpp < 3 || image.getData() == nullptr) return;
        const cv::Mat frame(image.getHeight(), image.getWidth(), CV_8UC(bpp), const_cast<void*>(image.getData()),
                            static_cast<size_t>(image.getRowSize()));
        if (!Addressable(frame)) return;
        const cv::Size input = m_network->InputSize(frame.cols, frame.rows);
        const cv::Mat& resized = m_shrinker.Shrink(frame, input);
        if (bpp == 4)
            cv::cvtColor(resized, m_resized, cv::COLOR_RGBA2RGB);
        else
            m_resized = resized;
        // The network wants RGB: a BGR picture has its channels swapped.
        const fsdk::Format format = image.getFormat();
        const bool bgr = format == fsdk::Format::B8G8R8 || format == fsdk::Format::B8G8R8X8;
        cv::dnn::blobFromImage(m_resized, m_blob, 1.0, cv::Size(), cv::Scalar(), bgr, false, CV_32F);
        const NeuralDetectorConfig& settings = m_network->Config();
        m_network->Detect(m_blob, static_cast<float>(settings.scorePercent) / 100.f,
                          static_cast<float>(settings.overlapPercent) / 100.f,
                          static_cast<float>(frame.cols) / static_cast<float>(input.width),
                          static_cast<float>(frame.rows) / static_cast<float>(input.height), m_maxCount, out);
    }

private:
    const std::shared_ptr<NeuralNetwork> m_network;
    const int m_maxCount;
    Shrinker m_shrinker;
    cv::Mat m_resized;
    cv::Mat m_blob;
};

}  // namespace

std::shared_ptr<NeuralNetwork> NeuralNetwork::Load(const NeuralDetectorConfig& config, std::string& error)
{
    std::ifstream file(config.model, std::ios::binary);
    if (!file) {
        error = "cannot read '" + config.model + "'";
        return nullptr;
    }
    std::shared_ptr<NeuralNetwork> network(new NeuralNetwork);
    network->m_config = std::make_shared<const NeuralDetectorConfig>(config);
    network->m_model.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (network->m_model.empty()) {
        error = "'" + config.model + "' is empty";
        return nullptr;
    }
    try {
        cv::dnn::Net net = cv::dnn::readNetFromONNX(network->m_model);
        if (net.empty()) {
            error = "'" + config.model + "' holds no network";
            return nullptr;
        }
        net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
        net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
        // One small pass tells which output is which, and that both are
        // the heads expected.
        const int side = 2 * kInputMultiple;
        const int shape[] = {1, 3, side, side};
        net.setInput(cv::Mat(4, shape, CV_32F, cv::Scalar(0)));
        const std::vector<std::string> names = net.getUnconnectedOutLayersNames();
        std::vector<cv::Mat> outputs;
        net.forward(outputs, names);
        for (size_t i = 0; i < outputs.size(); ++i) {
            const cv::Mat& o = outputs[i];
            if (o.dims != 4 || o.size[0] != 1 || o.size[2] != side / kStride || o.size[3] != side / kStride) continue;
            if (o.size[1] == kClasses) network->m_heatName = names[i];
            if (o.size[1] == 4) network->m_sizeName = names[i];
        }
        if (network->m_heatName.empty() || network->m_sizeName.empty()) {
            error = "'" + config.model + "' is not a CenterNet with a heat map of 80 classes and box sizes";
            return nullptr;
        }
        outputs.clear();
        network->m_idle.push_back(net);
        network->m_instances = 1;
        network->m_maxInstances = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    } catch (const cv::Exception& e) {
        error = "'" + config.model + "' is not a network OpenCV can run: " + e.err;
        return nullptr;
    }
    return network;
}

cv::Size NeuralNetwork::InputSize(int width, int height) const noexcept
{
    const int larger = std::max(std::max(width, height), 1);
    // A small picture is not blown up to the full input: that would cost
    // the network's full price for nothing it could not see at its own size.
    const int target = larger < m_config->inputSize / 2 ? larger : m_config->inputSize;
    auto side = [&](int length) {
        const int64_t scaled = (int64_t{length} * target + larger / 2) / larger;
        return static_cast<int>(
            std::max<int64_t>(kInputMultiple, (scaled + kInputMultiple / 2) / kInputMultiple * kInputMultiple));
    };
    return {side(width), side(height)};
}

cv::dnn::Net NeuralNetwork::Take()
{
    {
        // Each pass runs on one core: more at once than there are cores
        // would only take turns, each holding its own buffers.
        std::unique_lock<std::mutex> lock(m_mutex);
        m_given.wait(lock, [&] { return !m_idle.empty() || m_instances < m_maxInstances; });
        if (!m_idle.empty()) {
            cv::dnn::Net net = m_idle.back();
            m_idle.pop_back();
            return net;
        }
        ++m_instances;
    }
    // Another stream's pass is running: a new instance of the checked model.
    try {
        cv::dnn::Net net = cv::dnn::readNetFromONNX(m_model);
        net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
        net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
        return net;
    } catch (...) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            --m_instances;
        }
        m_given.notify_one();
        throw;
    }
}

void NeuralNetwork::Give(cv::dnn::Net net)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_idle.push_back(std::move(net));
    }
    m_given.notify_one();
}

int NeuralNetwork::Instances() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_instances;
}

void NeuralNetwork::Detect(const cv::Mat& blob, float threshold, float overlap, float scaleX, float scaleY,
                           int maxCount, std::vector<Detection>& out)
{
    cv::dnn::Net net = Take();
    try {
        net.setInput(blob);
        // The outputs go before the next pass: held, they slow it down.
        std::vector<cv::Mat> outputs;
        net.forward(outputs, std::vector<std::string>{m_heatName, m_sizeName});
        DecodePeople(outputs[0], outputs[1], threshold, overlap, scaleX, scaleY, maxCount, out);
        if (m_config->riders) JoinRides(outputs[0], outputs[1], threshold, scaleX, scaleY, out);
    } catch (...) {
        Give(std::move(net));
        throw;
    }
    Give(std::move(net));
}

namespace {

// Peaks of class `cls`'s heat map at or above `threshold`, as boxes in
// pixels of the frame.
void Peaks(const cv::Mat& heat, int cls, const cv::Mat& sizes, float threshold, float scaleX, float scaleY,
           std::vector<Detection>& out)
{
    const int rows = heat.size[2];
    const int cols = heat.size[3];
    const size_t plane = static_cast<size_t>(rows) * cols;
    const float* map = heat.ptr<float>() + static_cast<size_t>(cls) * plane;  // of the first image
    const float* distances = sizes.ptr<float>();
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols; ++x) {
            const float score = map[static_cast<size_t>(y) * cols + x];
            if (!(score >= threshold)) continue;
            // A peak is the largest of its 3 x 3 neighbourhood.
            bool peak = true;
            for (int dy = -1; dy <= 1 && peak; ++dy)
                for (int dx = -1; dx <= 1 && peak; ++dx) {
                    const int ny = y + dy, nx = x + dx;
                    if (ny < 0 || nx < 0 || ny >= rows || nx >= cols) continue;
                    peak = map[static_cast<size_t>(ny) * cols + nx] <= score;
                }
            if (!peak) continue;
            const size_t at = static_cast<size_t>(y) * cols + x;
            const float left = distances[at], top = distances[plane + at];
            const float right = distances[2 * plane + at], bottom = distances[3 * plane + at];
            const float cx = static_cast<float>(kStride * x), cy = static_cast<float>(kStride * y);
            Detection detection;
            detection.box.x = (cx - left) * scaleX;
            detection.box.y = (cy - top) * scaleY;
            detection.box.width = (left + right) * scaleX;
            detection.box.height = (top + bottom) * scaleY;
            detection.score = score;
            if (!(detection.box.width > 0.f) || !(detection.box.height > 0.f)) continue;
            out.push_back(detection);
        }
}

bool HeadsFit(const cv::Mat& heat, const cv::Mat& sizes, int classes)
{
    return heat.dims == 4 && sizes.dims == 4 && heat.size[1] >= classes && sizes.size[1] == 4 &&
           heat.size[2] == sizes.size[2] && heat.size[3] == sizes.size[3];
}

}  // namespace

void DecodePeople(const cv::Mat& heat, const cv::Mat& sizes, float threshold, float overlap, float scaleX, float scaleY,
                  int maxCount, std::vector<Detection>& out)
{
    out.clear();
    if (!HeadsFit(heat, sizes, 1)) return;
    std::vector<Detection> peaks;
    Peaks(heat, 0, sizes, threshold, scaleX, scaleY, peaks);
    std::stable_sort(peaks.begin(), peaks.end(),
                     [](const Detection& a, const Detection& b) { return a.score > b.score; });
    for (const Detection& candidate : peaks) {
        if (static_cast<int>(out.size()) >= maxCount) break;
        // One person is also a box mostly inside another: found once
        // whole and once in part (the upper body, a rider without the ride).
        const bool kept = std::none_of(out.begin(), out.end(), [&](const Detection& better) {
            const float common = CommonArea(better.box, candidate.box);
            return Overlap(better.box, candidate.box) > overlap ||
                   common >= kPartOfOne * std::min(Area(better.box), Area(candidate.box));
        });
        if (kept) out.push_back(candidate);
    }
}

void JoinRides(const cv::Mat& heat, const cv::Mat& sizes, float threshold, float scaleX, float scaleY,
               std::vector<Detection>& people)
{
    if (people.empty() || !HeadsFit(heat, sizes, kMotorcycle + 1)) return;
    std::vector<Detection> rides;
    Peaks(heat, kBicycle, sizes, threshold, scaleX, scaleY, rides);
    Peaks(heat, kMotorcycle, sizes, threshold, scaleX, scaleY, rides);
    std::vector<bool> taken(rides.size(), false);
    std::vector<bool> riding(people.size(), false);
    // Best people first; each ride is one person's.
    for (size_t p = 0; p < people.size(); ++p) {
        Detection& person = people[p];
        int best = -1;
        float bestShare = kMinRideShare;
        for (size_t r = 0; r < rides.size(); ++r) {
            const fsdk::Rect& ride = rides[r].box;
            // Nothing much larger than its rider is ridden: a car is not.
            if (taken[r] || Area(ride) > kMaxRideArea * Area(person.box)) continue;
            const float share = CommonArea(person.box, ride) / std::min(Area(person.box), Area(ride));
            if (share >= bestShare) {
                bestShare = share;
                best = static_cast<int>(r);
            }
        }
        if (best < 0) continue;
        taken[static_cast<size_t>(best)] = true;
        const fsdk::Rect& ride = rides[static_cast<size_t>(best)].box;
        const float left = std::min(person.box.x, ride.x), top = std::min(person.box.y, ride.y);
        const float right = std::max(person.box.x + person.box.width, ride.x + ride.width);
        const float bottom = std::max(person.box.y + person.box.height, ride.y + ride.height);
        person.box = {left, top, right - left, bottom - top};
        riding[p] = true;
    }
    // A rider found more than once, with the ride and in part or without
    // it, is one person: the box that takes in most of the ride, with the
    // best score.
    std::vector<size_t> order;
    for (size_t r = 0; r < people.size(); ++r)
        if (riding[r]) order.push_back(r);
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return Area(people[a].box) > Area(people[b].box); });
    std::vector<bool> gone(people.size(), false);
    for (const size_t r : order) {
        if (gone[r]) continue;
        for (size_t p = 0; p < people.size(); ++p) {
            if (p == r || gone[p] || Area(people[p].box) > Area(people[r].box)) continue;
            if (CommonArea(people[p].box, people[r].box) < kPartOfOne * Area(people[p].box)) continue;
            people[r].score = std::max(people[r].score, people[p].score);
            gone[p] = true;
        }
    }
    size_t kept = 0;
    for (size_t p = 0; p < people.size(); ++p)
        if (!gone[p]) people[kept++] = people[p];
    people.resize(kept);
    std::stable_sort(people.begin(), people.end(),
                     [](const Detection& a, const Detection& b) { return a.score > b.score; });
}

std::unique_ptr<IDetector> CreateNeuralDetector(const EngineConfig& config, std::shared_ptr<NeuralNetwork> network)
{
    if (!network) return nullptr;
    return std::make_unique<NeuralDetector>(config, std::move(network));
}

}  // namespace tsdk::detail
