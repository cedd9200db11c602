#include <opencv2/imgproc.hpp>
#include <opencv2/video/background_segm.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <mutex>

#include "track/Appearance.h"
#include "track/BinaryMask.h"
#include "track/Config.h"
#include "track/Detector.h"
#include "track/Foreground.h"
#include "track/Glance.h"

namespace tsdk::detail {
namespace {

struct Candidate {
    int x0, y0, x1, y1;  // inclusive-exclusive, in pixels of the detection image
    int pixels;          // foreground pixels
    float score = 0.f;
    bool person = false;  // the HOG detectors saw a person there

    int Width() const noexcept { return x1 - x0; }
    int Height() const noexcept { return y1 - y0; }
    int64_t Area() const noexcept { return int64_t{Width()} * Height(); }
};

// A ghost's outline is this much sharper in the background than in the
// frame.
constexpr float kGhostEdges = 1.2f;
// Following a person between runs: how far around the expected box to
// look, how much foreground it must hold, and the share of the foreground
// left out at each side (stray pixels, another person's arm).
constexpr float kFollowMarginX = 0.35f;
constexpr float kFollowMarginY = 0.15f;
constexpr float kFollowMinFill = 0.2f;
constexpr float kFollowTrimX = 0.03f;
constexpr float kFollowTrimY = 0.01f;
// A single person stands at least this upright (height over width); what is
// wider is a group to split, or something that is no person at all.
constexpr float kUpright = 1.8f;
// A person the HOG detectors see must also be there in the foreground: so
// much of their box, with a head narrower than the shoulders, and not off
// to one side of it (the edge of a car passes for a person to HOG).
constexpr float kMinHitFill = 0.4f;
constexpr float kHeadRows = 0.18f;
constexpr float kMaxHeadWidth = 0.8f;
constexpr float kMaxOffCentre = 0.2f;
constexpr float kHitTrim = 0.02f;
constexpr float kHitReach = 0.4f;
constexpr float kMinCovered = 0.4f;
constexpr float kMinSmallAspect = 0.8f;
constexpr float kMinSideAspect = 1.5f;
constexpr float kKnownOverlap = 0.5f;
constexpr float kMaxUnseenHeight = 0.95f;
constexpr float kSideColumn = 0.15f;
// Noise goes with a 3x3 opening, and the gaps inside a person with this
// closing.
const cv::Size kClose{5, 9};
// A track's box is shown by a candidate that overlaps it this much.
constexpr double kShownOverlap = 0.3;
// A person found mostly inside another who looks more like one is part of
// them (a face and a body of one person).
constexpr double kPartOfPerson = 0.6;
// A person's box is this many face widths wide.
constexpr float kFaceWidths = 2.5f;
// Looking again for someone who stands still: what the last look there
// found stands for this many later runs, while the region looks the same
// (no cell of its glance changed by more than a sensor's noise).
constexpr int kLookReuseRuns = 3;
constexpr double kSameLookBox = 0.8;
constexpr int kSameCell = 10;
constexpr double kSameMean = 3.0;

float Ramp(float value, float zeroAt, float oneAt)
{
    return std::clamp((value - zeroAt) / (oneAt - zeroAt), 0.f, 1.f);
}

class PersonDetector final : public IDetector {
public:
    explicit PersonDetector(const EngineConfig& config)
        : m_config(config.person),
          m_scaling(config.detectorScaling),
          m_scaleSize(config.scaleResultSize),
          m_maxCount(config.maxDetectionCount),
          m_model(config.person),
          m_appearance(config.person.faceModel)
    {
        if (m_config.subtractor == PersonDetectorConfig::Subtractor::Mog2)
            m_subtractor = cv::createBackgroundSubtractorMOG2(m_config.backgroundFrames, 16.0, true);
        else if (m_config.subtractor == PersonDetectorConfig::Subtractor::Knn)
            m_subtractor = cv::createBackgroundSubtractorKNN(m_config.backgroundFrames, 400.0, true);
    }

    void Detect(const fsdk::Image& image, const DetectionContext& context, std::vector<Detection>& out) override
    {
        out.clear();
        if (!image.isValid() || image.getBytesPerPixel() == 0) return;
        const cv::Mat& frame = Prepare(image);
        const float scaleX = static_cast<float>(image.getWidth()) / static_cast<float>(frame.cols);
        const float scaleY = static_cast<float>(image.getHeight()) / static_cast<float>(frame.rows);
        BuildKeep(frame.size(), context.tracks, scaleX, scaleY);
        for (float& presence : context.presence) presence = -1.f;
        m_model.Classify(frame, m_keep, m_mask);
        if (m_subtractor) {
            // 255 foreground, 127 shadow, as our own labels have them.
            m_subtractor->apply(frame, m_subtracted);
            if (m_subtracted.size() == m_mask.size()) {
                cv::compare(m_subtracted, 200, m_binary, cv::CMP_GE);
                m_mask.setTo(ForegroundModel::kBackground);
                m_mask.setTo(ForegroundModel::kForeground, m_binary);
            }
        }
        ++m_run;
        if (m_model.Updates() == 0) {
            // The first look is learnt as the background: whoever is in view
            // already is found by their looks alone, over the whole frame.
            m_model.Learn(frame, context.framesSinceLast, m_mask, m_keep);
            cv::cvtColor(frame, m_grey, cv::COLOR_RGB2GRAY);
            m_appearance.Scan(m_grey, m_hits);
            m_candidates.clear();
            for (const PersonHit& hit : m_hits) m_candidates.push_back(FromHit(hit));
            Emit(scaleX, scaleY, out);
            return;
        }

        // Weak foreground joins what it touches; noise goes with the opening.
        cv::compare(m_mask, ForegroundModel::kWeak, m_binary, cv::CMP_GE);
        m_cleaner.OpenThenClose(m_binary, kClose);
        const int labels = m_cleaner.Label(m_binary, m_labels, m_components);
        Presence(context, scaleX, scaleY);
        KeepWhole(labels);
        m_model.Learn(frame, context.framesSinceLast, m_mask, m_keep);

        // Only areas with true foreground in them count.
        m_candidates.clear();
        for (int i = 1; i < labels; ++i) {
            const ComponentStats& s = m_components[static_cast<size_t>(i)];
            Candidate c{s.left, s.top, s.left + s.width, s.top + s.height, s.area};
            if (c.pixels >= m_config.minArea / 4 && m_strong[static_cast<size_t>(i)] * 4 >= c.pixels &&
                m_ghost[static_cast<size_t>(i)] == 0)
                m_candidates.push_back(c);
        }
        Group();
        for (Candidate& c : m_candidates) c.score = Score(c, frame.cols, frame.rows);
        m_candidates.erase(std::remove_if(m_candidates.begin(), m_candidates.end(),
                                          [&](const Candidate& c) {
                                              return c.Height() < m_config.minHeight || c.pixels < m_config.minArea ||
                                                     c.score <= 0.f || c.Area() * 2 > int64_t{frame.cols} * frame.rows;
                                          }),
                           m_candidates.end());
        CheckAppearance(context.tracks, scaleX, scaleY);
        LookAgain(context.tracks, scaleX, scaleY);
        Emit(scaleX, scaleY, out);
    }

    bool JudgesLooks() const override { return true; }

    void Follow(const fsdk::Image& image, fsdk::Span<const fsdk::Rect> predicted, fsdk::Span<Sighting> out) override
    {
        for (Sighting& sighting : out) sighting.seen = false;
        const int bpp = image.getBytesPerPixel();
        if (!m_model.Ready() || !image.isValid() || bpp == 0) return;
        // The model's pixels lie on the detection image: the image scaled.
        const cv::Size size = m_model.Size();
        const float scaleX = static_cast<float>(image.getWidth()) / static_cast<float>(size.width);
        const float scaleY = static_cast<float>(image.getHeight()) / static_cast<float>(size.height);
        const auto* data = static_cast<const uint8_t*>(image.getData());
        const int64_t rowSize = image.getRowSize();
        for (size_t i = 0; i < predicted.size && i < out.size; ++i) {
            const fsdk::Rect& box = predicted[i];
            // Where people overlap, the foreground cannot tell them apart.
            const fsdk::Rect around{box.x - kFollowMarginX * box.width, box.y - kFollowMarginY * box.height,
                                    box.width * (1 + 2 * kFollowMarginX), box.height * (1 + 2 * kFollowMarginY)};
            bool crowded = false;
            for (size_t j = 0; j < predicted.size && !crowded; ++j) crowded = j != i && Overlaps(around, predicted[j]);
            if (crowded) continue;

            const cv::Rect window = Scaled(around, scaleX, scaleY, size);
            if (window.area() <= 0) continue;
            const int step = box.height / scaleY > 120.f ? 2 : 1;
            m_columns.assign(static_cast<size_t>(window.width), 0);
            m_rows.assign(static_cast<size_t>(window.height), 0);
            int count = 0;
            uint8_t grey[3];
            for (int y = window.y; y < window.y + window.height; y += step) {
                const int sy =
                    std::min(static_cast<int>((static_cast<float>(y) + 0.5f) * scaleY), image.getHeight() - 1);
                const uint8_t* row = data + sy * rowSize;
                for (int x = window.x; x < window.x + window.width; x += step) {
                    const int sx =
                        std::min(static_cast<int>((static_cast<float>(x) + 0.5f) * scaleX), image.getWidth() - 1);
                    const uint8_t* pixel = row + sx * bpp;
                    if (bpp == 1) {
                        grey[0] = grey[1] = grey[2] = pixel[0];
                        pixel = grey;
                    }
                    if (m_model.Classify(pixel, x, y) < ForegroundModel::kWeak) continue;
                    ++m_columns[static_cast<size_t>(x - window.x)];
                    ++m_rows[static_cast<size_t>(y - window.y)];
                    ++count;
                }
            }
            const float expected = box.width * box.height / (scaleX * scaleY * static_cast<float>(step * step));
            if (static_cast<float>(count) < kFollowMinFill * expected) continue;
            int x0 = 0, x1 = 0, y0 = 0, y1 = 0;
            Extent(m_columns, count, kFollowTrimX, x0, x1);
            Extent(m_rows, count, kFollowTrimY, y0, y1);
            Sighting& sighting = out[i];
            sighting.box.x = static_cast<float>(window.x + x0) * scaleX;
            sighting.box.y = static_cast<float>(window.y + y0) * scaleY;
            sighting.box.width = static_cast<float>(x1 - x0 + step) * scaleX;
            sighting.box.height = static_cast<float>(y1 - y0 + step) * scaleY;
            sighting.seen = true;
        }
    }

private:
    // The candidates as detections: the best first when there are too
    // many, then in reading order.
    void Emit(float scaleX, float scaleY, std::vector<Detection>& out)
    {
        std::stable_sort(m_candidates.begin(), m_candidates.end(),
                         [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
        // Parts of a person found twice.
        size_t kept = 0;
        for (size_t i = 0; i < m_candidates.size(); ++i) {
            const Candidate& c = m_candidates[i];
            const cv::Rect box(c.x0, c.y0, c.Width(), c.Height());
            bool part = false;
            for (size_t j = 0; j < kept && !part; ++j) {
                const Candidate& better = m_candidates[j];
                part = better.person &&
                       Inside(box, cv::Rect(better.x0, better.y0, better.Width(), better.Height())) >= kPartOfPerson;
            }
            if (!part) m_candidates[kept++] = c;
        }
        m_candidates.resize(kept);
        if (static_cast<int>(m_candidates.size()) > m_maxCount) m_candidates.resize(m_maxCount);
        std::sort(m_candidates.begin(), m_candidates.end(),
                  [](const Candidate& a, const Candidate& b) { return a.y0 != b.y0 ? a.y0 < b.y0 : a.x0 < b.x0; });
        out.reserve(m_candidates.size());
        for (const Candidate& c : m_candidates) {
            Detection d;
            d.box.x = static_cast<float>(c.x0) * scaleX;
            d.box.y = static_cast<float>(c.y0) * scaleY;
            d.box.width = static_cast<float>(c.Width()) * scaleX;
            d.box.height = static_cast<float>(c.Height()) * scaleY;
            d.score = c.score;
            d.person = c.person;
            out.push_back(d);
        }
    }

    static bool Overlaps(const fsdk::Rect& a, const fsdk::Rect& b)
    {
        return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
    }

    // The span of `counts` that holds all but a `trim` share of `total` at
    // either end.
    static void Extent(const std::vector<int>& counts, int total, float trim, int& first, int& last)
    {
        const int cut = static_cast<int>(trim * static_cast<float>(total));
        first = 0;
        for (int below = 0; first + 1 < static_cast<int>(counts.size()); ++first) {
            below += counts[static_cast<size_t>(first)];
            if (below > cut) break;
        }
        last = static_cast<int>(counts.size()) - 1;
        for (int above = 0; last > first; --last) {
            above += counts[static_cast<size_t>(last)];
            if (above > cut) break;
        }
    }

    // The image as three channels, scaled down to scale-result-size.
    const cv::Mat& Prepare(const fsdk::Image& image)
    {
        const int width = image.getWidth();
        const int height = image.getHeight();
        const int bpp = image.getBytesPerPixel();
        const int type = bpp == 4 ? CV_8UC4 : bpp == 3 ? CV_8UC3 : CV_8UC1;
        // A view of the image's pixels, which are only read; it is never
        // written through, not even by being the output of an operation.
        m_source =
            cv::Mat(height, width, type, const_cast<void*>(image.getData()), static_cast<size_t>(image.getRowSize()));
        const cv::Mat* colour = &m_source;
        if (bpp == 4) {
            cv::cvtColor(m_source, m_colour, cv::COLOR_RGBA2RGB);
            colour = &m_colour;
        } else if (bpp == 1) {
            cv::cvtColor(m_source, m_colour, cv::COLOR_GRAY2RGB);
            colour = &m_colour;
        }
        const int larger = std::max(width, height);
        if (!m_scaling || larger <= m_scaleSize) return *colour;
        const cv::Size size(std::max(1, static_cast<int>(int64_t{width} * m_scaleSize / larger)),
                            std::max(1, static_cast<int>(int64_t{height} * m_scaleSize / larger)));
        cv::resize(*colour, m_scaled, size, 0, 0, cv::INTER_AREA);
        return m_scaled;
    }

    // The box of a track in pixels of the detection image, within it.
    static cv::Rect Scaled(const fsdk::Rect& box, float scaleX, float scaleY, cv::Size size)
    {
        const cv::Rect r(
            cv::Point(static_cast<int>(std::floor(box.x / scaleX)), static_cast<int>(std::floor(box.y / scaleY))),
            cv::Point(static_cast<int>(std::ceil((box.x + box.width) / scaleX)),
                      static_cast<int>(std::ceil((box.y + box.height) / scaleY))));
        return r & cv::Rect(0, 0, size.width, size.height);
    }

    void Presence(const DetectionContext& context, float scaleX, float scaleY) const
    {
        for (size_t i = 0; i < context.tracks.size && i < context.presence.size; ++i) {
            const cv::Rect r = Scaled(context.tracks[i].box, scaleX, scaleY, m_binary.size());
            context.presence[i] =
                r.area() > 0 ? static_cast<float>(cv::countNonZero(m_binary(r))) / static_cast<float>(r.area()) : 0.f;
        }
    }

    // Counts the true foreground of every area, and widens the kept boxes
    // to the whole of every area that reaches into one: the feet below a
    // box, an arm beside it. What stands still there is the person, not a
    // ghost to be learnt.
    //
    // An area whose outline is sharper in the background than in the frame
    // is a ghost: what the model holds of something that has gone. It is
    // neither a person nor kept, and is learnt at once.
    void KeepWhole(int labels)
    {
        const auto count = static_cast<size_t>(labels);
        m_strong.assign(count, 0);
        m_kept.assign(count, 0);
        m_keptPixels.assign(count, 0);
        m_frameEdge.assign(count, 0);
        m_backgroundEdge.assign(count, 0);
        const cv::Mat& grey = m_model.FrameGrey();
        const cv::Mat& back = m_model.BackgroundGrey();
        const int width = m_labels.cols, height = m_labels.rows;
        for (int y = 0; y < height; ++y) {
            const int* label = m_labels.ptr<int>(y);
            const int* above = m_labels.ptr<int>(std::max(y - 1, 0));
            const int* below = m_labels.ptr<int>(std::min(y + 1, height - 1));
            const uint8_t* mask = m_mask.ptr<uint8_t>(y);
            const uint8_t* keep = m_keep.ptr<uint8_t>(y);
            for (int x = 0; x < width; ++x) {
                const auto l = static_cast<size_t>(label[x]);
                if (l == 0) continue;
                if (mask[x] == ForegroundModel::kForeground) ++m_strong[l];
                if (keep[x] != 0) ++m_keptPixels[l];
                const bool outline = x == 0 || x == width - 1 || label[x - 1] == 0 || label[x + 1] == 0 ||
                                     above[x] == 0 || below[x] == 0;
                if (!outline || x == 0 || y == 0 || x == width - 1 || y == height - 1) continue;
                m_frameEdge[l] += Gradient(grey, x, y);
                m_backgroundEdge[l] += Gradient(back, x, y);
            }
        }
        // An area only partly inside the kept boxes is a person with what
        // they left behind (where they stood when the model started):
        // only the person is kept.
        m_ghost.assign(count, 0);
        for (size_t l = 1; l < count; ++l) {
            m_ghost[l] = m_backgroundEdge[l] > m_frameEdge[l] * kGhostEdges ? 1 : 0;
            m_kept[l] = m_keptPixels[l] * 2 >= m_components[l].area ? 1 : 0;
        }
        for (int y = 0; y < height; ++y) {
            const int* label = m_labels.ptr<int>(y);
            uint8_t* keep = m_keep.ptr<uint8_t>(y);
            for (int x = 0; x < width; ++x) {
                const auto l = static_cast<size_t>(label[x]);
                if (m_ghost[l] != 0)
                    keep[x] = ForegroundModel::kGhost;
                else if (m_kept[l] != 0)
                    keep[x] = ForegroundModel::kKeep;
            }
        }
    }

    static int Gradient(const cv::Mat& grey, int x, int y)
    {
        const uint8_t* row = grey.ptr<uint8_t>(y);
        return std::abs(row[x + 1] - row[x - 1]) + std::abs(grey.ptr<uint8_t>(y + 1)[x] - grey.ptr<uint8_t>(y - 1)[x]);
    }

    void BuildKeep(cv::Size size, fsdk::Span<const TrackHint> tracks, float scaleX, float scaleY)
    {
        m_keep.create(size, CV_8UC1);
        m_keep.setTo(0);
        const cv::Rect all(0, 0, size.width, size.height);
        for (const TrackHint& track : tracks) {
            if (!track.forget) continue;
            const cv::Rect r = Scaled(track.box, scaleX, scaleY, size);
            if (r.area() > 0) m_keep(r).setTo(ForegroundModel::kGhost);
        }
        for (const TrackHint& track : tracks) {
            if (!track.keep) continue;
            const fsdk::Rect& box = track.box;
            // A margin for what the box does not quite cover: arms, feet.
            const float mx = 0.15f * box.width, my = 0.08f * box.height;
            const cv::Rect r(cv::Point(static_cast<int>(std::floor((box.x - mx) / scaleX)),
                                       static_cast<int>(std::floor((box.y - my) / scaleY))),
                             cv::Point(static_cast<int>(std::ceil((box.x + box.width + mx) / scaleX)),
                                       static_cast<int>(std::ceil((box.y + box.height + my) / scaleY))));
            const cv::Rect inside = r & all;
            if (inside.area() > 0) m_keep(inside).setTo(ForegroundModel::kKeep);
        }
    }

    // Joins the parts of one person that the background split apart: boxes
    // stacked above one another, and boxes inside others.
    void Group()
    {
        bool merged = true;
        while (merged) {
            merged = false;
            for (size_t i = 0; i < m_candidates.size() && !merged; ++i)
                for (size_t j = i + 1; j < m_candidates.size() && !merged; ++j) {
                    if (!BelongTogether(m_candidates[i], m_candidates[j])) continue;
                    Candidate& a = m_candidates[i];
                    const Candidate& b = m_candidates[j];
                    a.x0 = std::min(a.x0, b.x0);
                    a.y0 = std::min(a.y0, b.y0);
                    a.x1 = std::max(a.x1, b.x1);
                    a.y1 = std::max(a.y1, b.y1);
                    a.pixels += b.pixels;
                    m_candidates.erase(m_candidates.begin() + static_cast<std::ptrdiff_t>(j));
                    merged = true;
                }
        }
    }

    static bool BelongTogether(const Candidate& a, const Candidate& b)
    {
        const int overlapX = std::min(a.x1, b.x1) - std::max(a.x0, b.x0);
        const int overlapY = std::min(a.y1, b.y1) - std::max(a.y0, b.y0);
        const int narrower = std::min(a.Width(), b.Width());
        // One inside the other.
        if (overlapX > 0 && overlapY > 0 && int64_t{overlapX} * overlapY >= (std::min(a.Area(), b.Area()) * 7) / 10)
            return true;
        // One above the other, close, and the whole still standing upright.
        if (overlapX * 2 < narrower) return false;
        const int gap = -overlapY;
        const int taller = std::max(a.Height(), b.Height());
        if (gap * 2 > taller) return false;
        const int width = std::max(a.x1, b.x1) - std::min(a.x0, b.x0);
        const int height = std::max(a.y1, b.y1) - std::min(a.y0, b.y0);
        return height * 10 >= width * 12;
    }

    // Every candidate tall enough to judge is looked at: each person the HOG
    // detectors find in it, and the foreground bears out, becomes a
    // candidate of their own. Without such a person an upright candidate
    // stays as it is (the detectors miss many), unless it is so tall that
    // they could not have; a wider one goes (a car), and so do people found
    // in only a small part of a wide one (its edges).
    void CheckAppearance(fsdk::Span<const TrackHint> tracks, float scaleX, float scaleY)
    {
        m_checked.clear();
        const cv::Mat& grey = m_model.FrameGrey();
        for (const Candidate& c : m_candidates) {
            // An upright candidate on someone already seen as a person is
            // them again; the detectors' time goes to the others.
            const bool upright = static_cast<float>(c.Height()) >= kUpright * static_cast<float>(c.Width());
            if (upright && OnKnownPerson(c, tracks, scaleX, scaleY)) {
                m_checked.push_back(c);
                m_checked.back().person = true;
                continue;
            }
            if (c.Height() < PersonAppearance::kMinHeight) {
                // Too small to judge by its looks, but no one is that wide,
                // nor a few people side by side, unless the top or bottom
                // edge of the view cuts them; and what comes in at a side
                // shows all of a person's height (a car coming in does not
                // look so tall yet).
                const bool side = c.x0 <= 1 || c.x1 >= grey.cols - 1;
                const float aspect = side ? kMinSideAspect : kMinSmallAspect;
                if (static_cast<float>(c.Height()) >= aspect * static_cast<float>(c.Width()) || c.y0 <= 1 ||
                    c.y1 >= grey.rows - 1)
                    m_checked.push_back(c);
                continue;
            }
            m_appearance.Find(grey, cv::Rect(c.x0, c.y0, c.Width(), c.Height()), c.Height(), m_hits);
            const size_t before = m_checked.size();
            for (const PersonHit& hit : m_hits) {
                Candidate person;
                if (Confirmed(hit, person)) m_checked.push_back(person);
            }
            // People found in a small part of a wide moving thing are its
            // edges, not people: a group is people all across.
            int covered = 0;
            for (size_t i = before; i < m_checked.size(); ++i) covered += m_checked[i].pixels;
            if (!upright && static_cast<float>(covered) < kMinCovered * static_cast<float>(c.pixels))
                m_checked.resize(before);
            // So tall a person the detectors could not miss.
            const bool plain = static_cast<float>(c.Height()) >= kMaxUnseenHeight * static_cast<float>(grey.rows);
            // What would go, or stay one box for several people: people
            // close to the camera, by their faces, each cut off where the
            // candidate ends.
            if (m_checked.size() == before && (!upright || plain) && m_appearance.HasFaces()) {
                m_hits.clear();
                const cv::Rect region(c.x0, c.y0, c.Width(), c.Height());
                m_appearance.FindFaces(grey, region, c.Height() / 10, std::min(c.Width(), c.Height() / 2), c.y1,
                                       m_hits);
                for (const PersonHit& hit : m_hits) {
                    const cv::Rect box = hit.box & region;
                    if (box.area() <= 0) continue;
                    PersonHit inside = hit;
                    inside.box = box;
                    m_checked.push_back(FromHit(inside));
                }
            }
            if (m_checked.size() == before && upright && !plain) m_checked.push_back(c);
        }
        m_candidates.swap(m_checked);
    }

    static Candidate FromHit(const PersonHit& hit)
    {
        Candidate c{hit.box.x, hit.box.y, hit.box.x + hit.box.width, hit.box.y + hit.box.height, hit.box.area()};
        c.score = 0.6f + 0.4f * Ramp(static_cast<float>(hit.weight), 0.f, 2.f);
        c.person = true;
        return c;
    }

    // People being followed as people whom this run's foreground does not
    // show (they stand still, or are part of what the model started with)
    // are looked for by their looks where they are expected.
    void LookAgain(fsdk::Span<const TrackHint> tracks, float scaleX, float scaleY)
    {
        const cv::Mat& grey = m_model.FrameGrey();
        const cv::Rect image(0, 0, grey.cols, grey.rows);
        for (const TrackHint& track : tracks) {
            if (!track.person || !track.keep) continue;
            const cv::Rect box = Scaled(track.box, scaleX, scaleY, grey.size());
            if (box.area() <= 0) continue;
            bool shown = false;
            for (const Candidate& c : m_candidates)
                shown = shown || Iou(box, cv::Rect(c.x0, c.y0, c.Width(), c.Height())) >= kShownOverlap;
            if (shown) continue;
            const cv::Rect around =
                cv::Rect(box.x - box.width / 4, box.y - box.height / 8, box.width * 3 / 2, box.height * 5 / 4) & image;
            if (around.area() <= 0) continue;
            // Someone standing still looks the same as at the last look.
            m_glance.Take(grey, around);
            Look* last = nullptr;
            for (Look& look : m_looks)
                if (Iou(look.box, box) >= kSameLookBox && (last == nullptr || look.run > last->run)) last = &look;
            if (last != nullptr && m_run - last->run <= kLookReuseRuns &&
                last->glance.Same(m_glance, kSameCell, kSameMean)) {
                last->used = m_run;
                if (last->found && Iou(box, last->hit.box) >= kShownOverlap) m_candidates.push_back(FromHit(last->hit));
                continue;
            }
            m_hits.clear();
            // The box may be a body's, narrower than the shoulders, or cut
            // at the bottom of the view: faces of a wide range of sizes.
            const int face = static_cast<int>(static_cast<float>(box.width) / kFaceWidths);
            m_appearance.FindFaces(grey, cv::Rect(around.x, around.y, around.width, around.height / 2), face / 2,
                                   std::max(box.width, box.height / 3), around.y + around.height, m_hits);
            // A face found there wins anyway: the body detectors' time goes
            // to the others.
            bool faced = false;
            for (const PersonHit& hit : m_hits) faced = faced || Iou(box, hit.box) >= kShownOverlap;
            if (!faced && box.height >= PersonAppearance::kMinHeight)
                m_appearance.Find(grey, around, box.height, m_hits);
            // A face first: the box of a body the detectors see is only
            // as wide as the detector's window.
            const PersonHit* best = nullptr;
            double bestOverlap = 0.0;
            for (const PersonHit& hit : m_hits) {
                const double overlap = Iou(box, hit.box);
                if (overlap < kShownOverlap) continue;
                const bool better =
                    best == nullptr || (hit.face && !best->face) || (hit.face == best->face && overlap > bestOverlap);
                if (better) {
                    bestOverlap = overlap;
                    best = &hit;
                }
            }
            if (best != nullptr) m_candidates.push_back(FromHit(*best));
            if (last == nullptr) {
                m_looks.emplace_back();
                last = &m_looks.back();
            }
            last->box = box;
            last->glance = m_glance;
            last->found = best != nullptr;
            if (best != nullptr) last->hit = *best;
            last->run = m_run;
            last->used = m_run;
        }
        // What no one was looked for at in this run is forgotten.
        m_looks.erase(std::remove_if(m_looks.begin(), m_looks.end(), [&](const Look& l) { return l.used != m_run; }),
                      m_looks.end());
    }

    // The share of `part` inside `whole`.
    static double Inside(const cv::Rect& part, const cv::Rect& whole)
    {
        const int area = part.area();
        return area > 0 ? static_cast<double>((part & whole).area()) / area : 0.0;
    }

    static double Iou(const cv::Rect& a, const cv::Rect& b)
    {
        const int common = (a & b).area();
        const int all = a.area() + b.area() - common;
        return all > 0 ? static_cast<double>(common) / all : 0.0;
    }

    static bool OnKnownPerson(const Candidate& c, fsdk::Span<const TrackHint> tracks, float scaleX, float scaleY)
    {
        const float x0 = static_cast<float>(c.x0) * scaleX, y0 = static_cast<float>(c.y0) * scaleY;
        const float x1 = static_cast<float>(c.x1) * scaleX, y1 = static_cast<float>(c.y1) * scaleY;
        for (const TrackHint& track : tracks) {
            if (!track.person) continue;
            const fsdk::Rect& b = track.box;
            const float w = std::min(x1, b.x + b.width) - std::max(x0, b.x);
            const float h = std::min(y1, b.y + b.height) - std::max(y0, b.y);
            if (w <= 0.f || h <= 0.f) continue;
            const float common = w * h;
            if (common >= kKnownOverlap * ((x1 - x0) * (y1 - y0) + b.width * b.height - common)) return true;
        }
        return false;
    }

    // Whether the foreground bears `hit` out; `person` then has its box
    // brought in to the foreground.
    bool Confirmed(const PersonHit& hit, Candidate& person)
    {
        const cv::Rect& box = hit.box;
        m_columns.assign(static_cast<size_t>(box.width), 0);
        m_rows.assign(static_cast<size_t>(box.height), 0);
        int count = 0;
        int64_t sumX = 0;
        for (int y = 0; y < box.height; ++y) {
            const uint8_t* row = m_binary.ptr<uint8_t>(box.y + y) + box.x;
            for (int x = 0; x < box.width; ++x) {
                if (row[x] == 0) continue;
                ++m_columns[static_cast<size_t>(x)];
                ++m_rows[static_cast<size_t>(y)];
                sumX += x;
                ++count;
            }
        }
        if (static_cast<float>(count) < kMinHitFill * static_cast<float>(box.area())) return false;
        const float centre = static_cast<float>(sumX) / static_cast<float>(count) / static_cast<float>(box.width);
        if (std::abs(centre - 0.5f) > kMaxOffCentre) return false;
        const int headRows = std::max(1, static_cast<int>(kHeadRows * static_cast<float>(box.height)));
        const int head = *std::max_element(m_rows.begin(), m_rows.begin() + headRows);
        const int torso = *std::max_element(m_rows.begin() + box.height / 4, m_rows.begin() + box.height * 3 / 5 + 1);
        if (static_cast<float>(head) > kMaxHeadWidth * static_cast<float>(torso)) return false;

        // The sides go out to the foreground: from the middle of the box
        // outwards while the columns still hold some of it (an arm), up to
        // a gap (the next person).
        const int reach = static_cast<int>(kHitReach * static_cast<float>(box.width));
        const int left = std::max(0, box.x - reach), right = std::min(m_binary.cols, box.x + box.width + reach);
        m_profile.assign(static_cast<size_t>(right - left), 0);
        for (int y = box.y; y < box.y + box.height; ++y) {
            const uint8_t* row = m_binary.ptr<uint8_t>(y);
            for (int x = left; x < right; ++x) m_profile[static_cast<size_t>(x - left)] += row[x] != 0;
        }
        const int peak = *std::max_element(m_profile.begin(), m_profile.end());
        const int least = std::max(1, static_cast<int>(kSideColumn * static_cast<float>(peak)));
        int x0 = box.x + box.width / 2 - left, x1 = x0;
        while (x0 > 0 && m_profile[static_cast<size_t>(x0 - 1)] >= least) --x0;
        while (x1 + 1 < right - left && m_profile[static_cast<size_t>(x1 + 1)] >= least) ++x1;
        person.x0 = left + x0;
        person.x1 = left + x1 + 1;
        int y0 = 0, y1 = 0;
        Extent(m_rows, count, kHitTrim, y0, y1);
        person.y0 = box.y + y0;
        person.y1 = box.y + y1 + 1;
        person.pixels = count;
        person.score = 0.6f + 0.4f * Ramp(static_cast<float>(hit.weight), 0.f, 2.f);
        person.person = true;
        return true;
    }

    static bool Cut(const Candidate& c, int width, int height)
    {
        return c.x0 <= 1 || c.y0 <= 1 || c.x1 >= width - 1 || c.y1 >= height - 1;
    }

    // How much a box looks like a person: upright, filled, not tiny. Boxes
    // cut by the frame edge may be of any shape.
    float Score(const Candidate& c, int width, int height) const
    {
        const float w = static_cast<float>(c.Width());
        const float h = static_cast<float>(c.Height());
        const float aspect = h / w;
        const float fill = static_cast<float>(c.pixels) / static_cast<float>(c.Area());
        float shape = aspect < 1.4f ? 0.3f + 0.7f * Ramp(aspect, 0.6f, 1.4f) : 1.f - 0.7f * Ramp(aspect, 5.f, 8.f);
        if (Cut(c, width, height)) shape = std::max(shape, 0.8f);
        const float filled = 0.3f + 0.7f * Ramp(fill, 0.12f, 0.35f);
        const float size =
            0.6f + 0.4f * Ramp(h, static_cast<float>(m_config.minHeight), 2.f * static_cast<float>(m_config.minHeight));
        return shape * filled * size;
    }

    // The last look for someone who was not in the foreground.
    struct Look {
        cv::Rect box;   // where they were expected
        Glance glance;  // of the region looked at
        bool found = false;
        PersonHit hit;
        int64_t run = 0;   // of the look
        int64_t used = 0;  // the last run that wanted it
    };

    const PersonDetectorConfig m_config;
    const bool m_scaling;
    const int m_scaleSize;
    const int m_maxCount;
    ForegroundModel m_model;
    MaskCleaner m_cleaner;

    cv::Mat m_source;
    cv::Mat m_colour;
    cv::Mat m_scaled;
    cv::Mat m_keep;
    cv::Mat m_mask;
    cv::Mat m_binary;
    cv::Mat m_labels;
    std::vector<ComponentStats> m_components;
    std::vector<int> m_strong;
    std::vector<uint8_t> m_kept;
    std::vector<int> m_keptPixels;
    std::vector<uint8_t> m_ghost;
    std::vector<int64_t> m_frameEdge;
    std::vector<int64_t> m_backgroundEdge;
    std::vector<int> m_columns;
    std::vector<int> m_rows;
    std::vector<int> m_profile;
    std::vector<Candidate> m_candidates;
    std::vector<Candidate> m_checked;
    cv::Ptr<cv::BackgroundSubtractor> m_subtractor;
    cv::Mat m_subtracted;
    PersonAppearance m_appearance;
    std::vector<PersonHit> m_hits;
    cv::Mat m_grey;
    int64_t m_run = 0;
    std::vector<Look> m_looks;
    Glance m_glance;
};

}  // namespace

std::unique_ptr<IDetector> CreatePersonDetector(const EngineConfig& config)
{
    return std::make_unique<PersonDetector>(config);
}

}  // namespace tsdk::detail
