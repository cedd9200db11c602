#pragma once
// Tracks of one stream: detections every detector-step frames, associated
// with the tracks by overlap, tracks followed in between.

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "track/Config.h"
#include "track/Detector.h"
#include "tsdk/TrackEngine.h"

namespace tsdk::detail {

// Hands out the track ids of one engine; ids never repeat within it.
class TrackIdSource {
public:
    int32_t Next() noexcept
    {
        // Positive int32 ids; the counter would need 2^31 tracks to wrap.
        return static_cast<int32_t>(m_next.fetch_add(1, std::memory_order_relaxed) & 0x7fffffffu);
    }

private:
    std::atomic<uint32_t> m_next{1};
};

class StreamTracker {
public:
    StreamTracker(const EngineConfig& config, TrackIdSource& ids, std::unique_ptr<IDetector> detector);

    // Tracks one frame: the reported tracks into `objects`, the ids of
    // tracks that ended into `finished`. Answers whether the detector ran.
    bool Process(const fsdk::Image& image, std::vector<TrackedObject>& objects, std::vector<int32_t>& finished);
    // Ends every track; the reported ones go into `finished`.
    void FinishAll(std::vector<int32_t>& finished);

    size_t TrackCount() const noexcept { return m_tracks.size(); }

private:
    struct Track {
        int32_t id = 0;
        fsdk::Rect box;
        float vx = 0.f;  // centre motion per frame
        float vy = 0.f;
        float score = 0.f;
        int hits = 0;              // frames with a detection
        int misses = 0;            // detector runs without one, in a row
        int framesSinceMatch = 0;  // frames since the last detection
        int inactiveFrames = 0;    // frames since it stopped being reported
        bool active = true;
        bool matched = false;  // detected in the current frame
    };

    void Associate();
    void Follow(Track& track, int width, int height) const;
    bool Confirmed(const Track& track) const noexcept { return track.hits >= m_config.minimalTrackLength; }

    const EngineConfig& m_config;
    TrackIdSource& m_ids;
    std::unique_ptr<IDetector> m_detector;
    uint64_t m_frameIndex = 0;
    std::vector<Track> m_tracks;
    std::vector<Detection> m_detections;
    struct Pair {
        float overlap;
        int track;
        int detection;
    };
    std::vector<Pair> m_pairs;
    std::vector<char> m_detectionUsed;
};

}  // namespace tsdk::detail
