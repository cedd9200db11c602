#pragma once
// Random numbers that come out the same with every standard library:
// std::mt19937_64 is specified to the bit, the distributions of <random> are
// not, so the mappings to uniform and normal values are our own.

#include <cmath>
#include <cstdint>
#include <random>

namespace Scene::detail {

// SplitMix64 finaliser: a well-mixed 64-bit hash of a counter.
inline uint64_t Mix(uint64_t x)
{
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// [0, 1) from the top 53 bits.
inline double UnitFromBits(uint64_t bits)
{
    return static_cast<double>(bits >> 11) * 0x1.0p-53;
}

class Random {
public:
    explicit Random(uint64_t seed) : engine_(seed) {}

    double Uniform() { return UnitFromBits(engine_()); }
    double Uniform(double lo, double hi) { return lo + (hi - lo) * Uniform(); }
    bool Chance(double p) { return Uniform() < p; }
    // 0 .. n-1; n must be positive.
    uint32_t Below(uint32_t n)
    {
        const auto k = static_cast<uint32_t>(Uniform() * n);
        return k < n ? k : n - 1;
    }
    // Standard normal by Box-Muller.
    double Normal()
    {
        const double u1 = 1.0 - Uniform();  // (0, 1]
        const double u2 = Uniform();
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * 3.14159265358979323846 * u2);
    }

private:
    std::mt19937_64 engine_;
};

}  // namespace Scene::detail
