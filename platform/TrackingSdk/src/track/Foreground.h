#pragma once
// What differs from the background of a fixed camera. Every pixel keeps a
// running mean colour and a running variance; a pixel far enough from its
// mean is foreground, unless it is only a darker copy of it (a shadow).
//
// The camera's exposure and white balance change over time, most of all
// when a dark or bright person fills much of the view. The model keeps its
// colours at the exposure it started with and, on every frame, estimates
// the tone curve per channel that maps them to the frame (the median of the
// frame's values for each background value), so that such a change is not
// taken for foreground.
//
// The model learns from every frame it is shown: background pixels at the
// background rate; foreground that no one follows, once it has stayed in
// place for ghost-frames, quickly (so that what was there when the model
// started, or what was left behind, fades in); foreground inside the kept
// boxes not at all (so that a person who stops is not learnt into the
// background).

#include <opencv2/core.hpp>

#include <array>
#include <vector>

#include "track/Config.h"

namespace tsdk::detail {

class ForegroundModel {
public:
    // Mask values. Weak foreground lies only half as far from the
    // background: what the colour of a shirt close to the wall behind it
    // leaves of a person; it counts where it touches true foreground.
    static constexpr uint8_t kBackground = 0;
    static constexpr uint8_t kShadow = 1;
    static constexpr uint8_t kWeak = 128;
    static constexpr uint8_t kForeground = 255;

    explicit ForegroundModel(const PersonDetectorConfig& config) : m_config(config) {}

    // Classifies `frame` (CV_8UC3) into `mask` (CV_8UC1 of the same size).
    // `keep` (CV_8UC1, non-zero where people are followed, or empty) stays
    // out of the exposure estimate. The first frame, or one of another
    // size, starts the model: all of it is background.
    void Classify(const cv::Mat& frame, const cv::Mat& keep, cv::Mat& mask);
    // Then learns from the frame just classified, `mask` as Classify left
    // it, and `keep`: kKeep where foreground is not to be learnt, kGhost
    // where it is to be learnt at once. `frames` is the number of frames
    // since the previous call.
    void Learn(const cv::Mat& frame, int frames, const cv::Mat& mask, const cv::Mat& keep);
    static constexpr uint8_t kKeep = 255;
    static constexpr uint8_t kGhost = 1;

    // Grey levels (CV_8UC1) of the frame last classified and of the
    // background as that frame shows it.
    const cv::Mat& FrameGrey() const noexcept { return m_frameGrey; }
    const cv::Mat& BackgroundGrey() const noexcept { return m_backgroundGrey; }

    // The label of one pixel (R, G, B bytes) at (x, y), by what has been
    // learnt so far; nothing is learnt. Only once the model is Ready, and
    // inside its Size.
    uint8_t Classify(const uint8_t* rgb, int x, int y) const;

    void Reset() noexcept
    {
        m_updates = 0;
        m_started = false;
    }
    int Updates() const noexcept { return m_updates; }
    bool Ready() const noexcept { return m_updates >= 1; }
    cv::Size Size() const { return m_mean.size(); }

private:
    using Curve = std::array<float, 256>;
    // A curve at every quarter of a grey level.
    static constexpr int kFine = 4;
    static constexpr int kFineSteps = 255 * kFine + 1;
    using FineCurve = std::array<float, kFineSteps>;

public:
    // The learnt state and the curves of the frame last classified, for the
    // tests that hold them to a reference bit for bit.
    const cv::Mat& Mean() const noexcept { return m_mean; }
    const cv::Mat& Variance() const noexcept { return m_variance; }
    const cv::Mat& Age() const noexcept { return m_age; }
    const cv::Mat& Distance() const noexcept { return m_distance; }
    const std::array<float, 256>& ToFrame(int c) const { return m_toFrame.at(static_cast<size_t>(c)); }
    const std::array<float, 256>& ToModel(int c) const { return m_toModel.at(static_cast<size_t>(c)); }
    const FineCurve& FineToFrame(int c) const { return m_expected.at(static_cast<size_t>(c)); }

private:
    // The background value `mean` of channel `c` as this frame shows it.
    float Expected(int c, float mean) const noexcept
    {
        const int i = static_cast<int>(mean * kFine + 0.5f);
        return m_expected[static_cast<size_t>(c)][static_cast<size_t>(i < 0             ? 0
                                                                      : i >= kFineSteps ? kFineSteps - 1
                                                                                        : i)];
    }

    // `background`, when given, receives the grey level of the background.
    inline uint8_t Label(const uint8_t* rgb, const float* mean, float variance, float& distance2,
                         uint8_t* background = nullptr) const;

    // The tone curves from the model's colours to the frame's, and back.
    void EstimateTone(const cv::Mat& frame, const cv::Mat& keep);

    const PersonDetectorConfig m_config;
    std::array<Curve, 3> m_toFrame{};
    std::array<Curve, 3> m_toModel{};
    std::array<FineCurve, 3> m_expected{};
    std::vector<int> m_histogram;
    cv::Mat m_mean;      // CV_32FC3
    cv::Mat m_variance;  // CV_32FC1, mean over the channels
    cv::Mat m_age;       // CV_16UC1, frames a pixel has been foreground that no one follows
    cv::Mat m_distance;  // CV_32FC1, of the frame last classified, squared
    cv::Mat m_frameGrey;
    cv::Mat m_backgroundGrey;
    int m_updates = 0;
    bool m_started = false;  // the first look taken, not yet counted
};

}  // namespace tsdk::detail
