#include "Scores/Evaluator.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>

#include "Assignment/Hungarian.h"

namespace Scores {

namespace {

constexpr double kRounding = 1e-9;

bool Matches(double iou)
{
    return iou >= kMatchIoU - kRounding;
}

struct PairHash {
    size_t operator()(const std::pair<int64_t, int64_t>& p) const
    {
        const auto a = static_cast<uint64_t>(p.first), b = static_cast<uint64_t>(p.second);
        uint64_t x = a * 0x9e3779b97f4a7c15ULL ^ (b + 0x7f4a7c159e3779b9ULL + (a << 6) + (a >> 2));
        x = (x ^ (x >> 31)) * 0xbf58476d1ce4e5b9ULL;
        return static_cast<size_t>(x ^ (x >> 29));
    }
};

void Check(const std::vector<Object>& objects, const char* what, std::vector<int64_t>& ids)
{
    ids.clear();
    for (const Object& o : objects) {
        const Box& b = o.box;
        if (!std::isfinite(b.x) || !std::isfinite(b.y) || !std::isfinite(b.width) || !std::isfinite(b.height))
            throw std::invalid_argument(std::string("Scores: a ") + what + " box is not finite (id " +
                                        std::to_string(o.id) + ")");
        if (b.width < 0 || b.height < 0)
            throw std::invalid_argument(std::string("Scores: a ") + what + " box has a negative size (id " +
                                        std::to_string(o.id) + ")");
        ids.push_back(o.id);
    }
    std::sort(ids.begin(), ids.end());
    const auto twin = std::adjacent_find(ids.begin(), ids.end());
    if (twin != ids.end())
        throw std::invalid_argument(std::string("Scores: ") + what + " id " + std::to_string(*twin) +
                                    " appears twice in one frame");
}

double Ratio(uint64_t num, uint64_t den)
{
    return den == 0 ? 1.0 : static_cast<double>(num) / static_cast<double>(den);
}

}  // namespace

double IoU(const Box& a, const Box& b)
{
    if (!(a.width > 0 && a.height > 0 && b.width > 0 && b.height > 0)) return 0.0;
    const double w = std::min(a.x + a.width, b.x + b.width) - std::max(a.x, b.x);
    const double h = std::min(a.y + a.height, b.y + b.height) - std::max(a.y, b.y);
    if (!(w > 0 && h > 0)) return 0.0;
    const double inter = w * h;
    const double uni = a.width * a.height + b.width * b.height - inter;
    return uni > 0 ? inter / uni : 0.0;
}

struct Evaluator::State {
    struct TruthTrack {
        uint64_t present = 0, matched = 0;
        bool everMatched = false, lostSinceMatch = false;
        int64_t lastHypothesis = 0;
    };

    uint64_t frames = 0, truths = 0, hypotheses = 0, matches = 0, misses = 0, falsePositives = 0, idSwitches = 0;
    uint64_t fragmentations = 0;
    double iouSum = 0;
    std::unordered_map<int64_t, TruthTrack> truthTracks;
    std::unordered_map<int64_t, uint64_t> hypothesisFrames;
    // Frames in which a truth id and a hypothesis id overlap enough.
    std::unordered_map<std::pair<int64_t, int64_t>, uint64_t, PairHash> overlaps;
    std::unordered_map<int64_t, int64_t> previous, current;  // truth id -> hypothesis id matched in a frame

    // Scratch, kept between frames.
    std::vector<int64_t> ids;
    std::vector<double> iou, cost;
    std::vector<int> matchOfTruth, rowToCol;
    std::vector<char> hypothesisTaken;
    std::vector<size_t> freeTruths, freeHypotheses;
    std::unordered_map<int64_t, size_t> hypothesisIndex;
    Assignment::Solver solver;
};

Evaluator::Evaluator() : state_(std::make_unique<State>()) {}
Evaluator::~Evaluator() = default;
Evaluator::Evaluator(Evaluator&&) noexcept = default;
Evaluator& Evaluator::operator=(Evaluator&&) noexcept = default;

void Evaluator::Reset()
{
    state_ = std::make_unique<State>();
}

FrameCounts Evaluator::AddFrame(const std::vector<Object>& truth, const std::vector<Object>& hypotheses)
{
    State& s = *state_;
    Check(truth, "truth", s.ids);
    Check(hypotheses, "hypothesis", s.ids);

    const size_t nt = truth.size(), nh = hypotheses.size();
    s.iou.resize(nt * nh);
    for (size_t i = 0; i < nt; ++i)
        for (size_t j = 0; j < nh; ++j) {
            const double v = IoU(truth[i].box, hypotheses[j].box);
            s.iou[i * nh + j] = v;
            if (Matches(v)) ++s.overlaps[{truth[i].id, hypotheses[j].id}];
        }

    s.hypothesisIndex.clear();
    for (size_t j = 0; j < nh; ++j) s.hypothesisIndex[hypotheses[j].id] = j;
    s.matchOfTruth.assign(nt, -1);
    s.hypothesisTaken.assign(nh, 0);

    // Correspondences of the previous frame hold while they still overlap.
    for (size_t i = 0; i < nt; ++i) {
        const auto last = s.previous.find(truth[i].id);
        if (last == s.previous.end()) continue;
        const auto j = s.hypothesisIndex.find(last->second);
        if (j == s.hypothesisIndex.end() || !Matches(s.iou[i * nh + j->second])) continue;
        s.matchOfTruth[i] = static_cast<int>(j->second);
        s.hypothesisTaken[j->second] = 1;
    }

    // The rest by the largest total IoU among the pairs that overlap enough.
    s.freeTruths.clear();
    s.freeHypotheses.clear();
    for (size_t i = 0; i < nt; ++i)
        if (s.matchOfTruth[i] < 0) s.freeTruths.push_back(i);
    for (size_t j = 0; j < nh; ++j)
        if (!s.hypothesisTaken[j]) s.freeHypotheses.push_back(j);
    const size_t rows = s.freeTruths.size(), cols = s.freeHypotheses.size();
    s.cost.resize(rows * cols);
    for (size_t r = 0; r < rows; ++r)
        for (size_t c = 0; c < cols; ++c) {
            const double v = s.iou[s.freeTruths[r] * nh + s.freeHypotheses[c]];
            s.cost[r * cols + c] = Matches(v) ? 1.0 - v : Assignment::kForbidden;
        }
    s.solver.MinCost(s.cost.data(), rows, cols, s.rowToCol);
    for (size_t r = 0; r < rows; ++r)
        if (s.rowToCol[r] >= 0) s.matchOfTruth[s.freeTruths[r]] = static_cast<int>(s.freeHypotheses[s.rowToCol[r]]);

    FrameCounts counts;
    counts.truths = nt;
    counts.hypotheses = nh;
    s.current.clear();
    for (size_t i = 0; i < nt; ++i) {
        State::TruthTrack& track = s.truthTracks[truth[i].id];
        ++track.present;
        if (s.matchOfTruth[i] < 0) {
            ++counts.misses;
            if (track.everMatched) track.lostSinceMatch = true;
            continue;
        }
        const size_t j = static_cast<size_t>(s.matchOfTruth[i]);
        const int64_t hypothesis = hypotheses[j].id;
        ++counts.matches;
        ++track.matched;
        s.iouSum += s.iou[i * nh + j];
        if (track.everMatched && track.lastHypothesis != hypothesis) ++counts.idSwitches;
        if (track.lostSinceMatch) ++s.fragmentations;
        track.everMatched = true;
        track.lostSinceMatch = false;
        track.lastHypothesis = hypothesis;
        s.current[truth[i].id] = hypothesis;
    }
    std::swap(s.previous, s.current);
    for (const Object& h : hypotheses) ++s.hypothesisFrames[h.id];
    counts.falsePositives = nh - counts.matches;

    ++s.frames;
    s.truths += nt;
    s.hypotheses += nh;
    s.matches += counts.matches;
    s.misses += counts.misses;
    s.falsePositives += counts.falsePositives;
    s.idSwitches += counts.idSwitches;
    return counts;
}

Summary Evaluator::Compute() const
{
    const State& s = *state_;
    Summary out;
    out.frames = s.frames;
    out.truths = s.truths;
    out.hypotheses = s.hypotheses;
    out.matches = s.matches;
    out.misses = s.misses;
    out.falsePositives = s.falsePositives;
    out.idSwitches = s.idSwitches;
    out.fragmentations = s.fragmentations;
    out.truthIds = s.truthTracks.size();
    out.hypothesisIds = s.hypothesisFrames.size();

    const uint64_t errors = s.misses + s.falsePositives + s.idSwitches;
    if (s.truths > 0)
        out.mota = 1.0 - static_cast<double>(errors) / static_cast<double>(s.truths);
    else
        out.mota = errors == 0 ? 1.0 : -std::numeric_limits<double>::infinity();
    out.motp = s.matches > 0 ? s.iouSum / static_cast<double>(s.matches) : 0.0;

    for (const auto& [id, track] : s.truthTracks) {
        const double share = static_cast<double>(track.matched) / static_cast<double>(track.present);
        if (share >= 0.8)
            ++out.mostlyTracked;
        else if (share < 0.2)
            ++out.mostlyLost;
        else
            ++out.partiallyTracked;
    }

    // IDTP: the one-to-one pairing of truth ids with hypothesis ids that
    // overlap in the most frames. Ids that never meet do not interact, so
    // each connected group of ids is solved on its own.
    std::unordered_map<int64_t, size_t> truthNode, hypothesisNode;
    for (const auto& [key, frames] : s.overlaps) {
        truthNode.emplace(key.first, truthNode.size());
        hypothesisNode.emplace(key.second, hypothesisNode.size());
    }
    const size_t nt = truthNode.size();
    std::vector<size_t> parent(nt + hypothesisNode.size());
    std::iota(parent.begin(), parent.end(), size_t{0});
    const auto root = [&](size_t v) {
        while (parent[v] != v) v = parent[v] = parent[parent[v]];
        return v;
    };
    for (const auto& [key, frames] : s.overlaps)
        parent[root(truthNode[key.first])] = root(nt + hypothesisNode[key.second]);

    struct Group {
        std::vector<int64_t> truths, hypotheses;
        std::vector<std::pair<std::pair<int64_t, int64_t>, uint64_t>> pairs;
    };
    std::unordered_map<size_t, Group> groups;
    for (const auto& [id, node] : truthNode) groups[root(node)].truths.push_back(id);
    for (const auto& [id, node] : hypothesisNode) groups[root(nt + node)].hypotheses.push_back(id);
    for (const auto& entry : s.overlaps) groups[root(truthNode[entry.first.first])].pairs.push_back(entry);

    Assignment::Solver solver;
    std::vector<double> weight;
    std::vector<int> pick;
    std::unordered_map<int64_t, size_t> row, col;
    for (auto& [key, g] : groups) {
        row.clear();
        col.clear();
        for (size_t i = 0; i < g.truths.size(); ++i) row[g.truths[i]] = i;
        for (size_t j = 0; j < g.hypotheses.size(); ++j) col[g.hypotheses[j]] = j;
        const size_t rows = g.truths.size(), cols = g.hypotheses.size();
        weight.assign(rows * cols, 0.0);
        for (const auto& [pair, frames] : g.pairs)
            weight[row[pair.first] * cols + col[pair.second]] = static_cast<double>(frames);
        solver.MaxScore(weight.data(), rows, cols, pick);
        for (size_t i = 0; i < rows; ++i)
            if (pick[i] >= 0) out.idTruePositives += static_cast<uint64_t>(weight[i * cols + pick[i]]);
    }

    out.idp = Ratio(out.idTruePositives, s.hypotheses);
    out.idr = Ratio(out.idTruePositives, s.truths);
    out.idf1 = Ratio(2 * out.idTruePositives, s.truths + s.hypotheses);
    return out;
}

}  // namespace Scores
