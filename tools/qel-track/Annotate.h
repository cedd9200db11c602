#pragma once
// Frames with every reported box and its "ObjectId" drawn on them, as a
// video or as a contact sheet of evenly spaced frames.

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Video.h"

namespace QelTrack {

struct DrawnTarget {
    double x = 0, y = 0, width = 0, height = 0;  // fractions of the frame
    int32_t objectId = 0;
    uint32_t phase = 0;
};

void DrawTargets(RgbFrame& frame, const std::vector<DrawnTarget>& targets);

class Annotator {
public:
    // A .png path makes a contact sheet, anything else a video.
    Annotator(std::string path, double fps, std::optional<uint32_t> expectedFrames);
    ~Annotator();

    // Frames come in order; the report for a frame's time stamp may come later.
    void AddFrame(const RgbFrame& frame);
    void AddReport(uint64_t timestamp, std::vector<DrawnTarget> targets);
    void Finish();

private:
    void Emit(RgbFrame& frame);
    void Flush(bool all);

    const std::string m_path;
    const bool m_sheet;
    const double m_fps;
    std::optional<uint32_t> m_expected;
    std::deque<RgbFrame> m_pending;
    std::map<uint64_t, std::vector<DrawnTarget>> m_reports;
    std::optional<uint64_t> m_lastReport;
    std::unique_ptr<VideoWriter> m_video;
    std::vector<RgbFrame> m_tiles;
    uint32_t m_emitted = 0;
    bool m_finished = false;
};

}  // namespace QelTrack
