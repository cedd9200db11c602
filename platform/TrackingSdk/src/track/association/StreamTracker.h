#pragma once
// Tracks of one stream. The detector runs every detector-step frames; its
// detections are assigned to the tracks globally (the confident ones
// first, then the doubtful ones to the tracks still left, as ByteTrack
// does). Every track's box is a constant-velocity Kalman filter, corrected
// from frame to frame by the optical flow of the pictures, so that a
// walking person's box is where they are when the detector next runs.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "Assignment/Hungarian.h"
#include "track/association/BoxFilter.h"
#include "track/association/FlowFollower.h"
#include "track/detection/Detector.h"
#include "track/detection/QuietView.h"
#include "track/engine/Config.h"
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
    // tracks that ended into `finished`. Answers whether the detector ran;
    // a detector run on an unchanged view reuses the last run's detections
    // and answers false.
    bool Process(const fsdk::Image& image, std::vector<TrackedObject>& objects, std::vector<int32_t>& finished);
    // Ends every track; the reported ones go into `finished`.
    void FinishAll(std::vector<int32_t>& finished);

    size_t TrackCount() const noexcept { return m_tracks.size(); }

    // The colours of a box: a coarse histogram of R, G, B over its middle,
    // where the person is and the background is not.
    using Looks = std::array<float, 64>;
    static void LooksOf(const fsdk::Image& image, const fsdk::Rect& box, Looks& looks);
    // 0 for the same colours, 1 for nothing in common (Bhattacharyya).
    static float LooksDistance(const Looks& a, const Looks& b);

private:
    struct Track {
        int32_t id = 0;
        BoxFilter filter;
        fsdk::Rect box;          // the detection when matched, else the estimate
        fsdk::Rect last;         // the box in the frame before
        float confidence = 0.f;  // that this is a person, from its detections
        int hits = 0;            // detector runs with a detection
        int misses = 0;          // detector runs without one, in a row
        int inactiveFrames = 0;  // frames since it stopped being reported
        int duplicateRuns = 0;   // detector runs on top of a track seen more often
        bool active = true;
        bool matched = false;  // detected in the current frame
        bool atEdge = false;   // last seen touching the edge of the image
        bool ended = false;
        Looks looks{};
        fsdk::Rect first;    // where it was first found
        bool moved = false;  // gone from there
        bool reported = false;
    };

    void Predict(Track& track) const;
    void FollowTracks();
    void Associate(const fsdk::Image& image);
    // Assigns the detections in `candidates` to the tracks in `tracks` and
    // takes them out of both lists.
    void Match(std::vector<int>& tracks, std::vector<int>& candidates);
    void Update(Track& track, int detection);
    void StartTrack(int detection);
    void Miss(Track& track);
    bool Covered(const fsdk::Rect& box) const;
    void EndDuplicates();
    float EdgeMargin() const noexcept;
    bool AtEdge(const fsdk::Rect& box) const noexcept;
    // Cost of continuing `track` with `detection`, or infinity.
    double Cost(const Track& track, int detection) const;
    // What a detection adds to a track's confidence that it is a person.
    void Gain(Track& track, const Detection& detection) const noexcept;
    bool Confirmed(const Track& track) const noexcept { return track.hits >= m_config.minimalTrackLength; }
    bool Shown(const Track& track) const noexcept { return track.active && Confirmed(track); }

    const EngineConfig& m_config;
    TrackIdSource& m_ids;
    std::unique_ptr<IDetector> m_detector;
    FlowFollower m_follower;
    QuietView m_quiet;
    uint64_t m_frameIndex = 0;
    int m_width = 0;  // of the image being tracked
    int m_height = 0;
    std::vector<Track> m_tracks;

    // Scratch memory, kept between frames.
    std::vector<Detection> m_detections;
    std::vector<Looks> m_looks;  // of each detection
    std::vector<int> m_trackList;
    std::vector<int> m_high;
    std::vector<int> m_low;
    std::vector<double> m_costs;
    std::vector<int> m_assignment;
    Assignment::Solver m_solver;
};

}  // namespace tsdk::detail
