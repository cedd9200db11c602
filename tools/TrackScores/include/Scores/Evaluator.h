#pragma once
// Tracking quality of a run against ground truth: the CLEAR-MOT measures
// (Bernardin and Stiefelhagen, 2008) and the identity measures IDF1, IDP and
// IDR (Ristani et al., 2016). A truth and a hypothesis match when their
// intersection over union is 0.5 or more.

#include <cstdint>
#include <memory>
#include <vector>

namespace Scores {

struct Box {
    double x = 0, y = 0, width = 0, height = 0;
};

struct Object {
    int64_t id = 0;
    Box box;
};

// Intersection over union; 0 when either box has no area.
double IoU(const Box& a, const Box& b);

// Pairs at this IoU or more match; values within 1e-9 below it count too, so
// that a pair meant to overlap by exactly half is not lost to rounding.
inline constexpr double kMatchIoU = 0.5;

struct FrameCounts {
    uint64_t truths = 0, hypotheses = 0, matches = 0, misses = 0, falsePositives = 0, idSwitches = 0;
};

struct Summary {
    // MOTA = 1 - (misses + false positives + id switches) / truths; with no
    // truth at all it is 1 when nothing was reported and -infinity otherwise.
    double mota = 1;
    double motp = 0;  // mean IoU of the matches; 0 without matches
    // IDF1 = 2 IDTP / (truths + hypotheses), IDP = IDTP / hypotheses,
    // IDR = IDTP / truths; each is 1 when its denominator is 0.
    double idf1 = 1, idp = 1, idr = 1;
    uint64_t frames = 0;
    uint64_t truths = 0, hypotheses = 0;  // boxes over all frames
    uint64_t matches = 0, misses = 0, falsePositives = 0, idSwitches = 0;
    // Times a truth was lost while in view and then matched again.
    uint64_t fragmentations = 0;
    uint64_t idTruePositives = 0;  // IDTP
    uint64_t truthIds = 0, hypothesisIds = 0;
    // Truth ids matched in at least 80 %, 20 to 80 %, under 20 % of their frames.
    uint64_t mostlyTracked = 0, partiallyTracked = 0, mostlyLost = 0;
};

// Feed frames in order, then Compute. Not thread-safe.
class Evaluator {
public:
    Evaluator();
    ~Evaluator();
    Evaluator(Evaluator&&) noexcept;
    Evaluator& operator=(Evaluator&&) noexcept;

    // Matches one frame: pairs matched in the previous frame stay matched
    // while they still overlap enough, the rest are matched by the largest
    // total IoU. Throws std::invalid_argument, recording nothing, when an id
    // repeats within the truth or within the hypotheses, or a box has a
    // non-finite value or a negative size.
    FrameCounts AddFrame(const std::vector<Object>& truth, const std::vector<Object>& hypotheses);

    Summary Compute() const;
    void Reset();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace Scores
