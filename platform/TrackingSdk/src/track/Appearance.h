#pragma once
// What a person looks like: OpenCV's HOG people detectors (the default one
// for people tall enough, Daimler's for smaller ones) run on one region of
// the image at the scales that a person of an expected height could have,
// never on the whole frame.

#include <opencv2/core.hpp>
#include <opencv2/objdetect.hpp>

#include <vector>

namespace tsdk::detail {

struct PersonHit {
    cv::Rect box;  // the person, not the detector's window, in image pixels
    double weight = 0;
};

class PersonAppearance {
public:
    // Shortest person the detectors can judge, in pixels of the image they
    // look at; below it a person is too blurred to tell.
    static constexpr int kMinHeight = 64;

    PersonAppearance();

    // The people in `region` of `grey` (CV_8UC1) who are between 0.7 and 1.4
    // times `height` tall, into `hits` (replaced), strongest first, none of
    // them mostly inside another.
    void Find(const cv::Mat& grey, const cv::Rect& region, int height, std::vector<PersonHit>& hits);

    // How much of a detector's window the person fills, in height and in
    // width, as the detector was trained.
    struct Window {
        double height, width;
    };

private:
    // Adds the hits of one detector.
    void Run(cv::HOGDescriptor& hog, const Window& person, double threshold, const cv::Mat& grey,
             const cv::Rect& region, int height, std::vector<PersonHit>& hits);

    cv::HOGDescriptor m_default;
    cv::HOGDescriptor m_daimler;
    // Scratch memory, kept between calls.
    cv::Mat m_crop;
    std::vector<cv::Rect> m_found;
    std::vector<double> m_weights;
};

}  // namespace tsdk::detail
