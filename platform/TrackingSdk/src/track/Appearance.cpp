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

double Inside(const cv::Rect& part, const cv::Rect& whole)
{
    const int area = part.area();
    return area > 0 ? static_cast<double>((part & whole).area()) / area : 0.0;
}

}  // namespace

void PersonAppearance::Run(cv::HOGDescriptor& hog, const Window& person, double threshold, const cv::Mat& grey,
                           const cv::Rect& region, int height, std::vector<PersonHit>& hits)
{
    const cv::Rect image(0, 0, grey.cols, grey.rows);
    const cv::Size window = hog.winSize;
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
    cv::resize(grey(around), m_crop, scaled, 0, 0, cv::INTER_LINEAR);
    const double backX = static_cast<double>(around.width) / scaled.width;
    const double backY = static_cast<double>(around.height) / scaled.height;

    m_found.clear();
    m_weights.clear();
    hog.detectMultiScale(m_crop, m_found, m_weights, threshold, cv::Size(4, 4), cv::Size(0, 0), kScaleStep, 1.0, false);
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

PersonAppearance::PersonAppearance()
    : m_default(cv::Size(64, 128), cv::Size(16, 16), cv::Size(8, 8), cv::Size(8, 8), 9),
      m_daimler(cv::Size(48, 96), cv::Size(16, 16), cv::Size(8, 8), cv::Size(8, 8), 9)
{
    // Streams are tracked in parallel on the engine's own workers; OpenCV's
    // own thread pool would only crowd the same cores with threads the host
    // never asked for.
    static std::once_flag sequential;
    std::call_once(sequential, [] { cv::setNumThreads(0); });
    m_default.setSVMDetector(cv::HOGDescriptor::getDefaultPeopleDetector());
    m_daimler.setSVMDetector(cv::HOGDescriptor::getDaimlerPeopleDetector());
    m_default.nlevels = m_daimler.nlevels = kLevels;
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
    std::stable_sort(hits.begin(), hits.end(),
                     [](const PersonHit& a, const PersonHit& b) { return a.weight > b.weight; });
    size_t kept = 0;
    for (size_t i = 0; i < hits.size(); ++i) {
        bool same = false;
        for (size_t j = 0; j < kept && !same; ++j)
            same = Inside(hits[i].box, hits[j].box) >= kSameInside || Inside(hits[j].box, hits[i].box) >= kSameInside;
        if (!same) hits[kept++] = hits[i];
    }
    hits.resize(kept);
}

}  // namespace tsdk::detail
