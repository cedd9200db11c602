#include "track/Hog.h"

#include <opencv2/objdetect.hpp>

#include <emmintrin.h>
#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <limits>
#include <memory>
#include <numeric>
#include <stdexcept>

namespace tsdk::detail {
namespace {

constexpr int kBlock = 16;  // pixels, square
constexpr int kCell = 8;    // pixels, square; also the block step
constexpr int kBins = 9;
constexpr int kHalf = 2 * kBins;      // the two cells of one block row
constexpr int kChannels = 2 * kHalf;  // one block's histogram
constexpr float kHysClip = 0.2f;
constexpr int kGroupThreshold = 1;
constexpr double kGroupEps = 0.2;

// OpenCV's polynomial arctangent in degrees, which the orientation bins
// come from: the exact one moves pixels across bin edges.
constexpr float kDegrees = static_cast<float>(180 / CV_PI);
constexpr float kAtan1 = 0.9997878412794807f * kDegrees;
constexpr float kAtan3 = -0.3258083974640975f * kDegrees;
constexpr float kAtan5 = 0.1555786518463281f * kDegrees;
constexpr float kAtan7 = -0.04432655554792128f * kDegrees;

inline float AtanDegrees(float y, float x)
{
    const float ax = std::abs(x), ay = std::abs(y);
    const float c = std::min(ax, ay) / (std::max(ax, ay) + static_cast<float>(DBL_EPSILON));
    const float cc = c * c;
    float a = (((kAtan7 * cc + kAtan5) * cc + kAtan3) * cc + kAtan1) * c;
    a = ax >= ay ? a : 90.f - a;
    a = x < 0 ? 180.f - a : a;
    return y < 0 ? 360.f - a : a;
}

// Spatial weights of a pixel in a block for each of the block's two cells
// along one axis, Gaussian included, as OpenCV's block cache has them.
struct AxisWeights {
    float cell[2][kBlock];
};

AxisWeights MakeWeights()
{
    const float sigma = (kBlock + kBlock) / 8.0f;
    const float scale = 1.f / (sigma * sigma * 2);
    AxisWeights w{};
    for (int j = 0; j < kBlock; ++j) {
        float pos = (j + 0.5f) / kCell - 0.5f;
        const int first = static_cast<int>(std::floor(pos));
        pos -= static_cast<float>(first);
        float w0 = 0, w1 = 0;
        if (first < 0) {
            w0 = pos;
        } else if (first + 1 >= 2) {
            w1 = 1.f - pos;
        } else {
            w0 = 1.f - pos;
            w1 = pos;
        }
        const float d = static_cast<float>(j) - kBlock * 0.5f;
        const float gauss = std::exp(-(d * d) * scale);
        w.cell[0][j] = w0 * gauss;
        w.cell[1][j] = w1 * gauss;
    }
    return w;
}

const AxisWeights& Weights()
{
    static const AxisWeights weights = MakeWeights();
    return weights;
}

// What a pixel adds to its two nearest orientation bins, for every pair of
// 8-bit differences: OpenCV's arithmetic, worked out once.
struct GradientBins {
    float weight[2];
    uint8_t bin[2];
};

struct Gradients {
    GradientBins at[511][511];  // [dy + 255][dx + 255]
};

const Gradients& GradientTable()
{
    static const std::unique_ptr<const Gradients> table = [] {
        auto t = std::make_unique<Gradients>();
        const float angleScale = static_cast<float>(kBins / CV_PI);
        const float radians = static_cast<float>(CV_PI / 180);
        for (int dy = -255; dy <= 255; ++dy)
            for (int dx = -255; dx <= 255; ++dx) {
                const auto fx = static_cast<float>(dx), fy = static_cast<float>(dy);
                const float mag = std::sqrt(fx * fx + fy * fy);
                float angle = AtanDegrees(fy, fx) * radians * angleScale - 0.5f;
                int bin = static_cast<int>(std::floor(angle));
                angle -= static_cast<float>(bin);
                if (bin < 0)
                    bin += kBins;
                else if (bin >= kBins)
                    bin -= kBins;
                GradientBins& g = t->at[dy + 255][dx + 255];
                g.weight[0] = mag * (1.f - angle);
                g.weight[1] = mag * angle;
                g.bin[0] = static_cast<uint8_t>(bin);
                g.bin[1] = static_cast<uint8_t>(bin + 1 < kBins ? bin + 1 : 0);
            }
        return t;
    }();
    return *table;
}

// The block stage in the vectors every x86-64 has.
namespace baseline {
struct I {
    using V = __m128;
    static constexpr size_t N = 4;
    static V Zero() { return _mm_setzero_ps(); }
    static V Set(float v) { return _mm_set1_ps(v); }
    static V Load(const float* p) { return _mm_loadu_ps(p); }
    static void Store(float* p, V v) { _mm_storeu_ps(p, v); }
    static V Add(V a, V b) { return _mm_add_ps(a, b); }
    static V Mul(V a, V b) { return _mm_mul_ps(a, b); }
    static V Div(V a, V b) { return _mm_div_ps(a, b); }
    static V Min(V a, V b) { return _mm_min_ps(a, b); }
    static V Sqrt(V a) { return _mm_sqrt_ps(a); }
};
#include "track/HogKernels.inc"
}  // namespace baseline

// And twice as wide, where the processor has AVX2; no FMA, so that both
// give the same histograms.
#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
struct I {
    using V = __m256;
    static constexpr size_t N = 8;
    static V Zero() { return _mm256_setzero_ps(); }
    static V Set(float v) { return _mm256_set1_ps(v); }
    static V Load(const float* p) { return _mm256_loadu_ps(p); }
    static void Store(float* p, V v) { _mm256_storeu_ps(p, v); }
    static V Add(V a, V b) { return _mm256_add_ps(a, b); }
    static V Mul(V a, V b) { return _mm256_mul_ps(a, b); }
    static V Div(V a, V b) { return _mm256_div_ps(a, b); }
    static V Min(V a, V b) { return _mm256_min_ps(a, b); }
    static V Sqrt(V a) { return _mm256_sqrt_ps(a); }
};
#include "track/HogKernels.inc"
}  // namespace avx2
#pragma GCC pop_options

// The scores of a row of windows one block column apart, eight side by side
// in registers; the planes have room for the loads past the last.
struct WindowRow {
    const float* first;  // the row's first block
    const float* svm;    // in our block order
    int blocksX, blocksY;
    size_t rows;    // floats from one block row of a window to the next
    size_t cellsX;  // block columns from one block of a window to the next
    size_t gx;
    size_t n;
};

void ScoreRow(const WindowRow& r, float* score)
{
    for (size_t i = 0; i < r.n; i += 8) {
        __m128 a = _mm_setzero_ps(), b = _mm_setzero_ps();
        const float* svm = r.svm;
        for (int by = 0; by < r.blocksY; ++by)
            for (int bx = 0; bx < r.blocksX; ++bx) {
                const float* v = r.first + static_cast<size_t>(by) * r.rows + static_cast<size_t>(bx) * r.cellsX + i;
                for (int k = 0; k < kChannels; ++k, ++svm, v += r.gx) {
                    const __m128 coeff = _mm_set1_ps(*svm);
                    a = _mm_add_ps(a, _mm_mul_ps(coeff, _mm_loadu_ps(v)));
                    b = _mm_add_ps(b, _mm_mul_ps(coeff, _mm_loadu_ps(v + 4)));
                }
            }
        _mm_storeu_ps(score + i, a);
        _mm_storeu_ps(score + i + 4, b);
    }
}

// Four sums per window, so that the fused adds do not wait on each other.
__attribute__((target("avx2,fma"))) void ScoreRowFma(const WindowRow& r, float* score)
{
    for (size_t i = 0; i < r.n; i += 8) {
        __m256 a[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps()};
        const float* svm = r.svm;
        for (int by = 0; by < r.blocksY; ++by)
            for (int bx = 0; bx < r.blocksX; ++bx) {
                const float* v = r.first + static_cast<size_t>(by) * r.rows + static_cast<size_t>(bx) * r.cellsX + i;
                for (int k = 0; k < kChannels; k += 4, svm += 4, v += 4 * r.gx)
                    for (int q = 0; q < 4; ++q)
                        a[q] = _mm256_fmadd_ps(_mm256_broadcast_ss(svm + q),
                                               _mm256_loadu_ps(v + static_cast<size_t>(q) * r.gx), a[q]);
            }
        _mm256_storeu_ps(score + i, _mm256_add_ps(_mm256_add_ps(a[0], a[1]), _mm256_add_ps(a[2], a[3])));
    }
}

struct Kernels {
    void (*horizontal)(const float*, size_t, int, size_t, size_t, float*, const AxisWeights&);
    void (*vertical)(const float* const*, size_t, float*, const AxisWeights&);
    void (*normalise)(float*, size_t);
    void (*scoreRow)(const WindowRow&, float*);
};

constexpr Kernels kBaseline{baseline::Horizontal, baseline::Vertical, baseline::Normalise, ScoreRow};
constexpr Kernels kAvx2{avx2::Horizontal, avx2::Vertical, avx2::Normalise, ScoreRowFma};

std::atomic<bool> g_baselineOnly{false};

const Kernels& ActiveKernels()
{
    static const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return avx2 && !g_baselineOnly.load(std::memory_order_relaxed) ? kAvx2 : kBaseline;
}

// Row length of the per-level planes: room for eight-wide loads past the
// last block column, in whole vectors.
size_t Padded(size_t columns)
{
    return (columns + 7 + 7) / 8 * 8;
}

int Steps(int length, int window, int stride)
{
    return (length - window) / stride + 1;
}

// cvRound: to nearest, ties to even.
inline int Round(double v)
{
    return static_cast<int>(std::lrint(v));
}

bool Similar(const cv::Rect& a, const cv::Rect& b)
{
    const double delta = kGroupEps * (std::min(a.width, b.width) + std::min(a.height, b.height)) * 0.5;
    return std::abs(a.x - b.x) <= delta && std::abs(a.y - b.y) <= delta &&
           std::abs(a.x + a.width - b.x - b.width) <= delta && std::abs(a.y + a.height - b.y - b.height) <= delta;
}

void CheckImage(const cv::Mat& grey)
{
    if (!grey.empty() && grey.type() != CV_8UC1) throw std::invalid_argument("HOG detection wants a CV_8UC1 image");
}

cv::Size CacheStride(cv::Size winStride)
{
    if (winStride.width <= 0 || winStride.height <= 0)
        throw std::invalid_argument("HOG window stride must be positive");
    return {std::gcd(winStride.width, kCell), std::gcd(winStride.height, kCell)};
}

}  // namespace

void HogPeopleDetector::BaselineOnly(bool on) noexcept
{
    g_baselineOnly.store(on, std::memory_order_relaxed);
}

bool HogPeopleDetector::Avx2() noexcept
{
    return &ActiveKernels() == &kAvx2;
}

HogPeopleDetector::HogPeopleDetector(cv::Size window, const std::vector<float>& svm) : m_window(window)
{
    if (window.width < kBlock || window.height < kBlock || (window.width - kBlock) % kCell != 0 ||
        (window.height - kBlock) % kCell != 0)
        throw std::invalid_argument("HOG window must be a whole number of block steps");
    m_blocksX = Steps(window.width, kBlock, kCell);
    m_blocksY = Steps(window.height, kBlock, kCell);
    const size_t size = static_cast<size_t>(m_blocksX) * m_blocksY * kChannels;
    if (svm.size() != size && svm.size() != size + 1)
        throw std::invalid_argument("HOG detector coefficients do not fit the window");
    m_bias = svm.size() > size ? svm[size] : 0.0;
    GradientTable();  // made now rather than in the first detection
    // OpenCV lays blocks out column by column, and the cells of a block the
    // same way; ours go row by row, so that a block row of cells is one run.
    m_svm.resize(size);
    for (int bx = 0; bx < m_blocksX; ++bx)
        for (int by = 0; by < m_blocksY; ++by)
            for (int cx = 0; cx < 2; ++cx)
                for (int cy = 0; cy < 2; ++cy)
                    for (int b = 0; b < kBins; ++b)
                        m_svm[static_cast<size_t>((by * m_blocksX + bx) * kChannels + cy * kHalf + cx * kBins + b)] =
                            svm[static_cast<size_t>((bx * m_blocksY + by) * kChannels + (cx * 2 + cy) * kBins + b)];
}

HogPeopleDetector HogPeopleDetector::Default()
{
    return HogPeopleDetector(cv::Size(64, 128), cv::HOGDescriptor::getDefaultPeopleDetector());
}

HogPeopleDetector HogPeopleDetector::Daimler()
{
    return HogPeopleDetector(cv::Size(48, 96), cv::HOGDescriptor::getDaimlerPeopleDetector());
}

const cv::Mat& HogPeopleDetector::Resize(const cv::Mat& src, cv::Size size)
{
    // Apart from the pyramid's buffer, so that its result can be detected on.
    ResizeInto(src, size, m_resizedBuf, m_resized);
    return m_resized;
}

void HogPeopleDetector::ResizeInto(const cv::Mat& src, cv::Size size, std::vector<uint8_t>& buffer, cv::Mat& dst)
{
    CheckImage(src);
    if (src.cols < 2 || src.rows < 2 || size.width <= 0 || size.height <= 0)
        throw std::invalid_argument("HOG resize wants an image of at least 2 x 2 and a size");
    // Coefficients in 8 fractional bits, rows then columns, rounded once at
    // the end: OpenCV's exact bilinear resize.
    const auto coefficients = [](int from, int to, std::vector<int>& offset, std::vector<uint16_t>& coeff) {
        offset.resize(static_cast<size_t>(to));
        coeff.resize(2 * static_cast<size_t>(to));
        const double scale = 1.0 / (static_cast<double>(to) / from);
        for (int i = 0; i < to; ++i) {
            const double f = scale * (i + 0.5) - 0.5;
            const int at = static_cast<int>(std::floor(f));
            int o = 0, c1 = 0;
            if (at >= 0 && from > 1) {
                if (at < from - 1) {
                    o = at;
                    c1 = Round((f - at) * 256);
                } else {
                    o = from - 2;
                    c1 = 256;
                }
            }
            offset[static_cast<size_t>(i)] = o;
            coeff[2 * static_cast<size_t>(i)] = static_cast<uint16_t>(256 - c1);
            coeff[2 * static_cast<size_t>(i) + 1] = static_cast<uint16_t>(c1);
        }
    };
    coefficients(src.cols, size.width, m_xOffset, m_xCoeff);
    coefficients(src.rows, size.height, m_yOffset, m_yCoeff);

    const size_t w = static_cast<size_t>(size.width);
    buffer.resize(w * static_cast<size_t>(size.height));
    m_lines.resize(2 * w);
    dst = cv::Mat(size, CV_8UC1, buffer.data());
    int held[2] = {-1, -1};  // the source rows in m_lines
    const auto line = [&](int row, int keep) -> const uint16_t* {
        for (int slot = 0; slot < 2; ++slot)
            if (held[slot] == row) return m_lines.data() + static_cast<size_t>(slot) * w;
        const int slot = held[0] == keep ? 1 : 0;
        const uint8_t* s = src.ptr<uint8_t>(row);
        uint16_t* d = m_lines.data() + static_cast<size_t>(slot) * w;
        for (size_t x = 0; x < w; ++x) {
            const uint8_t* p = s + m_xOffset[x];
            d[x] = static_cast<uint16_t>(m_xCoeff[2 * x] * p[0] + m_xCoeff[2 * x + 1] * p[1]);
        }
        held[slot] = row;
        return d;
    };
    for (int y = 0; y < size.height; ++y) {
        const int row = m_yOffset[static_cast<size_t>(y)];
        const uint32_t c0 = m_yCoeff[2 * static_cast<size_t>(y)], c1 = m_yCoeff[2 * static_cast<size_t>(y) + 1];
        const uint16_t* a = line(row, row + 1);
        const uint16_t* b = line(row + 1, row);
        uint8_t* d = dst.ptr<uint8_t>(y);
        for (size_t x = 0; x < w; ++x) d[x] = static_cast<uint8_t>((a[x] * c0 + b[x] * c1 + (1u << 15)) >> 16);
    }
}

void HogPeopleDetector::Blocks(const cv::Mat& level, cv::Size cacheStride)
{
    const Kernels& kernels = ActiveKernels();
    const int width = level.cols, height = level.rows;
    m_cacheStride = cacheStride;
    m_levelSize = level.size();
    m_gridX = Steps(width, kBlock, cacheStride.width);
    m_gridY = Steps(height, kBlock, cacheStride.height);
    const size_t gx = Padded(static_cast<size_t>(m_gridX));
    const size_t columns = static_cast<size_t>(m_gridX);
    const size_t w = static_cast<size_t>(width);
    m_rowDx.resize(w);
    m_rowDy.resize(w);
    // Pixel phases along a block step, each as long as the widest vector
    // of block columns reads, past the image zero.
    const int phases = cacheStride.width;
    const size_t phase = (columns + 7) / 8 * 8 + static_cast<size_t>(kBlock / phases);
    const size_t plane = static_cast<size_t>(phases) * phase;
    m_planes.resize(kBins * plane);
    const size_t rowSize = kHalf * gx;
    m_rows.resize(kBlock * rowSize);
    const size_t blockRow = kChannels * gx;
    m_blocks.resize(static_cast<size_t>(m_gridY) * blockRow);
    const AxisWeights& weights = Weights();
    const Gradients& gradients = GradientTable();

    for (int y = 0; y < height; ++y) {
        // Central differences, the borders mirrored without repeating the
        // edge pixel.
        const uint8_t* row = level.ptr<uint8_t>(y);
        const uint8_t* above = level.ptr<uint8_t>(y > 0 ? y - 1 : 1);
        const uint8_t* below = level.ptr<uint8_t>(y + 1 < height ? y + 1 : height - 2);
        m_rowDx[0] = 0;
        m_rowDx[w - 1] = 0;
        for (size_t x = 1; x + 1 < w; ++x)
            m_rowDx[x] = static_cast<int16_t>(static_cast<int>(row[x + 1]) - static_cast<int>(row[x - 1]));
        for (size_t x = 0; x < w; ++x)
            m_rowDy[x] = static_cast<int16_t>(static_cast<int>(below[x]) - static_cast<int>(above[x]));
        // Each pixel's two bins, the others zero.
        float* planes = m_planes.data();
        std::fill_n(planes, kBins * plane, 0.f);
        for (int r = 0; r < phases; ++r) {
            float* at = planes + static_cast<size_t>(r) * phase;
            for (size_t x = static_cast<size_t>(r), column = 0; x < w; x += static_cast<size_t>(phases), ++column) {
                const GradientBins& g = gradients.at[m_rowDy[x] + 255][m_rowDx[x] + 255];
                at[g.bin[0] * plane + column] = g.weight[0];
                at[g.bin[1] * plane + column] = g.weight[1];
            }
        }
        float* sums = m_rows.data() + static_cast<size_t>(y % kBlock) * rowSize;
        kernels.horizontal(planes, phase, phases, columns, gx, sums, weights);

        // A block row is complete with its last pixel row.
        const int top = y - (kBlock - 1);
        if (top < 0 || top % cacheStride.height != 0) continue;
        float* out = m_blocks.data() + static_cast<size_t>(top / cacheStride.height) * blockRow;
        const float* in[kBlock];
        for (int i = 0; i < kBlock; ++i) in[i] = m_rows.data() + static_cast<size_t>((top + i) % kBlock) * rowSize;
        kernels.vertical(in, rowSize, out, weights);
        kernels.normalise(out, gx);
    }
}

template <typename OnHit>
void HogPeopleDetector::Windows(cv::Size winStride, double threshold, OnHit&& hit)
{
    const int across = Steps(m_levelSize.width, m_window.width, winStride.width);
    const int down = Steps(m_levelSize.height, m_window.height, winStride.height);
    if (across <= 0 || down <= 0) return;
    const Kernels& kernels = ActiveKernels();
    const size_t n = static_cast<size_t>(across);
    const size_t gx = Padded(static_cast<size_t>(m_gridX));
    const size_t step = static_cast<size_t>(winStride.width / m_cacheStride.width);
    const size_t cellsX = static_cast<size_t>(kCell / m_cacheStride.width);
    const size_t rows = static_cast<size_t>(kCell / m_cacheStride.height) * kChannels * gx;
    m_windowRow.resize(n + 8);
    float* score = m_windowRow.data();
    for (int wy = 0; wy < down; ++wy) {
        const float* first =
            m_blocks.data() + static_cast<size_t>(wy * winStride.height / m_cacheStride.height) * kChannels * gx;
        if (step == 1) {
            kernels.scoreRow({first, m_svm.data(), m_blocksX, m_blocksY, rows, cellsX, gx, n}, score);
        } else {
            std::fill_n(score, n, 0.f);
            const float* svm = m_svm.data();
            for (int by = 0; by < m_blocksY; ++by)
                for (int bx = 0; bx < m_blocksX; ++bx) {
                    const float* v = first + static_cast<size_t>(by) * rows + static_cast<size_t>(bx) * cellsX;
                    for (int k = 0; k < kChannels; ++k, ++svm, v += gx)
                        for (size_t i = 0; i < n; ++i) score[i] += *svm * v[i * step];
                }
        }
        for (size_t i = 0; i < n; ++i) {
            const double s = m_bias + static_cast<double>(score[i]);
            if (s >= threshold) hit(static_cast<int>(i) * winStride.width, wy * winStride.height, s);
        }
    }
}

void HogPeopleDetector::Scores(const cv::Mat& grey, cv::Size winStride, std::vector<cv::Point>& at,
                               std::vector<double>& scores)
{
    at.clear();
    scores.clear();
    CheckImage(grey);
    const cv::Size cache = CacheStride(winStride);
    if (grey.cols < m_window.width || grey.rows < m_window.height) return;
    Blocks(grey, cache);
    Windows(winStride, -std::numeric_limits<double>::infinity(), [&](int x, int y, double s) {
        at.emplace_back(x, y);
        scores.push_back(s);
    });
}

void HogPeopleDetector::Descriptor(const cv::Mat& grey, cv::Point at, cv::Size winStride,
                                   std::vector<float>& descriptor)
{
    CheckImage(grey);
    const cv::Size cache = CacheStride(winStride);
    if (at.x < 0 || at.y < 0 || at.x % winStride.width != 0 || at.y % winStride.height != 0 ||
        at.x + m_window.width > grey.cols || at.y + m_window.height > grey.rows)
        throw std::invalid_argument("HOG window outside the image or off the stride");
    Blocks(grey, cache);
    descriptor.resize(m_svm.size());
    const size_t gx = Padded(static_cast<size_t>(m_gridX));
    for (int bx = 0; bx < m_blocksX; ++bx)
        for (int by = 0; by < m_blocksY; ++by) {
            const size_t row = static_cast<size_t>((at.y + by * kCell) / cache.height);
            const size_t column = static_cast<size_t>((at.x + bx * kCell) / cache.width);
            const float* block = m_blocks.data() + row * kChannels * gx + column;
            for (int cx = 0; cx < 2; ++cx)
                for (int cy = 0; cy < 2; ++cy)
                    for (int b = 0; b < kBins; ++b)
                        descriptor[static_cast<size_t>((bx * m_blocksY + by) * kChannels + (cx * 2 + cy) * kBins + b)] =
                            block[static_cast<size_t>(cy * kHalf + cx * kBins + b) * gx];
        }
}

void HogPeopleDetector::DetectMultiScale(const cv::Mat& grey, std::vector<cv::Rect>& found,
                                         std::vector<double>& weights, double hitThreshold, cv::Size winStride,
                                         double scale, int levels)
{
    found.clear();
    weights.clear();
    CheckImage(grey);
    const cv::Size cache = CacheStride(winStride);
    if (levels < 1) throw std::invalid_argument("HOG detection wants at least one level");
    if (!std::isfinite(scale)) throw std::invalid_argument("HOG pyramid step must be finite");
    m_hits.clear();
    if (grey.cols < m_window.width || grey.rows < m_window.height) return;

    double s = 1.0;
    for (int level = 0; level < levels; ++level) {
        const cv::Size size(Round(grey.cols / s), Round(grey.rows / s));
        if (size.width < m_window.width || size.height < m_window.height) break;
        if (size == grey.size()) {
            Blocks(grey, cache);
        } else {
            ResizeInto(grey, size, m_levelBuf, m_level);
            Blocks(m_level, cache);
        }
        const cv::Size window(Round(m_window.width * s), Round(m_window.height * s));
        Windows(winStride, hitThreshold, [&](int x, int y, double score) {
            m_hits.push_back({cv::Rect(Round(x * s), Round(y * s), window.width, window.height), score});
        });
        // A step of 1 or less gives the image's own scale alone.
        if (scale <= 1) break;
        s *= scale;
    }
    Group();
    const cv::Rect image(0, 0, grey.cols, grey.rows);
    for (size_t i = 0; i < m_groups.size(); ++i) {
        const cv::Rect r = m_groups[i] & image;
        if (r.area() <= 0) continue;
        found.push_back(r);
        weights.push_back(m_best[i]);
    }
}

void HogPeopleDetector::Candidates(std::vector<cv::Rect>& found, std::vector<double>& weights) const
{
    found.clear();
    weights.clear();
    for (const Hit& hit : m_hits) {
        found.push_back(hit.box);
        weights.push_back(hit.score);
    }
}

void HogPeopleDetector::Group()
{
    // Hits alike are one class, transitively; classes numbered in the order
    // of their first hit. A class of a single hit is no person, nor one
    // inside a class of more hits.
    m_groups.clear();
    m_best.clear();
    const size_t n = m_hits.size();
    if (n == 0) return;
    m_parent.resize(n);
    std::iota(m_parent.begin(), m_parent.end(), 0);
    const auto root = [this](int i) {
        while (m_parent[static_cast<size_t>(i)] != i) {
            const int up = m_parent[static_cast<size_t>(m_parent[static_cast<size_t>(i)])];
            m_parent[static_cast<size_t>(i)] = up;
            i = up;
        }
        return i;
    };
    for (size_t i = 0; i < n; ++i)
        for (size_t j = i + 1; j < n; ++j)
            if (Similar(m_hits[i].box, m_hits[j].box)) {
                const int a = root(static_cast<int>(i)), b = root(static_cast<int>(j));
                if (a != b) m_parent[static_cast<size_t>(std::max(a, b))] = std::min(a, b);
            }
    m_label.assign(n, -1);
    int classes = 0;
    m_sums.clear();
    m_count.clear();
    std::vector<double>& best = m_best;
    for (size_t i = 0; i < n; ++i) {
        const auto r = static_cast<size_t>(root(static_cast<int>(i)));
        if (m_label[r] < 0) {
            m_label[r] = classes++;
            m_sums.emplace_back(0, 0, 0, 0);
            m_count.push_back(0);
            best.push_back(-std::numeric_limits<double>::max());
        }
        const auto c = static_cast<size_t>(m_label[r]);
        const cv::Rect& box = m_hits[i].box;
        m_sums[c].x += box.x;
        m_sums[c].y += box.y;
        m_sums[c].width += box.width;
        m_sums[c].height += box.height;
        best[c] = std::max(best[c], m_hits[i].score);
        ++m_count[c];
    }
    for (size_t c = 0; c < static_cast<size_t>(classes); ++c) {
        const double k = 1.0 / m_count[c];
        const cv::Rect2d& sum = m_sums[c];
        m_groups.emplace_back(Round(sum.x * k), Round(sum.y * k), Round(sum.width * k), Round(sum.height * k));
    }
    size_t kept = 0;
    for (size_t i = 0; i < static_cast<size_t>(classes); ++i) {
        const cv::Rect& r1 = m_groups[i];
        const int n1 = m_count[i];
        if (n1 <= kGroupThreshold) continue;
        bool inside = false;
        for (size_t j = 0; j < static_cast<size_t>(classes) && !inside; ++j) {
            const int n2 = m_count[j];
            if (j == i || n2 <= kGroupThreshold) continue;
            const cv::Rect& r2 = m_groups[j];
            const int dx = Round(r2.width * kGroupEps), dy = Round(r2.height * kGroupEps);
            inside = r1.x >= r2.x - dx && r1.y >= r2.y - dy && r1.x + r1.width <= r2.x + r2.width + dx &&
                     r1.y + r1.height <= r2.y + r2.height + dy && (n2 > std::max(3, n1) || n1 < 3);
        }
        if (inside) continue;
        // Kept in place: later classes still compare with the earlier ones.
        m_label[kept] = static_cast<int>(i);
        ++kept;
    }
    // Compacted only now, the averages above being needed whole.
    for (size_t k = 0; k < kept; ++k) {
        const auto i = static_cast<size_t>(m_label[k]);
        m_groups[k] = m_groups[i];
        best[k] = best[i];
    }
    m_groups.resize(kept);
    best.resize(kept);
}

}  // namespace tsdk::detail
