#pragma once
// Tells whether a stream's view has changed since the detector last ran on
// it. Most cameras show an unchanged scene most of the time; their detector
// runs may reuse the last run's detections instead of paying for the
// network again. A small luma thumbnail of each detector run's frame is
// compared cell by cell with that of the last real run: a person walking
// into a wide view changes a few cells a lot, camera noise changes every
// cell a little, so the view counts as changed when enough cells differ by
// more than a level, not by a mean over the whole picture.

#include <opencv2/core.hpp>

#include <cstdint>

#include "track/Shrink.h"
#include "track/engine/Config.h"

namespace tsdk::detail {

class QuietView {
public:
    // Cells across the thumbnail; its rows follow the picture's aspect.
    static constexpr int kColumns = 64;

    explicit QuietView(const QuietViewConfig& config) : m_config(config) {}

    // Whether the detector run due on frame `frame`, whose grey picture is
    // `grey` (any size), may reuse the detections of the last real run.
    bool Unchanged(const cv::Mat& grey, uint64_t frame);
    // The detector really ran on the frame last given to Unchanged.
    void Ran(uint64_t frame);
    // Forgets the last run, as when the picture could not be read.
    void Reset() noexcept { m_hasReference = false; }

private:
    const QuietViewConfig& m_config;
    Shrinker m_shrinker;
    cv::Mat m_thumbnail;  // of the frame last given to Unchanged
    cv::Mat m_reference;  // of the last real run
    bool m_hasThumbnail = false;
    bool m_hasReference = false;
    uint64_t m_referenceFrame = 0;
};

}  // namespace tsdk::detail
