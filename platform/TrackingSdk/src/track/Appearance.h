#pragma once
// What a person looks like: OpenCV's HOG people detectors (the default one
// for people tall enough, Daimler's for smaller ones) run on one region of
// the image at the scales that a person of an expected height could have,
// never on the whole frame but once, when a stream starts; and faces,
// for people whose legs are out of view.

#include <opencv2/core.hpp>
#include <opencv2/objdetect.hpp>

#include "track/Hog.h"

#include <string>
#include <vector>

namespace tsdk::detail {

struct PersonHit {
    cv::Rect box;  // the person, not the detector's window, in image pixels
    double weight = 0;
    bool face = false;  // found by the face: the body's box is a guess
};

class PersonAppearance {
public:
    // Shortest person the detectors can judge, in pixels of the image they
    // look at; below it a person is too blurred to tell.
    static constexpr int kMinHeight = 64;

    // `faceModel`: a face cascade file for OpenCV, or empty for none.
    explicit PersonAppearance(const std::string& faceModel = {});

    // The people in `region` of `grey` (CV_8UC1) who are between 0.7 and 1.4
    // times `height` tall, into `hits` (replaced), strongest first, none of
    // them mostly inside another.
    void Find(const cv::Mat& grey, const cv::Rect& region, int height, std::vector<PersonHit>& hits);

    // The people of the whole of `grey` whom the detectors see at its own
    // scale, and the people whose faces show, into `hits` (replaced).
    void Scan(const cv::Mat& grey, std::vector<PersonHit>& hits);

    // The factor between the face sizes looked for, but for the first look
    // over a whole picture.
    static constexpr double kFaceStep = 1.1;

    // The people in `region` whose faces, between `minFace` and `maxFace`
    // wide, show: each as the box their body takes below the face, cut at
    // `bottom`. Added to `hits`. `step`: the factor between the face sizes
    // looked for.
    void FindFaces(const cv::Mat& grey, const cv::Rect& region, int minFace, int maxFace, int bottom,
                   std::vector<PersonHit>& hits, double step = kFaceStep);
    bool HasFaces() const noexcept { return !m_faces.empty(); }

    // How much of a detector's window the person fills, in height and in
    // width, as the detector was trained.
    struct Window {
        double height, width;
    };

private:
    // Adds the hits of one detector.
    void Run(HogPeopleDetector& hog, const Window& person, double threshold, const cv::Mat& grey,
             const cv::Rect& region, int height, std::vector<PersonHit>& hits);

    // Keeps the strongest of hits that overlap, from `first` on.
    static void KeepStrongest(std::vector<PersonHit>& hits, size_t first = 0);

    HogPeopleDetector m_default = HogPeopleDetector::Default();
    HogPeopleDetector m_daimler = HogPeopleDetector::Daimler();
    cv::CascadeClassifier m_faces;
    std::vector<int> m_neighbours;
    // Scratch memory, kept between calls.
    cv::Mat m_crop;
    std::vector<cv::Rect> m_found;
    std::vector<double> m_weights;
};

}  // namespace tsdk::detail
