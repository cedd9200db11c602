#pragma once
// Rectangular assignment (shortest augmenting paths with dual potentials,
// O(min(r,c)^2 * max(r,c))). Matrices are row-major doubles; results give the
// column assigned to each row, or -1.
//
//   MinCost:  as many rows as the allowed pairs permit are matched, and among
//             those matchings the total cost is the smallest. A pair whose cost
//             is +infinity, or at or above `forbiddenAt`, is never matched.
//   MaxScore: the total score of the matched pairs is the largest; a row may
//             stay unmatched. Pairs scoring zero or less, or below `minScore`,
//             are never matched (they could not raise the total).
//
// A Solver keeps its buffers between calls, so repeated solves of similar
// sizes do not allocate. Invalid input (NaN, minus infinity as a cost, plus
// infinity as a score) throws std::invalid_argument and leaves `rowToCol` as it
// was. One Solver must not be used by two threads at once.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <vector>

namespace Assignment {

inline constexpr double kForbidden = std::numeric_limits<double>::infinity();

class Solver {
public:
    // `cost` holds rows * cols values (may be null when either is zero).
    // `rowToCol` is resized to `rows`.
    void MinCost(const double* cost, size_t rows, size_t cols, std::vector<int>& rowToCol,
                 double forbiddenAt = kForbidden)
    {
        CheckShape(cost, rows, cols);
        if (std::isnan(forbiddenAt)) throw std::invalid_argument("Assignment: the forbidden cost is NaN");
        double lo = kForbidden, hi = -kForbidden;
        for (size_t i = 0; i < rows * cols; ++i) {
            const double c = cost[i];
            if (std::isnan(c)) throw std::invalid_argument("Assignment: a cost is NaN");
            if (c == -kForbidden) throw std::invalid_argument("Assignment: a cost is minus infinity");
            if (c >= forbiddenAt || c == kForbidden) continue;
            lo = std::min(lo, c);
            hi = std::max(hi, c);
        }
        if (lo > hi) {  // nothing may be matched (or the matrix is empty)
            rowToCol.assign(rows, -1);
            return;
        }
        // A forbidden pair costs more than any difference the allowed pairs
        // can make, so the solver only uses one where no allowed pair is left;
        // such pairs are dropped from the answer.
        const double k = static_cast<double>(std::min(rows, cols));
        const double margin = std::max({1.0, std::abs(hi), std::abs(lo)});
        const double penalty = hi + k * (hi - lo) + margin;
        if (!std::isfinite(k * penalty)) throw std::invalid_argument("Assignment: the costs span too large a range");
        rowToCol.assign(rows, -1);
        Load(rows, cols, [&](size_t r, size_t c) {
            const double v = cost[r * cols + c];
            return v >= forbiddenAt || v == kForbidden ? penalty : v;
        });
        Solve();
        Collect(rowToCol, [&](size_t r, size_t c) {
            const double v = cost[r * cols + c];
            return v < forbiddenAt && v != kForbidden;
        });
    }

    void MaxScore(const double* score, size_t rows, size_t cols, std::vector<int>& rowToCol,
                  double minScore = -kForbidden)
    {
        CheckShape(score, rows, cols);
        if (std::isnan(minScore)) throw std::invalid_argument("Assignment: the minimum score is NaN");
        double top = 0.0;
        for (size_t i = 0; i < rows * cols; ++i) {
            if (std::isnan(score[i])) throw std::invalid_argument("Assignment: a score is NaN");
            if (score[i] == kForbidden) throw std::invalid_argument("Assignment: a score is infinite");
            top = std::max(top, score[i]);
        }
        if (!std::isfinite(4.0 * static_cast<double>(std::min(rows, cols)) * top))
            throw std::invalid_argument("Assignment: the scores are too large");
        rowToCol.assign(rows, -1);
        if (rows == 0 || cols == 0) return;
        const auto allowed = [&](size_t r, size_t c) {
            const double s = score[r * cols + c];
            return s > 0.0 && s >= minScore;
        };
        // Every assignment of the smaller side, with unusable pairs costing 0,
        // is worth exactly its usable pairs, so the cheapest one is the best
        // matching.
        Load(rows, cols, [&](size_t r, size_t c) { return allowed(r, c) ? -score[r * cols + c] : 0.0; });
        Solve();
        Collect(rowToCol, allowed);
    }

    std::vector<int> MinCost(const std::vector<double>& cost, size_t rows, size_t cols, double forbiddenAt = kForbidden)
    {
        CheckSize(cost.size(), rows, cols);
        std::vector<int> out;
        MinCost(cost.data(), rows, cols, out, forbiddenAt);
        return out;
    }

    std::vector<int> MaxScore(const std::vector<double>& score, size_t rows, size_t cols, double minScore = -kForbidden)
    {
        CheckSize(score.size(), rows, cols);
        std::vector<int> out;
        MaxScore(score.data(), rows, cols, out, minScore);
        return out;
    }

private:
    static void CheckShape(const double* values, size_t rows, size_t cols)
    {
        const size_t limit = static_cast<size_t>(std::numeric_limits<int>::max());
        if (rows >= limit || cols >= limit || (cols != 0 && rows > std::numeric_limits<size_t>::max() / cols))
            throw std::invalid_argument("Assignment: the matrix is too large");
        if (values == nullptr && rows != 0 && cols != 0) throw std::invalid_argument("Assignment: no matrix given");
    }

    static void CheckSize(size_t size, size_t rows, size_t cols)
    {
        if (cols != 0 && rows > std::numeric_limits<size_t>::max() / cols)
            throw std::invalid_argument("Assignment: the matrix is too large");
        if (size != rows * cols) throw std::invalid_argument("Assignment: the matrix size does not match its shape");
    }

    // Copies the working matrix with the shorter side as rows.
    template <typename Value>
    void Load(size_t rows, size_t cols, Value value)
    {
        transposed_ = rows > cols;
        n_ = transposed_ ? cols : rows;
        m_ = transposed_ ? rows : cols;
        a_.resize(n_ * m_);
        for (size_t r = 0; r < rows; ++r)
            for (size_t c = 0; c < cols; ++c) {
                const double v = value(r, c);
                if (transposed_)
                    a_[c * m_ + r] = v;
                else
                    a_[r * m_ + c] = v;
            }
    }

    void Solve()
    {
        constexpr double inf = std::numeric_limits<double>::infinity();
        // Index 0 is the virtual column the augmenting path starts from.
        u_.assign(n_ + 1, 0.0);
        v_.assign(m_ + 1, 0.0);
        p_.assign(m_ + 1, 0);
        way_.assign(m_ + 1, 0);
        minv_.resize(m_ + 1);
        used_.resize(m_ + 1);
        for (size_t i = 1; i <= n_; ++i) {
            p_[0] = i;
            size_t j0 = 0;
            std::fill(minv_.begin(), minv_.end(), inf);
            std::fill(used_.begin(), used_.end(), char{0});
            do {
                used_[j0] = 1;
                const size_t i0 = p_[j0];
                const double* row = &a_[(i0 - 1) * m_];
                double delta = inf;
                size_t j1 = 0;
                for (size_t j = 1; j <= m_; ++j) {
                    if (used_[j]) continue;
                    const double cur = row[j - 1] - u_[i0] - v_[j];
                    if (cur < minv_[j]) {
                        minv_[j] = cur;
                        way_[j] = j0;
                    }
                    if (minv_[j] < delta) {
                        delta = minv_[j];
                        j1 = j;
                    }
                }
                if (j1 == 0) return;  // unreachable with finite costs and n <= m
                for (size_t j = 0; j <= m_; ++j) {
                    if (used_[j]) {
                        u_[p_[j]] += delta;
                        v_[j] -= delta;
                    } else {
                        minv_[j] -= delta;
                    }
                }
                j0 = j1;
            } while (p_[j0] != 0);
            do {
                const size_t j1 = way_[j0];
                p_[j0] = p_[j1];
                j0 = j1;
            } while (j0 != 0);
        }
    }

    template <typename Allowed>
    void Collect(std::vector<int>& rowToCol, Allowed allowed) const
    {
        for (size_t j = 1; j <= m_; ++j) {
            if (p_[j] == 0) continue;
            const size_t r = transposed_ ? j - 1 : p_[j] - 1;
            const size_t c = transposed_ ? p_[j] - 1 : j - 1;
            if (allowed(r, c)) rowToCol[r] = static_cast<int>(c);
        }
    }

    bool transposed_ = false;
    size_t n_ = 0, m_ = 0;
    std::vector<double> a_, u_, v_, minv_;
    std::vector<size_t> p_, way_;
    std::vector<char> used_;
};

// One-off solves; keep a Solver where solving repeatedly.
inline std::vector<int> MinCostAssignment(const std::vector<double>& cost, size_t rows, size_t cols,
                                          double forbiddenAt = kForbidden)
{
    return Solver().MinCost(cost, rows, cols, forbiddenAt);
}

inline std::vector<int> MaxScoreAssignment(const std::vector<double>& score, size_t rows, size_t cols,
                                           double minScore = -kForbidden)
{
    return Solver().MaxScore(score, rows, cols, minScore);
}

}  // namespace Assignment
