#pragma once
// Follows people from one frame to the next by what the pictures show:
// points on a grid inside a person's box, tracked by OpenCV's pyramidal
// Lucas-Kanade optical flow and checked by tracking them back; the box
// moves by their median shift and scales by the median change of their
// spread. Works on a grey copy of the frame scaled to at most
// kWorkingWidth pixels across, so its cost hardly depends on the camera.

#include <opencv2/core.hpp>

#include <vector>

#include "fsdk/Image.h"
#include "fsdk/Types.h"
#include "track/Shrink.h"

namespace tsdk::detail {

class FlowFollower {
public:
    static constexpr int kWorkingWidth = 480;

    // Takes the next frame; the one before becomes the one boxes are
    // followed from. Answers whether the frame could be read.
    bool NextFrame(const fsdk::Image& image);
    // Forgets the frames, as after a gap in the stream.
    void Reset();
    // Where `box` (pixels of the previous frame) is in this one; false
    // when the pictures do not tell (no previous frame, too few points
    // followed both ways, or the box is out of the picture).
    bool Follow(const fsdk::Rect& box, fsdk::Rect& moved);

private:
    double m_scale = 1.0;  // working pixels per image pixel
    cv::Mat m_fullGrey;
    Shrinker m_shrinker;
    cv::Mat m_grey;
    std::vector<cv::Mat> m_previous;
    std::vector<cv::Mat> m_current;
    bool m_hasPrevious = false;

    // Scratch memory, kept between frames.
    std::vector<cv::Point2f> m_points;
    std::vector<cv::Point2f> m_moved;
    std::vector<cv::Point2f> m_back;
    std::vector<uchar> m_status;
    std::vector<uchar> m_backStatus;
    std::vector<float> m_errors;
    std::vector<float> m_dx;
    std::vector<float> m_dy;
    std::vector<float> m_spread;
    std::vector<int> m_good;
};

}  // namespace tsdk::detail
