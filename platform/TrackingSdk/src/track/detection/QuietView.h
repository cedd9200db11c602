#pragma once
// Tells whether a stream's view has changed since the detector last ran on
// it. Most cameras show an unchanged scene most of the time; their detector
// runs may reuse the last run's detections instead of paying for the
// network again, and between runs nothing needs following. Every frame gets
// a small luma thumbnail, each cell the mean of a few pixels at its centre,
// which costs next to nothing whatever the frame's size; it is compared
// cell by cell with that of the last real run. A person walking into a wide
// view changes a few cells a lot, camera noise changes every cell a little,
// so the view counts as changed when enough cells differ by more than a
// level, not by a mean over the whole picture.

#include <cstdint>
#include <vector>

#include "fsdk/Image.h"
#include "track/engine/Config.h"

namespace tsdk::detail {

class QuietView {
public:
    // Cells across the thumbnail; its rows follow the picture's aspect.
    static constexpr int kColumns = 64;

    explicit QuietView(const QuietViewConfig& config) : m_config(config) {}

    // Makes the thumbnail of frame `frame`; answers false when the picture
    // cannot be read or reuse is off.
    bool Look(const fsdk::Image& image, uint64_t frame);
    // Whether the frame last looked at shows the view of the last real run,
    // and that run is recent enough to stand for it.
    bool Unchanged() const;
    // The detector really ran on the frame last looked at.
    void Ran();
    // Forgets the last run, as when a frame could not be read.
    void Reset() noexcept { m_hasReference = false; }

private:
    const QuietViewConfig& m_config;
    std::vector<uint8_t> m_thumbnail;  // of the frame last looked at
    std::vector<uint8_t> m_reference;  // of the last real run
    int m_width = 0, m_height = 0;     // of the picture looked at
    int m_referenceWidth = 0, m_referenceHeight = 0;
    bool m_looked = false;
    bool m_hasReference = false;
    uint64_t m_frame = 0;
    uint64_t m_referenceFrame = 0;
};

}  // namespace tsdk::detail
