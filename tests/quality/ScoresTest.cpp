// CLEAR-MOT and identity scores on small runs worked out by hand.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "Scores/Evaluator.h"

namespace {

using Scores::Box;
using Scores::Evaluator;
using Scores::Object;

Object At(int64_t id, double x, double y = 0, double w = 10, double h = 20)
{
    return {id, {x, y, w, h}};
}

TEST(IoUTest, OverlapOfBoxes)
{
    EXPECT_DOUBLE_EQ(Scores::IoU({0, 0, 10, 10}, {0, 0, 10, 10}), 1.0);
    EXPECT_DOUBLE_EQ(Scores::IoU({0, 0, 10, 10}, {0, 0, 10, 5}), 0.5);
    EXPECT_DOUBLE_EQ(Scores::IoU({0, 0, 10, 10}, {5, 0, 10, 10}), 50.0 / 150.0);
    EXPECT_EQ(Scores::IoU({0, 0, 10, 10}, {10, 0, 10, 10}), 0.0);  // touching
    EXPECT_EQ(Scores::IoU({0, 0, 10, 10}, {50, 50, 10, 10}), 0.0);
    EXPECT_EQ(Scores::IoU({0, 0, 0, 10}, {0, 0, 10, 10}), 0.0);  // no area
}

TEST(ScoresTest, PerfectTracking)
{
    Evaluator e;
    for (int f = 0; f < 10; ++f) {
        const std::vector<Object> objects = {At(1, f * 5.0), At(2, 100 - f * 5.0, 40)};
        const Scores::FrameCounts c = e.AddFrame(objects, {At(7, f * 5.0), At(8, 100 - f * 5.0, 40)});
        EXPECT_EQ(c.matches, 2u);
    }
    const Scores::Summary s = e.Compute();
    EXPECT_EQ(s.mota, 1.0);
    EXPECT_EQ(s.motp, 1.0);
    EXPECT_EQ(s.idf1, 1.0);
    EXPECT_EQ(s.idp, 1.0);
    EXPECT_EQ(s.idr, 1.0);
    EXPECT_EQ(s.frames, 10u);
    EXPECT_EQ(s.truths, 20u);
    EXPECT_EQ(s.matches, 20u);
    EXPECT_EQ(s.idSwitches + s.misses + s.falsePositives + s.fragmentations, 0u);
    EXPECT_EQ(s.truthIds, 2u);
    EXPECT_EQ(s.hypothesisIds, 2u);
    EXPECT_EQ(s.mostlyTracked, 2u);
}

TEST(ScoresTest, OneIdSwitchMidTrack)
{
    Evaluator e;
    for (int f = 0; f < 10; ++f) e.AddFrame({At(1, f)}, {At(f < 5 ? 1 : 2, f)});
    const Scores::Summary s = e.Compute();
    EXPECT_EQ(s.idSwitches, 1u);
    EXPECT_DOUBLE_EQ(s.mota, 0.9);
    // Either hypothesis covers half the truth.
    EXPECT_EQ(s.idTruePositives, 5u);
    EXPECT_DOUBLE_EQ(s.idf1, 0.5);
    EXPECT_DOUBLE_EQ(s.idp, 0.5);
    EXPECT_DOUBLE_EQ(s.idr, 0.5);
    EXPECT_EQ(s.hypothesisIds, 2u);
    EXPECT_EQ(s.fragmentations, 0u);
}

TEST(ScoresTest, FalsePositiveAndMiss)
{
    Evaluator fp;
    for (int f = 0; f < 4; ++f) {
        std::vector<Object> h = {At(1, 0)};
        if (f == 2) h.push_back(At(9, 200));
        EXPECT_EQ(fp.AddFrame({At(1, 0)}, h).falsePositives, f == 2 ? 1u : 0u);
    }
    Scores::Summary s = fp.Compute();
    EXPECT_EQ(s.falsePositives, 1u);
    EXPECT_DOUBLE_EQ(s.mota, 0.75);
    EXPECT_DOUBLE_EQ(s.idf1, 8.0 / 9.0);
    EXPECT_DOUBLE_EQ(s.idr, 1.0);

    Evaluator miss;
    for (int f = 0; f < 4; ++f)
        miss.AddFrame({At(1, 0)}, f == 2 ? std::vector<Object>{} : std::vector<Object>{At(1, 0)});
    s = miss.Compute();
    EXPECT_EQ(s.misses, 1u);
    EXPECT_DOUBLE_EQ(s.mota, 0.75);
    EXPECT_DOUBLE_EQ(s.idf1, 6.0 / 7.0);
    EXPECT_DOUBLE_EQ(s.idp, 1.0);
    EXPECT_EQ(s.fragmentations, 1u);  // lost, then found again
    EXPECT_EQ(s.idSwitches, 0u);
}

TEST(ScoresTest, HalfOverlapIsTheThreshold)
{
    Evaluator e;
    EXPECT_EQ(e.AddFrame({{1, {0, 0, 10, 10}}}, {{1, {0, 0, 10, 5}}}).matches, 1u);         // 0.5
    EXPECT_EQ(e.AddFrame({{1, {0.3, 0.3, 3, 3}}}, {{1, {0.3, 0.3, 3, 1.5}}}).matches, 1u);  // 0.5 after rounding
    EXPECT_EQ(e.AddFrame({{1, {0, 0, 10, 10}}}, {{1, {0, 0, 10, 4.9}}}).matches, 0u);       // 0.49
    const Scores::Summary s = e.Compute();
    EXPECT_EQ(s.idTruePositives, 2u);
    EXPECT_NEAR(s.motp, 0.5, 1e-12);
}

TEST(ScoresTest, SwapAtACrossingCostsLittleMotaButHalfTheIdentity)
{
    // Two people walk towards each other; the tracker swaps their ids where
    // they meet and keeps the swapped ids.
    Evaluator e;
    for (int f = 0; f < 10; ++f) {
        const double a = 10.0 * f, b = 90.0 - 10.0 * f;
        const bool swapped = f >= 5;
        e.AddFrame({At(1, a), At(2, b, 5)}, {At(swapped ? 2 : 1, a), At(swapped ? 1 : 2, b, 5)});
    }
    const Scores::Summary s = e.Compute();
    EXPECT_EQ(s.idSwitches, 2u);
    EXPECT_DOUBLE_EQ(s.mota, 0.9);
    EXPECT_DOUBLE_EQ(s.idf1, 0.5);
}

TEST(ScoresTest, CorrespondencesHoldWhileTheyStillOverlap)
{
    // In the second frame each hypothesis lies closer to the other truth, but
    // still overlaps its own by more than half: no switch.
    Evaluator e;
    e.AddFrame({At(1, 0), At(2, 30)}, {At(1, 0), At(2, 30)});
    const Scores::FrameCounts c = e.AddFrame({At(1, 10), At(2, 14)}, {At(1, 13), At(2, 11)});
    EXPECT_EQ(c.matches, 2u);
    EXPECT_EQ(c.idSwitches, 0u);
    // Once a pair no longer overlaps enough, the best overlap decides.
    const Scores::FrameCounts d = e.AddFrame({At(1, 20), At(2, 4)}, {At(1, 5), At(2, 20)});
    EXPECT_EQ(d.idSwitches, 2u);
}

TEST(ScoresTest, SwitchesAreJudgedAgainstTheLastMatchEvenAcrossGaps)
{
    Evaluator e;
    e.AddFrame({At(1, 0)}, {At(5, 0)});
    e.AddFrame({}, {});                   // out of view
    e.AddFrame({At(1, 0)}, {At(5, 50)});  // in view, missed
    e.AddFrame({At(1, 0)}, {At(5, 0)});   // the same id again: no switch
    e.AddFrame({At(1, 0)}, {At(6, 0)});   // another id: a switch
    const Scores::Summary s = e.Compute();
    EXPECT_EQ(s.idSwitches, 1u);
    EXPECT_EQ(s.misses, 1u);
    EXPECT_EQ(s.falsePositives, 1u);
    EXPECT_EQ(s.fragmentations, 1u);
    EXPECT_EQ(s.frames, 5u);
}

TEST(ScoresTest, IdentityMatchingIsGlobal)
{
    // Truth 1 meets hypothesis 10 in 6 frames and 11 in 4; truth 2 meets 10
    // in 5. Giving 10 to truth 1 yields 6; the best pairing yields 4 + 5.
    Evaluator e;
    for (int f = 0; f < 6; ++f) e.AddFrame({At(1, 0)}, {At(10, 0)});
    for (int f = 0; f < 4; ++f) e.AddFrame({At(1, 0)}, {At(11, 0)});
    for (int f = 0; f < 5; ++f) e.AddFrame({At(2, 100)}, {At(10, 100)});
    const Scores::Summary s = e.Compute();
    EXPECT_EQ(s.idTruePositives, 9u);
    EXPECT_DOUBLE_EQ(s.idf1, 18.0 / 30.0);
}

TEST(ScoresTest, MostlyTrackedPartlyAndLost)
{
    Evaluator e;
    for (int f = 0; f < 10; ++f) {
        std::vector<Object> h = {At(1, 0)};
        if (f < 5) h.push_back(At(2, 100));
        if (f < 1) h.push_back(At(3, 200));
        e.AddFrame({At(1, 0), At(2, 100), At(3, 200)}, h);
    }
    const Scores::Summary s = e.Compute();
    EXPECT_EQ(s.mostlyTracked, 1u);
    EXPECT_EQ(s.partiallyTracked, 1u);
    EXPECT_EQ(s.mostlyLost, 1u);
}

TEST(ScoresTest, EmptyRuns)
{
    Evaluator e;
    Scores::Summary s = e.Compute();
    EXPECT_EQ(s.mota, 1.0);
    EXPECT_EQ(s.idf1, 1.0);
    EXPECT_EQ(s.motp, 0.0);
    EXPECT_EQ(s.frames, 0u);

    e.AddFrame({}, {});
    EXPECT_EQ(e.Compute().frames, 1u);
    EXPECT_EQ(e.Compute().mota, 1.0);

    // Reports but nothing to find.
    e.AddFrame({}, {At(1, 0)});
    s = e.Compute();
    EXPECT_EQ(s.falsePositives, 1u);
    EXPECT_EQ(s.mota, -std::numeric_limits<double>::infinity());
    EXPECT_EQ(s.idf1, 0.0);
    EXPECT_EQ(s.idp, 0.0);

    e.Reset();
    EXPECT_EQ(e.Compute().frames, 0u);
    // Truth but no reports.
    e.AddFrame({At(1, 0)}, {});
    s = e.Compute();
    EXPECT_EQ(s.mota, 0.0);
    EXPECT_EQ(s.idf1, 0.0);
    EXPECT_EQ(s.mostlyLost, 1u);
}

TEST(ScoresTest, BadFramesAreRejectedAndRecordNothing)
{
    Evaluator e;
    e.AddFrame({At(1, 0)}, {At(1, 0)});
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_THROW(e.AddFrame({At(1, 0), At(1, 50)}, {}), std::invalid_argument);
    EXPECT_THROW(e.AddFrame({At(1, 0)}, {At(4, 0), At(4, 9)}), std::invalid_argument);
    EXPECT_THROW(e.AddFrame({{1, {nan, 0, 10, 10}}}, {}), std::invalid_argument);
    EXPECT_THROW(e.AddFrame({At(1, 0)}, {{2, {0, 0, -1, 10}}}), std::invalid_argument);
    EXPECT_THROW(e.AddFrame({{1, {0, 0, std::numeric_limits<double>::infinity(), 10}}}, {}), std::invalid_argument);
    const Scores::Summary s = e.Compute();
    EXPECT_EQ(s.frames, 1u);
    EXPECT_EQ(s.truths, 1u);
    EXPECT_EQ(s.hypotheses, 1u);
    EXPECT_EQ(s.mota, 1.0);
    // A zero-sized box is valid; it just never matches.
    EXPECT_EQ(e.AddFrame({At(1, 0)}, {{1, {0, 0, 0, 0}}}).matches, 0u);
}

}  // namespace
