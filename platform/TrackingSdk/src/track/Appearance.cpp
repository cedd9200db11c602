#include "track/Appearance.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <numeric>

namespace tsdk::detail {
namespace {

constexpr PersonAppearance::Window kDefaultPerson{0.78, 0.5};
constexpr PersonAppearance::Window kDaimlerPerson{0.9, 0.62};
// Daimler's detector scores on another scale: a window is a person from
// this SVM margin on.
constexpr double kDefaultHit = -0.3;
constexpr double kDaimlerHit = 0.5;
// Pyramid: the step between scales and enough levels to go from 0.7 to 1.4
// times the expected height.
constexpr double kScaleStep = 1.09;
constexpr int kLevels = 9;
constexpr double kShortest = 0.7;
// A hit this much inside a stronger one is the same person.
constexpr double kSameInside = 0.6;
// A whole-image look takes only hits this far above a detector's own
// threshold: nothing else bears them out.
constexpr double kScanMargin = 1.2;
constexpr double kScanStep = 1.15;
constexpr int kScanLevels = 8;
// A face is taken from this many overlapping detections on.
constexpr int kFaceNeighbours = 3;
// The whole-image look, once a stream, every stream at once when a server
// starts: coarser steps between face sizes.
constexpr double kScanFaceStep = 1.15;
constexpr int kMinFace = 14;
// The body below a face, in face widths: as wide as the shoulders, from
// above the hair down to the feet of someone standing.
constexpr double kBodyWidth = 2.5;
constexpr double kBodyAbove = 0.3;
constexpr double kBodyHeight = 7.0;

double Inside(const cv::Rect& part, const cv::Rect& whole)
{
    const int area = part.area();
    return area > 0 ? static_cast<double>((part & whole).area()) / area : 0.0;
}

}  // namespace

void PersonAppearance::Run(HogPeopleDetector& hog, const Window& person, double threshold, const cv::Mat& grey,
                           const cv::Rect& region, int height, std::vector<PersonHit>& hits)
{
    const cv::Rect image(0, 0, grey.cols, grey.rows);
    const cv::Size window = hog.Window();
    // The shortest person looked for fills the window at the first scale.
    const double factor = person.height * window.height / (kShortest * height);

    // Room around the region for the window around a person at its edge.
    const int marginX = static_cast<int>(std::ceil(0.5 * window.width / factor));
    const int marginY = static_cast<int>(std::ceil(0.5 * (1 - person.height) * window.height / factor)) + 1;
    const cv::Rect around =
        cv::Rect(region.x - marginX, region.y - marginY, region.width + 2 * marginX, region.height + 2 * marginY) &
        image;
    if (around.area() <= 0) return;
    const cv::Size scaled(std::max(window.width, static_cast<int>(std::lround(around.width * factor))),
                          std::max(window.height, static_cast<int>(std::lround(around.height * factor))));
    // OpenCV's own bilinear resize, which the detectors' thresholds were
    // chosen with.
    cv::resize(grey(around), m_crop, scaled, 0, 0, cv::INTER_LINEAR);
    const double backX = static_cast<double>(around.width) / scaled.width;
    const double backY = static_cast<double>(around.height) / scaled.height;

    m_found.clear();
    m_weights.clear();
    hog.DetectMultiScale(m_crop, m_found, m_weights, threshold, cv::Size(4, 4), kScaleStep, kLevels);
    for (size_t i = 0; i < m_found.size(); ++i) {
        const cv::Rect& w = m_found[i];
        const double padX = 0.5 * (1 - person.width) * w.width, padY = 0.5 * (1 - person.height) * w.height;
        PersonHit hit;
        hit.box = cv::Rect(cv::Point(around.x + static_cast<int>(std::lround((w.x + padX) * backX)),
                                     around.y + static_cast<int>(std::lround((w.y + padY) * backY))),
                           cv::Point(around.x + static_cast<int>(std::lround((w.x + w.width - padX) * backX)),
                                     around.y + static_cast<int>(std::lround((w.y + w.height - padY) * backY)))) &
                  image;
        hit.weight = (i < m_weights.size() ? m_weights[i] : 0.0) - threshold;
        if (hit.box.area() > 0) hits.push_back(hit);
    }
}

PersonAppearance::PersonAppearance(const std::string& faceModel)
{
    // Streams are tracked in parallel on the engine's own workers; OpenCV's
    // own thread pool would only crowd the same cores with threads the host
    // never asked for.
    static std::once_flag sequential;
    std::call_once(sequential, [] { cv::setNumThreads(0); });
    // Without the file people are told by their bodies alone.
    if (!faceModel.empty() && !m_faces.load(faceModel)) m_faces = cv::CascadeClassifier();
}

void PersonAppearance::KeepStrongest(std::vector<PersonHit>& hits, size_t first)
{
    // A face tells where a person is better than a body does: it wins.
    std::stable_sort(
        hits.begin() + static_cast<std::ptrdiff_t>(first), hits.end(),
        [](const PersonHit& a, const PersonHit& b) { return a.face != b.face ? a.face : a.weight > b.weight; });
    size_t kept = first;
    for (size_t i = first; i < hits.size(); ++i) {
        bool same = false;
        for (size_t j = first; j < kept && !same; ++j)
            same = Inside(hits[i].box, hits[j].box) >= kSameInside || Inside(hits[j].box, hits[i].box) >= kSameInside;
        if (!same) hits[kept++] = hits[i];
    }
    hits.resize(kept);
}

void PersonAppearance::FindFaces(const cv::Mat& grey, const cv::Rect& region, int minFace, int maxFace, int bottom,
                                 std::vector<PersonHit>& hits, double step)
{
    const cv::Rect image(0, 0, grey.cols, grey.rows);
    minFace = std::max(minFace, kMinFace);
    if (m_faces.empty() || grey.empty() || maxFace < minFace) return;
    // Room for a face at the region's edge.
    const cv::Rect around =
        cv::Rect(region.x - minFace / 2, region.y - minFace / 2, region.width + minFace, region.height + minFace) &
        image;
    if (around.width < minFace || around.height < minFace) return;
    m_found.clear();
    m_neighbours.clear();
    m_faces.detectMultiScale(grey(around), m_found, m_neighbours, step, kFaceNeighbours, 0, cv::Size(minFace, minFace),
                             cv::Size(maxFace, maxFace));
    for (size_t i = 0; i < m_found.size(); ++i) {
        const cv::Rect face = m_found[i] + around.tl();
        const double w = face.width;
        const int x0 = static_cast<int>(std::lround(face.x + 0.5 * w - 0.5 * kBodyWidth * w));
        const int y0 = static_cast<int>(std::lround(face.y - kBodyAbove * w));
        const int x1 = static_cast<int>(std::lround(face.x + 0.5 * w + 0.5 * kBodyWidth * w));
        const int y1 = std::min(bottom, static_cast<int>(std::lround(face.y + (kBodyHeight - kBodyAbove) * w)));
        PersonHit hit;
        hit.box = cv::Rect(cv::Point(x0, y0), cv::Point(x1, y1)) & image;
        hit.weight = i < m_neighbours.size() ? 0.25 * (m_neighbours[i] - kFaceNeighbours) : 0.0;
        hit.face = true;
        if (hit.box.area() > 0) hits.push_back(hit);
    }
}

void PersonAppearance::Scan(const cv::Mat& grey, std::vector<PersonHit>& hits)
{
    hits.clear();
    if (grey.empty()) return;
    const cv::Rect image(0, 0, grey.cols, grey.rows);
    const struct {
        HogPeopleDetector* hog;
        Window person;
        double threshold;
    } detectors[] = {{&m_default, kDefaultPerson, kDefaultHit + kScanMargin},
                     {&m_daimler, kDaimlerPerson, kDaimlerHit + kScanMargin}};
    for (const auto& d : detectors) {
        const cv::Size window = d.hog->Window();
        if (grey.cols < window.width || grey.rows < window.height) continue;
        // At the image's own scale and below only: people as tall as the
        // window fills and taller. Smaller ones are left to the faces and
        // to the foreground, as blowing the whole image up costs too much.
        m_found.clear();
        m_weights.clear();
        d.hog->DetectMultiScale(grey, m_found, m_weights, d.threshold, cv::Size(8, 8), kScanStep, kScanLevels);
        for (size_t i = 0; i < m_found.size(); ++i) {
            const cv::Rect& w = m_found[i];
            const double padX = 0.5 * (1 - d.person.width) * w.width, padY = 0.5 * (1 - d.person.height) * w.height;
            PersonHit hit;
            hit.box = cv::Rect(cv::Point(static_cast<int>(std::lround((w.x + padX))),
                                         static_cast<int>(std::lround((w.y + padY)))),
                               cv::Point(static_cast<int>(std::lround((w.x + w.width - padX))),
                                         static_cast<int>(std::lround((w.y + w.height - padY))))) &
                      image;
            hit.weight = (i < m_weights.size() ? m_weights[i] : 0.0) - d.threshold;
            if (hit.box.area() > 0) hits.push_back(hit);
        }
    }
    FindFaces(grey, image, kMinFace, grey.rows / 2, grey.rows, hits, kScanFaceStep);
    KeepStrongest(hits);
}

void PersonAppearance::Find(const cv::Mat& grey, const cv::Rect& region, int height, std::vector<PersonHit>& hits)
{
    hits.clear();
    const cv::Rect image(0, 0, grey.cols, grey.rows);
    if (grey.empty() || height < kMinHeight || (region & image).area() <= 0) return;

    // The default detector wants people of at least its window's height;
    // smaller ones would have to be blown up. Daimler's window is smaller,
    // and it finds other people than the default one does.
    if (kShortest * height >= kDefaultPerson.height * 128)
        Run(m_default, kDefaultPerson, kDefaultHit, grey, region, height, hits);
    Run(m_daimler, kDaimlerPerson, kDaimlerHit, grey, region, height, hits);
    KeepStrongest(hits);
}

}  // namespace tsdk::detail
