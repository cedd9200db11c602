#include "ClipFrames.h"

#include <opencv2/imgproc.hpp>

#include <stdexcept>

#include "Video.h"

namespace QelBench {

std::vector<cv::Mat> ReadClip(int count)
{
    QelTrack::VideoReader reader(QEL_VTEST_AVI);
    std::vector<cv::Mat> frames;
    QelTrack::RgbFrame frame;
    while (static_cast<int>(frames.size()) < count && reader.Next(frame))
        frames.push_back(
            cv::Mat(static_cast<int>(frame.height), static_cast<int>(frame.width), CV_8UC3, frame.rgb.data()).clone());
    if (static_cast<int>(frames.size()) < count) throw std::runtime_error("vtest.avi is shorter than expected");
    return frames;
}

cv::Mat Sized(const cv::Mat& frame, cv::Size size)
{
    if (size == frame.size()) return frame;
    cv::Mat source = frame;
    const int rows = frame.cols * size.height / size.width;
    if (rows < frame.rows) source = frame.rowRange((frame.rows - rows) / 2, (frame.rows - rows) / 2 + rows);
    cv::Mat out;
    cv::resize(source, out, size, 0, 0, size.width < source.cols ? cv::INTER_AREA : cv::INTER_LINEAR);
    return out;
}

}  // namespace QelBench
