#pragma once
// Ground truth for a run and the tracking scores against it: the built-in
// scene's own truth or a MOT-challenge annotation file.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Annotate.h"
#include "Scores/Evaluator.h"

namespace Scene {
class Generator;
}

namespace QelTrack {

struct TruthBox {
    int64_t id = 0;
    Scores::Box box;  // pixels
    // Boxes not counted (hardly visible, or flagged to be ignored) count
    // neither way: a report on one is no false positive.
    bool counted = true;
};

class GroundTruth {
public:
    virtual ~GroundTruth() = default;
    // Boxes of the frame-th frame fed, from 0.
    virtual std::vector<TruthBox> At(uint32_t frame) const = 0;
};

// Figures mostly hidden or out of view are not counted.
class SceneTruth final : public GroundTruth {
public:
    explicit SceneTruth(const Scene::Generator& scene) : m_scene(scene) {}
    std::vector<TruthBox> At(uint32_t frame) const override;

private:
    const Scene::Generator& m_scene;
};

// Lines "frame, id, left, top, width, height[, flag, ...]", frames from 1,
// boxes in pixels; a flag of 0 marks a box to ignore, further fields are not
// read. Throws InputError naming the line for anything else.
class MotTruth final : public GroundTruth {
public:
    explicit MotTruth(const std::string& path);
    std::vector<TruthBox> At(uint32_t frame) const override;
    // The highest frame number the file names (from 1).
    uint32_t LastFrame() const { return m_frames.empty() ? 0 : m_frames.rbegin()->first; }

private:
    std::map<uint32_t, std::vector<TruthBox>> m_frames;  // by MOT frame number
};

// Scores the reports of one stream against its truth as they come: frames
// are noted in the order fed, and a report settles every frame up to its
// time stamp, so memory stays bounded by the frames still in flight.
class Scorer {
public:
    explicit Scorer(const GroundTruth& truth) : m_truth(truth) {}

    void AddFrame(uint64_t timestamp, uint32_t width, uint32_t height);
    void AddReport(uint64_t timestamp, const std::vector<DrawnTarget>& targets);
    // Frames with no report count as reported empty.
    Scores::Summary Finish();

private:
    struct Pending {
        uint32_t index;
        uint64_t timestamp;
        uint32_t width, height;
    };
    void Score(const Pending& frame, const std::vector<DrawnTarget>& targets);

    const GroundTruth& m_truth;
    Scores::Evaluator m_evaluator;
    std::deque<Pending> m_pending;
    uint32_t m_next = 0;
};

}  // namespace QelTrack
