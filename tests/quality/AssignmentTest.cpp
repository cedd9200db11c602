// The assignment solver against brute force and on the cases association
// depends on: rectangular matrices, forbidden pairs, empty input.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "Assignment/Hungarian.h"

namespace {

using Assignment::kForbidden;
using Assignment::Solver;

// Rows assigned to distinct columns, and only through allowed pairs.
void ExpectValid(const std::vector<int>& a, const std::vector<double>& m, size_t rows, size_t cols,
                 const std::function<bool(double)>& allowed)
{
    ASSERT_EQ(a.size(), rows);
    std::vector<bool> used(cols, false);
    for (size_t r = 0; r < rows; ++r) {
        if (a[r] < 0) continue;
        ASSERT_LT(static_cast<size_t>(a[r]), cols);
        EXPECT_FALSE(used[a[r]]) << "column " << a[r] << " used twice";
        used[a[r]] = true;
        EXPECT_TRUE(allowed(m[r * cols + a[r]])) << "row " << r << " took a forbidden pair";
    }
}

struct Best {
    int count = -1;
    double total = 0;
};

// Every partial assignment; `better` orders (count, total) pairs.
Best BruteForce(const std::vector<double>& m, size_t rows, size_t cols, const std::function<bool(double)>& allowed,
                const std::function<bool(const Best&, const Best&)>& better)
{
    Best best;
    std::vector<bool> used(cols, false);
    std::function<void(size_t, Best)> walk = [&](size_t r, Best cur) {
        if (r == rows) {
            if (best.count < 0 || better(cur, best)) best = cur;
            return;
        }
        walk(r + 1, cur);
        for (size_t c = 0; c < cols; ++c) {
            if (used[c] || !allowed(m[r * cols + c])) continue;
            used[c] = true;
            walk(r + 1, {cur.count + 1, cur.total + m[r * cols + c]});
            used[c] = false;
        }
    };
    walk(0, {0, 0});
    return best;
}

Best Score(const std::vector<int>& a, const std::vector<double>& m, size_t cols)
{
    Best b{0, 0};
    for (size_t r = 0; r < a.size(); ++r)
        if (a[r] >= 0) ++b.count, b.total += m[r * cols + a[r]];
    return b;
}

TEST(AssignmentTest, KnownSquareOptimum)
{
    const std::vector<double> cost = {4, 1, 3,  //
                                      2, 0, 5,  //
                                      3, 2, 2};
    EXPECT_EQ(Assignment::MinCostAssignment(cost, 3, 3), (std::vector<int>{1, 0, 2}));
    // Scores: the same matrix, the largest total instead.
    EXPECT_EQ(Assignment::MaxScoreAssignment(cost, 3, 3), (std::vector<int>{0, 2, 1}));
}

TEST(AssignmentTest, RectangularBothWays)
{
    const std::vector<double> wide = {9, 1, 8, 7,  //
                                      9, 2, 9, 1};
    EXPECT_EQ(Assignment::MinCostAssignment(wide, 2, 4), (std::vector<int>{1, 3}));
    const std::vector<double> tall = {9, 9,  //
                                      1, 2,  //
                                      8, 9,  //
                                      7, 1};
    EXPECT_EQ(Assignment::MinCostAssignment(tall, 4, 2), (std::vector<int>{-1, 0, -1, 1}));
}

TEST(AssignmentTest, ForbiddenPairsAreNeverForced)
{
    const std::vector<double> cost = {1, kForbidden,  //
                                      kForbidden, kForbidden};
    EXPECT_EQ(Assignment::MinCostAssignment(cost, 2, 2), (std::vector<int>{0, -1}));
    // As many matches as the allowed pairs permit, even at a higher cost.
    const std::vector<double> two = {1, 2,  //
                                     1, kForbidden};
    EXPECT_EQ(Assignment::MinCostAssignment(two, 2, 2), (std::vector<int>{1, 0}));
    // A threshold forbids too.
    EXPECT_EQ(Assignment::MinCostAssignment(two, 2, 2, 2.0), (std::vector<int>{0, -1}));
    const std::vector<double> none(6, kForbidden);
    EXPECT_EQ(Assignment::MinCostAssignment(none, 2, 3), (std::vector<int>{-1, -1}));
    // Huge but equal costs still leave room for the penalty.
    const std::vector<double> big = {1e20, 1e20,  //
                                     1e20, kForbidden};
    EXPECT_EQ(Assignment::MinCostAssignment(big, 2, 2), (std::vector<int>{1, 0}));
}

TEST(AssignmentTest, MaxScoreLeavesRowsOpenWhenThatPays)
{
    // Matching both rows (0.6 + 0.6) beats 1.0 alone; with 0.4s it does not.
    EXPECT_EQ(Assignment::MaxScoreAssignment({1.0, 0.6, 0.6, 0.0}, 2, 2), (std::vector<int>{1, 0}));
    EXPECT_EQ(Assignment::MaxScoreAssignment({1.0, 0.4, 0.4, 0.0}, 2, 2), (std::vector<int>{0, -1}));
    // Below the minimum score a pair is not usable at all.
    EXPECT_EQ(Assignment::MaxScoreAssignment({1.0, 0.6, 0.6, 0.0}, 2, 2, 0.7), (std::vector<int>{0, -1}));
    EXPECT_EQ(Assignment::MaxScoreAssignment({-1.0, -kForbidden}, 1, 2), (std::vector<int>{-1}));
}

TEST(AssignmentTest, EmptyMatrices)
{
    Solver solver;
    std::vector<int> out{7};
    solver.MinCost(nullptr, 0, 0, out);
    EXPECT_TRUE(out.empty());
    solver.MinCost(nullptr, 3, 0, out);
    EXPECT_EQ(out, (std::vector<int>{-1, -1, -1}));
    solver.MaxScore(nullptr, 0, 4, out);
    EXPECT_TRUE(out.empty());
}

TEST(AssignmentTest, BadInputThrowsAndKeepsTheOutput)
{
    Solver solver;
    std::vector<int> out{5, 6};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> withNan = {1, nan, 2, 3};
    EXPECT_THROW(solver.MinCost(withNan.data(), 2, 2, out), std::invalid_argument);
    EXPECT_THROW(solver.MaxScore(withNan.data(), 2, 2, out), std::invalid_argument);
    const std::vector<double> minusInf = {1, -kForbidden, 2, 3};
    EXPECT_THROW(solver.MinCost(minusInf.data(), 2, 2, out), std::invalid_argument);
    const std::vector<double> plusInf = {1, kForbidden, 2, 3};
    EXPECT_THROW(solver.MaxScore(plusInf.data(), 2, 2, out), std::invalid_argument);
    const std::vector<double> range = {1e308, -1e308, 0, 1};
    EXPECT_THROW(solver.MinCost(range.data(), 2, 2, out), std::invalid_argument);
    EXPECT_THROW(solver.MinCost(nullptr, 2, 2, out), std::invalid_argument);
    EXPECT_EQ(out, (std::vector<int>{5, 6}));
    EXPECT_THROW(solver.MinCost(std::vector<double>(5, 1.0), 2, 3), std::invalid_argument);
}

TEST(AssignmentTest, MatchesBruteForceOnRandomMatrices)
{
    std::mt19937_64 engine(20240607);
    const auto uniform = [&](double lo, double hi) { return lo + (hi - lo) * ((engine() >> 11) * 0x1.0p-53); };
    Solver solver;  // reused across sizes on purpose
    std::vector<int> a;
    for (int trial = 0; trial < 400; ++trial) {
        const size_t rows = engine() % 7, cols = engine() % 7;
        const double forbidShare = (trial % 4) * 0.2;
        std::vector<double> m(rows * cols);
        for (double& v : m) v = uniform(0, 1) < forbidShare ? kForbidden : std::round(uniform(-20, 20) * 4) / 4;
        SCOPED_TRACE(testing::Message() << "trial " << trial << ", " << rows << "x" << cols);

        const auto finite = [](double v) { return std::isfinite(v); };
        solver.MinCost(m.data(), rows, cols, a);
        ExpectValid(a, m, rows, cols, finite);
        const Best want = BruteForce(m, rows, cols, finite, [](const Best& x, const Best& y) {
            return x.count != y.count ? x.count > y.count : x.total < y.total - 1e-9;
        });
        const Best got = Score(a, m, cols);
        EXPECT_EQ(got.count, want.count);
        EXPECT_NEAR(got.total, want.total, 1e-9);

        // As scores: only positive pairs count, and matching is optional.
        for (double& v : m)
            if (!std::isfinite(v)) v = -kForbidden;
        const auto positive = [](double v) { return v > 0; };
        solver.MaxScore(m.data(), rows, cols, a);
        ExpectValid(a, m, rows, cols, positive);
        const Best wantScore =
            BruteForce(m, rows, cols, positive, [](const Best& x, const Best& y) { return x.total > y.total + 1e-9; });
        EXPECT_NEAR(Score(a, m, cols).total, wantScore.total, 1e-9);
    }
}

}  // namespace
