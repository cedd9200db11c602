#include "Truth.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <set>

#include "Scene/Generator.h"
#include "Video.h"

namespace QelTrack {

namespace {

// Figures less visible than this are not expected to be tracked.
constexpr double kMinVisibility = 0.3;

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

template <class T>
bool ParseField(std::string_view text, T& value)
{
    text = Trim(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

}  // namespace

std::vector<TruthBox> SceneTruth::At(uint32_t frame) const
{
    std::vector<TruthBox> boxes;
    if (frame >= m_scene.FrameCount()) return boxes;
    for (const auto& t : m_scene.TruthAt(frame))
        boxes.push_back({t.id, {t.box.x, t.box.y, t.box.width, t.box.height}, t.visibility >= kMinVisibility});
    return boxes;
}

MotTruth::MotTruth(const std::string& path)
{
    std::ifstream in(path);
    if (!in) throw InputError(fmt::format("cannot read the ground truth '{}'", path));
    std::string line;
    std::map<uint32_t, std::set<int64_t>> ids;
    for (uint64_t number = 1; std::getline(in, line); ++number) {
        if (Trim(line).empty()) continue;
        std::vector<std::string_view> fields;
        std::string_view rest(line);
        for (size_t comma; (comma = rest.find(',')) != std::string_view::npos; rest.remove_prefix(comma + 1))
            fields.push_back(rest.substr(0, comma));
        fields.push_back(rest);
        const auto bad = [&](const std::string& why) {
            return InputError(fmt::format("ground truth '{}' line {}: {}", path, number, why));
        };
        if (fields.size() < 6) throw bad("takes frame, id, left, top, width, height");
        int64_t frame = 0, id = 0;
        double box[4] = {};
        if (!ParseField(fields[0], frame) || frame < 1 || frame > UINT32_MAX) throw bad("the frame is not 1 or more");
        if (!ParseField(fields[1], id)) throw bad("the id is not an integer");
        for (int i = 0; i < 4; ++i)
            if (!ParseField(fields[2 + i], box[i]) || !std::isfinite(box[i])) throw bad("a box field is not a number");
        if (box[2] < 0 || box[3] < 0) throw bad("the box has a negative size");
        double flag = 1;
        if (fields.size() > 6 && !ParseField(fields[6], flag)) throw bad("the seventh field is not a number");
        const auto f = static_cast<uint32_t>(frame);
        if (!ids[f].insert(id).second) throw bad(fmt::format("id {} appears twice in frame {}", id, frame));
        m_frames[f].push_back({id, {box[0], box[1], box[2], box[3]}, flag != 0});
    }
    if (in.bad()) throw InputError(fmt::format("cannot read the ground truth '{}'", path));
}

std::vector<TruthBox> MotTruth::At(uint32_t frame) const
{
    const auto found = m_frames.find(frame + 1);
    return found == m_frames.end() ? std::vector<TruthBox>{} : found->second;
}

void Scorer::AddFrame(uint64_t timestamp, uint32_t width, uint32_t height)
{
    m_pending.push_back({m_next++, timestamp, width, height});
}

void Scorer::AddReport(uint64_t timestamp, const std::vector<DrawnTarget>& targets)
{
    // Results come in frame order: frames before this one had none.
    static const std::vector<DrawnTarget> kNone;
    while (!m_pending.empty() && m_pending.front().timestamp < timestamp) {
        Score(m_pending.front(), kNone);
        m_pending.pop_front();
    }
    // A later report of the same time (tracks ended at reconfiguration or
    // shutdown) finds its frame already scored and is not counted twice.
    while (!m_pending.empty() && m_pending.front().timestamp == timestamp) {
        Score(m_pending.front(), targets);
        m_pending.pop_front();
    }
}

Scores::Summary Scorer::Finish()
{
    static const std::vector<DrawnTarget> kNone;
    for (const Pending& p : m_pending) Score(p, kNone);
    m_pending.clear();
    return m_evaluator.Compute();
}

void Scorer::Score(const Pending& frame, const std::vector<DrawnTarget>& targets)
{
    const std::vector<TruthBox> truth = m_truth.At(frame.index);
    std::vector<Scores::Object> counted;
    for (const TruthBox& t : truth)
        if (t.counted) counted.push_back({t.id, t.box});
    const double w = frame.width, h = frame.height;
    std::vector<Scores::Object> hypotheses;
    std::set<int32_t> seen;
    // Every target of the frame's own report counts, ended ones too: a track
    // updated and ended by the same result carries that frame's box, and
    // whether the end comes with the last frame or after it is up to the
    // SDK's timing.
    for (const DrawnTarget& d : targets) {
        if (!seen.insert(d.objectId).second) continue;
        const Scores::Box box{d.x * w, d.y * h, d.width * w, d.height * h};
        double kept = 0, ignored = 0;
        for (const TruthBox& t : truth) {
            double& best = t.counted ? kept : ignored;
            best = std::max(best, Scores::IoU(box, t.box));
        }
        if (ignored >= Scores::kMatchIoU && kept < Scores::kMatchIoU) continue;
        hypotheses.push_back({d.objectId, box});
    }
    m_evaluator.AddFrame(counted, hypotheses);
}

}  // namespace QelTrack
