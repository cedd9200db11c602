#include "track/association/StreamTracker.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "track/Boxes.h"

namespace tsdk::detail {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// A person covers at most this share of their height per frame (running at
// ten frames a second), however fast a box that comes into view seems to move.
constexpr float kMaxSpeed = 0.15f;
// A box grows or shrinks by at most this share per frame: walking up to the
// camera from a few metres away.
constexpr float kMaxSizeRate = 0.03f;
// Squared Mahalanobis distance a detection may lie from a track's predicted
// box (chi-square, 4 degrees of freedom, 99 %).
constexpr double kGate = 13.28;
// Detector runs a track needs before losing it makes it inactive rather
// than ending it: one or two detections may be a passing mistake.
constexpr int kSteadyHits = 3;
// Share of a box that must lie inside the image for a track that is no
// longer detected to be followed on.
constexpr float kMinShareInside = 0.4f;
// How much a box may grow or shrink, in height or width, from its
// prediction to the detection that continues it.
constexpr float kMaxGrowth = 2.5f;
// Tracks overlapping this much follow one person; a detection this much
// inside a followed person's box is a part of them.
constexpr float kDuplicateOverlap = 0.6f;
constexpr float kPartInside = 0.6f;
// Detector runs two tracks must stay on top of each other to be taken for
// one person.
constexpr int kDuplicateRuns = 4;
// Following between runs: the measurement noise of what the pictures show
// against a detection's, and how far it may lie from the estimate.
constexpr float kFollowNoise = 0.1f;
constexpr float kMinFollowOverlap = 0.3f;
// Colours in association: how much unlike colours add to the cost, how
// unlike they may be for a track no longer reported, or one away from its
// box, to be picked up (a person who was hidden looks as before), and how
// fast a track's colours follow its detections.
constexpr double kLooksWeight = 0.5;
constexpr float kMaxLooksInactive = 0.55f;
constexpr float kLooksRate = 0.3f;
// The confidence one detection at person-score gives a track: just above
// the plug-in's default threshold of 0.6.
constexpr float kPersonEvidence = 0.65f;
// A track has moved once its centre is this share of its height away from
// where it was first found, or its height has changed by this factor: it
// came closer or went off, or walks in or out at an edge of the picture.
constexpr float kMinMove = 0.3f;
constexpr float kMinResize = 1.4f;
// Smaller than this share of the picture's height, a person is seen too
// coarsely for weak detections to add up.
constexpr float kSmallShare = 0.2f;
// Samples of a box's colours, across and down.
constexpr int kLooksColumns = 12;
constexpr int kLooksRows = 20;

float ShareInside(const fsdk::Rect& box, int width, int height)
{
    return Inside(box, {0.f, 0.f, static_cast<float>(width), static_cast<float>(height)});
}

}  // namespace

StreamTracker::StreamTracker(const EngineConfig& config, TrackIdSource& ids, std::unique_ptr<IDetector> detector)
    : m_config(config), m_ids(ids), m_detector(std::move(detector)), m_quiet(config.quiet)
{
}

void StreamTracker::LooksOf(const fsdk::Image& image, const fsdk::Rect& box, Looks& looks)
{
    looks.fill(0.f);
    const int bpp = image.getBytesPerPixel();
    const auto* data = static_cast<const uint8_t*>(image.getData());
    if (!image.isValid() || bpp == 0 || data == nullptr) return;
    const int width = image.getWidth(), height = image.getHeight();
    const int64_t rowSize = image.getRowSize();
    // The middle of the box: the person's body, little of what is beside.
    const float x0 = box.x + 0.25f * box.width, y0 = box.y + 0.1f * box.height;
    const float dx = 0.5f * box.width / kLooksColumns, dy = 0.8f * box.height / kLooksRows;
    int samples = 0;
    for (int r = 0; r < kLooksRows; ++r) {
        const int y = static_cast<int>(y0 + (static_cast<float>(r) + 0.5f) * dy);
        if (y < 0 || y >= height) continue;
        const uint8_t* row = data + y * rowSize;
        for (int c = 0; c < kLooksColumns; ++c) {
            const int x = static_cast<int>(x0 + (static_cast<float>(c) + 0.5f) * dx);
            if (x < 0 || x >= width) continue;
            const uint8_t* p = row + static_cast<int64_t>(x) * bpp;
            const int red = p[0] >> 6, green = p[bpp >= 3 ? 1 : 0] >> 6, blue = p[bpp >= 3 ? 2 : 0] >> 6;
            looks[static_cast<size_t>((red << 4) | (green << 2) | blue)] += 1.f;
            ++samples;
        }
    }
    if (samples == 0) return;
    for (float& bin : looks) bin /= static_cast<float>(samples);
}

float StreamTracker::LooksDistance(const Looks& a, const Looks& b)
{
    float common = 0.f;
    for (size_t i = 0; i < a.size(); ++i) common += std::sqrt(a[i] * b[i]);
    return std::sqrt(std::max(0.f, 1.f - common));
}

bool StreamTracker::Process(const fsdk::Image& image, std::vector<TrackedObject>& objects,
                            std::vector<int32_t>& finished)
{
    const int width = image.getWidth();
    const int height = image.getHeight();
    const bool due = m_config.useBodyDetector && m_detector && m_frameIndex % m_config.detectorStep == 0;
    const uint64_t frame = m_frameIndex++;
    bool following = false;
    for (Track& track : m_tracks) {
        track.matched = false;
        track.last = track.box;
        if (!track.active) ++track.inactiveFrames;
        following = following || track.active;
        Predict(track);
    }
    m_width = width;
    m_height = height;
    // A view unchanged since the network last ran keeps its people where
    // they were: nothing to follow, and a detector run reuses that run's
    // detections (m_detections).
    const bool looked = m_detector && (due || following) && m_quiet.Look(image, frame);
    const bool quiet = looked && m_quiet.Unchanged();
    // The pictures are read while someone is followed, and on detector runs,
    // whose tracks are followed from them.
    bool pictured = false;
    if (m_detector && !quiet && (due || following)) pictured = m_follower.NextFrame(image);
    if (!pictured) m_follower.Reset();
    if (pictured && following) FollowTracks();
    bool detected = false;
    if (due) {
        if (!quiet) {
            m_detector->Detect(image, m_detections);
            m_quiet.Ran();
            detected = true;
        }
        Associate(image);
    }

    // A track that is not seen and whose box has left the image has walked
    // out of view.
    for (Track& track : m_tracks) {
        if (!track.active || track.matched) continue;
        const float cx = track.box.x + track.box.width / 2, cy = track.box.y + track.box.height / 2;
        if (ShareInside(track.box, width, height) < kMinShareInside || cx < 0.f || cy < 0.f ||
            cx > static_cast<float>(width) || cy > static_cast<float>(height))
            track.ended = true;
    }

    // Tracks that ended, and inactive ones past their lifetime, go;
    // unconfirmed ones were never reported and end silently.
    auto ended = [&](const Track& track) {
        if (!track.ended && (track.active || track.inactiveFrames <= m_config.inactiveTracksLifetime)) return false;
        if (track.reported) finished.push_back(track.id);
        return true;
    };
    m_tracks.erase(std::remove_if(m_tracks.begin(), m_tracks.end(), ended), m_tracks.end());

    size_t reported = 0;
    for (const Track& track : m_tracks) reported += Shown(track);
    objects.reserve(reported);
    for (Track& track : m_tracks) {
        if (!Shown(track)) continue;
        track.reported = true;
        TrackedObject object;
        object.trackId = track.id;
        object.box = track.box;
        object.imageWidth = width;
        object.imageHeight = height;
        object.score = std::clamp(track.confidence, 0.f, 1.f);
        object.flag = track.matched;
        objects.push_back(object);
    }
    return detected;
}

void StreamTracker::FollowTracks()
{
    for (Track& track : m_tracks) {
        if (!track.active) continue;
        fsdk::Rect seen;
        if (!m_follower.Follow(track.last, seen)) continue;
        // The flow moves what is in view; a side cut by the edge of the
        // picture (or a little short of it, as the network's boxes often
        // stop) is at the edge while the person walks in or out. Someone
        // cut by the edge does not grow by the flow: the points beside
        // them spread apart from those on them as they go, and the next
        // detector run finds whoever comes closer.
        const fsdk::Rect& last = track.last;
        if (AtEdge(last) && seen.width > last.width) {
            const float cx = seen.x + seen.width / 2, cy = seen.y + seen.height / 2;
            seen = {cx - last.width / 2, cy - last.height / 2, last.width, last.height};
        }
        const float margin = EdgeMargin();
        float left = seen.x, top = seen.y, right = seen.x + seen.width, bottom = seen.y + seen.height;
        const float w = static_cast<float>(m_width), h = static_cast<float>(m_height);
        if (last.x <= margin) left = std::min(last.x, 0.f);
        if (last.y <= margin) top = std::min(last.y, 0.f);
        if (last.x + last.width >= w - margin) right = std::max(last.x + last.width, w);
        if (last.y + last.height >= h - margin) bottom = std::max(last.y + last.height, h);
        if (right - left < 1.f || bottom - top < 1.f) continue;
        seen = {left, top, right - left, bottom - top};
        // Far off the estimate, the flow followed something else: the
        // background, or someone passing in front.
        if (Overlap(seen, track.box) < kMinFollowOverlap) continue;
        track.filter.Correct(seen, kFollowNoise);
        track.box = track.filter.Box();
    }
}

float StreamTracker::EdgeMargin() const noexcept
{
    return 0.02f * static_cast<float>(std::max(m_width, m_height));
}

bool StreamTracker::AtEdge(const fsdk::Rect& box) const noexcept
{
    // Cut by an edge: a person the network no longer finds there has
    // walked out of view.
    const float margin = EdgeMargin();
    return box.x <= margin || box.y <= margin || box.x + box.width >= static_cast<float>(m_width) - margin ||
           box.y + box.height >= static_cast<float>(m_height) - margin;
}

void StreamTracker::Predict(Track& track) const
{
    track.filter.Predict();
    track.filter.Limit(kMaxSpeed, kMaxSizeRate);
    if (track.active) track.box = track.filter.Box();
}

double StreamTracker::Cost(const Track& track, int index) const
{
    const fsdk::Rect& detection = m_detections[static_cast<size_t>(index)].box;
    const fsdk::Rect predicted = track.filter.Box();
    const float overlap = Overlap(predicted, detection);
    // Distance of the detection from the prediction, in units of the
    // prediction's own uncertainty.
    const double distance = track.filter.Distance(detection);
    const bool near = std::isfinite(distance) && distance <= kGate;
    if (!near && overlap * 100.f < static_cast<float>(m_config.associationOverlapPercent)) return kInfinity;
    // A person's box does not change its size that much between two runs
    // of the detector, even coming into view.
    const float taller = detection.height / predicted.height;
    const float wider = detection.width / predicted.width;
    if (taller < 1.f / kMaxGrowth || taller > kMaxGrowth || wider < 1.f / kMaxGrowth || wider > kMaxGrowth)
        return kInfinity;
    // Unlike colours make another person more likely; one who was hidden
    // looks as before.
    const float unlike = LooksDistance(track.looks, m_looks[static_cast<size_t>(index)]);
    // Away from where the track is, only someone who looks the same.
    if ((!track.active || overlap * 100.f < static_cast<float>(m_config.associationOverlapPercent)) &&
        unlike > kMaxLooksInactive)
        return kInfinity;
    // A track that is no longer reported is the last choice.
    const double inactive = track.active ? 0.0 : 0.5;
    return (1.0 - overlap) + std::min(near ? distance / kGate : 1.0, 1.0) + inactive + kLooksWeight * unlike;
}

void StreamTracker::Associate(const fsdk::Image& image)
{
    m_looks.resize(m_detections.size());
    for (size_t d = 0; d < m_detections.size(); ++d) LooksOf(image, m_detections[d].box, m_looks[d]);
    const float high = static_cast<float>(m_config.highScorePercent) / 100.f;
    const float low = static_cast<float>(m_config.lowScorePercent) / 100.f;
    m_high.clear();
    m_low.clear();
    for (int d = 0; d < static_cast<int>(m_detections.size()); ++d) {
        const float score = m_detections[d].score;
        if (score >= high)
            m_high.push_back(d);
        else if (score >= low)
            m_low.push_back(d);
    }

    // Confident detections against every track, then the doubtful ones
    // against the tracks still being followed.
    m_trackList.clear();
    for (int t = 0; t < static_cast<int>(m_tracks.size()); ++t) m_trackList.push_back(t);
    Match(m_trackList, m_high);
    m_trackList.erase(std::remove_if(m_trackList.begin(), m_trackList.end(),
                                     [&](int t) { return !m_tracks[static_cast<size_t>(t)].active; }),
                      m_trackList.end());
    Match(m_trackList, m_low);

    for (Track& track : m_tracks)
        if (!track.matched) Miss(track);
    for (const int d : m_high)
        if (!Covered(m_detections[static_cast<size_t>(d)].box)) StartTrack(d);
    EndDuplicates();
}

void StreamTracker::Gain(Track& track, const Detection& detection) const noexcept
{
    // Something small that stays where it was first found is a person only
    // by a confident detection: a post or a sign far off is found again and
    // again, weakly, in the same place. Whoever walks, or is close enough to
    // be seen well, becomes surer with every detection.
    const bool small = detection.box.height < kSmallShare * static_cast<float>(m_height);
    if (small && !track.moved) {
        const float still = static_cast<float>(m_config.stillPersonScorePercent) / 100.f;
        track.confidence = std::max(track.confidence, kPersonEvidence * std::clamp(detection.score / still, 0.f, 1.f));
        return;
    }
    const float person = static_cast<float>(m_config.personScorePercent) / 100.f;
    const float evidence = kPersonEvidence * std::clamp(detection.score / person, 0.f, 1.f);
    track.confidence = 1.f - (1.f - track.confidence) * (1.f - evidence);
}

bool StreamTracker::Covered(const fsdk::Rect& box) const
{
    // A part of a person already followed is no one new.
    for (const Track& track : m_tracks) {
        if (!track.active || track.ended) continue;
        if (Overlap(track.box, box) >= kDuplicateOverlap || Inside(box, track.box) >= kPartInside) return true;
    }
    return false;
}

void StreamTracker::EndDuplicates()
{
    // Two tracks that stay on top of each other run after run follow one
    // person; the one seen less often goes. People crossing part again.
    for (size_t a = 0; a < m_tracks.size(); ++a) {
        Track& track = m_tracks[a];
        if (!track.active || track.ended) continue;
        bool under = false;
        for (size_t b = 0; b < m_tracks.size() && !under; ++b) {
            const Track& other = m_tracks[b];
            under = b != a && other.active && !other.ended &&
                    (other.hits > track.hits || (other.hits == track.hits && b < a)) &&
                    Overlap(track.box, other.box) >= kDuplicateOverlap;
        }
        track.duplicateRuns = under ? track.duplicateRuns + 1 : 0;
        if (track.duplicateRuns >= kDuplicateRuns) track.ended = true;
    }
}

void StreamTracker::Match(std::vector<int>& tracks, std::vector<int>& candidates)
{
    if (tracks.empty() || candidates.empty()) return;
    const size_t rows = tracks.size();
    const size_t cols = candidates.size();
    m_costs.resize(rows * cols);
    for (size_t r = 0; r < rows; ++r)
        for (size_t c = 0; c < cols; ++c)
            m_costs[r * cols + c] = Cost(m_tracks[static_cast<size_t>(tracks[r])], candidates[c]);
    m_solver.MinCost(m_costs.data(), rows, cols, m_assignment);
    for (size_t r = 0; r < rows; ++r) {
        const int c = m_assignment[r];
        if (c < 0) continue;
        Update(m_tracks[static_cast<size_t>(tracks[r])], candidates[static_cast<size_t>(c)]);
        tracks[r] = -1;
        candidates[static_cast<size_t>(c)] = -1;
    }
    tracks.erase(std::remove(tracks.begin(), tracks.end(), -1), tracks.end());
    candidates.erase(std::remove(candidates.begin(), candidates.end(), -1), candidates.end());
}

void StreamTracker::Update(Track& track, int index)
{
    const Detection& detection = m_detections[static_cast<size_t>(index)];
    const Looks& looks = m_looks[static_cast<size_t>(index)];
    for (size_t i = 0; i < looks.size(); ++i) track.looks[i] += kLooksRate * (looks[i] - track.looks[i]);
    track.filter.Correct(detection.box);
    track.box = detection.box;
    track.atEdge = AtEdge(detection.box);
    if (!track.moved) {
        const float dx = detection.box.x + detection.box.width / 2 - (track.first.x + track.first.width / 2);
        const float dy = detection.box.y + detection.box.height / 2 - (track.first.y + track.first.height / 2);
        const float taller = std::max(track.first.height, detection.box.height);
        const float shorter = std::min(track.first.height, detection.box.height);
        track.moved = std::hypot(dx, dy) > kMinMove * taller || taller >= kMinResize * shorter;
    }
    Gain(track, detection);
    ++track.hits;
    track.misses = 0;
    track.inactiveFrames = 0;
    track.active = true;
    track.matched = true;
}

void StreamTracker::StartTrack(int index)
{
    const Detection& detection = m_detections[static_cast<size_t>(index)];
    Track track;
    track.looks = m_looks[static_cast<size_t>(index)];
    track.id = m_ids.Next();
    track.filter.Start(detection.box);
    track.box = detection.box;
    track.atEdge = AtEdge(detection.box);
    track.first = detection.box;
    Gain(track, detection);
    track.hits = 1;
    track.matched = true;
    m_tracks.push_back(std::move(track));
}

void StreamTracker::Miss(Track& track)
{
    if (!track.active) return;
    ++track.misses;
    // Unseen, a box keeps its size: only where it goes can be foretold.
    track.filter.KeepSize();
    // A young track may miss fewer runs than it has been seen; one that has
    // been seen steadily may miss skip-frames runs and then waits, unseen,
    // to be picked up again.
    const int allowed = std::min(m_config.skipFrames, track.hits < kSteadyHits ? track.hits - 1 : track.hits);
    // One last seen at the edge of the image, or followed there since, has
    // most likely walked out.
    if (track.atEdge || AtEdge(track.box)) {
        track.ended = true;
        return;
    }
    if (track.misses <= allowed) return;
    if (track.hits < kSteadyHits) {
        track.ended = true;
        return;
    }
    track.active = false;
    track.inactiveFrames = 0;
    // Unseen for long, it stays where it was last seen.
    track.filter.Stop();
}

void StreamTracker::FinishAll(std::vector<int32_t>& finished)
{
    for (const Track& track : m_tracks)
        if (track.reported) finished.push_back(track.id);
    m_tracks.clear();
}

}  // namespace tsdk::detail
