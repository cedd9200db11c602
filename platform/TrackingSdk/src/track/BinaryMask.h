#pragma once
// Opening, closing and labelling of the person detector's binary masks with
// the results of cv::morphologyEx and cv::connectedComponentsWithStats, but
// with scratch memory kept from one frame to the next: once the mask size
// has been seen, nothing is allocated.

#include <opencv2/core/mat.hpp>

#include <cstdint>
#include <vector>

namespace tsdk::detail {

// A connected component's box and pixel count, in the column order of
// OpenCV's statistics (cv::CC_STAT_LEFT to cv::CC_STAT_AREA): a vector of
// them reads as an (n + 1) x 5 CV_32S matrix.
struct ComponentStats {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    int area = 0;
};

// Masks are CV_8UC1, any non-zero pixel foreground; results are 0 or 255.
// Any other type, or an even or empty ellipse, throws std::invalid_argument.
// Not thread-safe: one per detector.
class MaskCleaner {
public:
    // cv::MORPH_OPEN with a 3 x 3 rectangle, in place.
    void Open3x3(cv::Mat& mask);
    // cv::MORPH_CLOSE with cv::getStructuringElement(cv::MORPH_ELLIPSE, size),
    // in place; both sides of `size` odd.
    void CloseEllipse(cv::Mat& mask, cv::Size size);
    // Open3x3, then CloseEllipse, packing and unpacking the mask once.
    void OpenThenClose(cv::Mat& mask, cv::Size ellipse);
    // 8-connected components: `labels` becomes CV_32S of the mask's size, 0
    // for the background and 1 to n numbered as OpenCV numbers them (by the
    // first 2 x 2 block, in raster order, holding a pixel of the component).
    // stats[0] is the background (all zero when there is none), stats[i]
    // component i. Returns n + 1.
    int Label(const cv::Mat& mask, cv::Mat& labels, std::vector<ComponentStats>& stats);

private:
    // The 3 x 3 opening, the elliptic closing or both, on the mask packed a
    // bit a pixel.
    void Morph(cv::Mat& mask, bool open, bool close);
    void UseEllipse(cv::Size size);

    struct Run {
        int begin;  // first pixel
        int end;    // one past the last
    };
    int Find(int run);
    void Merge(int a, int b);

    // Elements as the horizontal half-width of each row, centred; negative
    // where a row is empty.
    std::vector<int> m_rectangle{1, 1, 1};
    cv::Size m_ellipseSize;
    std::vector<int> m_ellipse;
    // The packed mask, the result of the first pass and the rows widened by
    // 1, 2, ... pixels.
    std::vector<uint64_t> m_bits;
    std::vector<const uint64_t*> m_rows;

    std::vector<Run> m_runs;
    std::vector<int> m_rowStart;  // first run of each row, and one past the last
    std::vector<int> m_parent;    // union-find over runs
    std::vector<int> m_number;    // final label of each root run
};

}  // namespace tsdk::detail
