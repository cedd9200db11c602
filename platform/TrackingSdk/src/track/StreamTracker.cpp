#include "track/StreamTracker.h"

#include <algorithm>

namespace tsdk::detail {
namespace {

float Overlap(const fsdk::Rect& a, const fsdk::Rect& b)
{
    const float left = std::max(a.x, b.x);
    const float top = std::max(a.y, b.y);
    const float right = std::min(a.x + a.width, b.x + b.width);
    const float bottom = std::min(a.y + a.height, b.y + b.height);
    if (right <= left || bottom <= top) return 0.f;
    const float common = (right - left) * (bottom - top);
    const float all = a.width * a.height + b.width * b.height - common;
    return all > 0.f ? common / all : 0.f;
}

}  // namespace

StreamTracker::StreamTracker(const EngineConfig& config, TrackIdSource& ids, std::unique_ptr<IDetector> detector)
    : m_config(config), m_ids(ids), m_detector(std::move(detector))
{
}

bool StreamTracker::Process(const fsdk::Image& image, std::vector<TrackedObject>& objects,
                            std::vector<int32_t>& finished)
{
    const int width = image.getWidth();
    const int height = image.getHeight();
    const bool detect = m_config.useBodyDetector && m_detector && m_frameIndex % m_config.detectorStep == 0;
    ++m_frameIndex;
    for (Track& track : m_tracks) {
        track.matched = false;
        ++track.framesSinceMatch;
        if (!track.active) ++track.inactiveFrames;
    }
    if (detect) {
        m_detector->Detect(image, m_detections);
        Associate();
    }
    for (Track& track : m_tracks)
        if (track.active && !track.matched) Follow(track, width, height);

    // Inactive tracks past their lifetime end; unconfirmed ones were never
    // reported and end silently.
    auto ended = [&](const Track& track) {
        if (track.active || track.inactiveFrames <= m_config.inactiveTracksLifetime) return false;
        if (Confirmed(track)) finished.push_back(track.id);
        return true;
    };
    m_tracks.erase(std::remove_if(m_tracks.begin(), m_tracks.end(), ended), m_tracks.end());

    size_t reported = 0;
    for (const Track& track : m_tracks) reported += track.active && Confirmed(track);
    objects.reserve(reported);
    for (const Track& track : m_tracks) {
        if (!track.active || !Confirmed(track)) continue;
        TrackedObject object;
        object.trackId = track.id;
        object.box = track.box;
        object.imageWidth = width;
        object.imageHeight = height;
        object.score = std::clamp(track.score, 0.f, 1.f);
        object.flag = track.matched;
        objects.push_back(object);
    }
    return detect;
}

void StreamTracker::Associate()
{
    const float threshold = static_cast<float>(m_config.associationOverlapPercent) / 100.f;
    m_pairs.clear();
    for (int t = 0; t < static_cast<int>(m_tracks.size()); ++t)
        for (int d = 0; d < static_cast<int>(m_detections.size()); ++d) {
            const float overlap = Overlap(m_tracks[t].box, m_detections[d].box);
            if (overlap >= threshold) m_pairs.push_back({overlap, t, d});
        }
    std::stable_sort(m_pairs.begin(), m_pairs.end(),
                     [](const Pair& a, const Pair& b) { return a.overlap > b.overlap; });
    m_detectionUsed.assign(m_detections.size(), 0);
    for (const Pair& pair : m_pairs) {
        Track& track = m_tracks[pair.track];
        if (track.matched || m_detectionUsed[pair.detection]) continue;
        const Detection& detection = m_detections[pair.detection];
        m_detectionUsed[pair.detection] = 1;
        if (track.active && track.framesSinceMatch > 0) {
            const float frames = static_cast<float>(track.framesSinceMatch);
            track.vx = (detection.box.x + detection.box.width / 2 - track.box.x - track.box.width / 2) / frames;
            track.vy = (detection.box.y + detection.box.height / 2 - track.box.y - track.box.height / 2) / frames;
        } else {
            track.vx = track.vy = 0.f;
        }
        track.box = detection.box;
        track.score = detection.score;
        ++track.hits;
        track.misses = 0;
        track.framesSinceMatch = 0;
        track.inactiveFrames = 0;
        track.active = true;
        track.matched = true;
    }
    for (Track& track : m_tracks) {
        if (track.matched || !track.active) continue;
        if (++track.misses > m_config.skipFrames) {
            track.active = false;
            track.inactiveFrames = 0;
            track.vx = track.vy = 0.f;
        }
    }
    for (size_t d = 0; d < m_detections.size(); ++d) {
        if (m_detectionUsed[d]) continue;
        Track track;
        track.id = m_ids.Next();
        track.box = m_detections[d].box;
        track.score = m_detections[d].score;
        track.hits = 1;
        track.matched = true;
        m_tracks.push_back(track);
    }
}

void StreamTracker::Follow(Track& track, int width, int height) const
{
    // Keep the centre inside the image so a track never runs away.
    const float cx = std::clamp(track.box.x + track.box.width / 2 + track.vx, 0.f, static_cast<float>(width));
    const float cy = std::clamp(track.box.y + track.box.height / 2 + track.vy, 0.f, static_cast<float>(height));
    track.box.x = cx - track.box.width / 2;
    track.box.y = cy - track.box.height / 2;
}

void StreamTracker::FinishAll(std::vector<int32_t>& finished)
{
    for (const Track& track : m_tracks)
        if (Confirmed(track)) finished.push_back(track.id);
    m_tracks.clear();
}

}  // namespace tsdk::detail
