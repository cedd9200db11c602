#pragma once
// OpenCV's HOG people detection (16 x 16 blocks of 8 x 8 cells every 8
// pixels, 9 unsigned orientation bins, Gaussian block weighting, L2-Hys)
// giving the hits of cv::HOGDescriptor::detectMultiScale with a group
// threshold of 1 and no mean-shift, without allocating once the largest
// image has been seen. Block histograms are made once per pyramid level and
// shared by every window that covers them.

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

namespace tsdk::detail {

class HogPeopleDetector {
public:
    // `svm`: the coefficients in the order of OpenCV's descriptor, then the
    // bias if present. Throws std::invalid_argument when the window is no
    // whole number of block steps or the coefficients do not fit it.
    HogPeopleDetector(cv::Size window, const std::vector<float>& svm);

    // OpenCV's trained detectors: 64 x 128 and Daimler's 48 x 96.
    static HogPeopleDetector Default();
    static HogPeopleDetector Daimler();

    cv::Size Window() const noexcept { return m_window; }
    size_t DescriptorSize() const noexcept { return m_svm.size(); }

    // The windows of `grey` (CV_8UC1) scoring at least `hitThreshold` at
    // `levels` scales of the pyramid `scale` apart, grouped as OpenCV groups
    // them, into `found` and their strongest scores into `weights` (both
    // replaced). No hits for an empty image or one smaller than the window;
    // std::invalid_argument for another type, a stride that is not positive
    // or fewer than one level.
    void DetectMultiScale(const cv::Mat& grey, std::vector<cv::Rect>& found, std::vector<double>& weights,
                          double hitThreshold, cv::Size winStride, double scale, int levels);

    // The windows of the last DetectMultiScale before grouping, in the
    // order found, in image pixels and not clipped to it.
    void Candidates(std::vector<cv::Rect>& found, std::vector<double>& weights) const;

    // `src` (CV_8UC1, at least 2 x 2) resized to `size` as OpenCV's exact
    // bilinear resize (INTER_LINEAR_EXACT) does it, as for the pyramid;
    // valid until the next call.
    const cv::Mat& Resize(const cv::Mat& src, cv::Size size);

    // The score of every window of `grey` taken as it is, row by row, and
    // where each one is.
    void Scores(const cv::Mat& grey, cv::Size winStride, std::vector<cv::Point>& at, std::vector<double>& scores);

    // The descriptor of the window at `at` of `grey` taken as it is, laid out
    // as OpenCV's. `at` must be a multiple of `winStride`.
    void Descriptor(const cv::Mat& grey, cv::Point at, cv::Size winStride, std::vector<float>& descriptor);

    // For tests: the vectors every x86-64 has, even where AVX2 is there.
    // Both give the same descriptors; scores differ by rounding.
    static void BaselineOnly(bool on) noexcept;
    // Whether detection now runs on AVX2.
    static bool Avx2() noexcept;

private:
    struct Hit {
        cv::Rect box;
        double score;
    };

    // Gradients, block histograms and their normalisation of one level.
    void Blocks(const cv::Mat& level, cv::Size cacheStride);
    // Calls `hit(x, y, score)` for each window at or above `threshold`.
    template <typename OnHit>
    void Windows(cv::Size winStride, double threshold, OnHit&& hit);
    void ResizeInto(const cv::Mat& src, cv::Size size, std::vector<uint8_t>& buffer, cv::Mat& dst);
    void Group();

    cv::Size m_window;
    int m_blocksX = 0, m_blocksY = 0;  // per window
    // Our block order and layout.
    std::vector<float> m_svm;
    double m_bias = 0;

    // Per level, grown only.
    cv::Size m_cacheStride, m_levelSize;
    int m_gridX = 0, m_gridY = 0;  // block positions in the level
    std::vector<uint8_t> m_levelBuf, m_resizedBuf;
    cv::Mat m_level, m_resized;
    std::vector<int16_t> m_rowDx, m_rowDy;
    std::vector<float> m_planes;  // a row's magnitudes by bin and pixel phase
    std::vector<float> m_rows;    // horizontal sums of the last block height of rows
    std::vector<float> m_blocks;  // [block row][channel][block column]
    std::vector<float> m_windowRow;
    // Resizing.
    std::vector<int> m_xOffset, m_yOffset;
    std::vector<uint16_t> m_xCoeff, m_yCoeff;
    std::vector<uint16_t> m_lines;
    // Hits and their grouping.
    std::vector<Hit> m_hits;
    std::vector<int> m_parent, m_label, m_count;
    std::vector<cv::Rect2d> m_sums;
    std::vector<double> m_best;
    std::vector<cv::Rect> m_groups;
};

}  // namespace tsdk::detail
