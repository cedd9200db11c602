#pragma once
// A constant-velocity Kalman filter of a person's box: centre x, y, width,
// height and their rates per frame, with the noise of SORT and ByteTrack
// (in parts of the box's own size, so that near and far people move alike).
// Fixed-size matrices: nothing is allocated per frame.

#include <opencv2/core/matx.hpp>

#include "fsdk/Types.h"

namespace tsdk::detail {

class BoxFilter {
public:
    // Starts at `box`, standing still, its rates uncertain.
    void Start(const fsdk::Rect& box);
    // One frame on: the state becomes the prediction.
    void Predict();
    // Takes in a measured box; `noise` scales the measurement noise of a
    // detection.
    void Correct(const fsdk::Rect& box, float noise = 1.f);
    // Squared Mahalanobis distance of a detected box from the state;
    // infinity when it cannot be told.
    double Distance(const fsdk::Rect& box) const;
    fsdk::Rect Box() const;

    // Keeps the rates to at most `speed` of the height and `growth` of the
    // size per frame.
    void Limit(float speed, float growth);
    // The size stays as it is from now on, or the box stays where it is.
    void KeepSize();
    void Stop();

private:
    static cv::Matx<float, 4, 4> MeasurementNoise(float width, float height, float scale);

    cv::Matx<float, 8, 1> m_state;
    cv::Matx<float, 8, 8> m_covariance;
};

}  // namespace tsdk::detail
