#include "track/BinaryMask.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace tsdk::detail {

static_assert(sizeof(ComponentStats) == 5 * sizeof(int), "ComponentStats must read as a row of OpenCV's statistics");
static_assert(offsetof(ComponentStats, left) == cv::CC_STAT_LEFT * sizeof(int) &&
                  offsetof(ComponentStats, top) == cv::CC_STAT_TOP * sizeof(int) &&
                  offsetof(ComponentStats, width) == cv::CC_STAT_WIDTH * sizeof(int) &&
                  offsetof(ComponentStats, height) == cv::CC_STAT_HEIGHT * sizeof(int) &&
                  offsetof(ComponentStats, area) == cv::CC_STAT_AREA * sizeof(int),
              "ComponentStats must read as a row of OpenCV's statistics");

namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "pixels are packed from bytes loaded little-endian");

constexpr uint64_t kLow7 = 0x7f7f7f7f7f7f7f7full;
constexpr uint64_t kHigh = 0x8080808080808080ull;
constexpr uint64_t kOnes = 0x0101010101010101ull;
// Gathers the top bit of each byte into the top byte, byte k to bit 56 + k.
constexpr uint64_t kGather = 0x0002040810204081ull;

uint64_t Load(const uint8_t* p)
{
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void Store(uint8_t* p, uint64_t v)
{
    std::memcpy(p, &v, sizeof v);
}

// Bit k set when byte k of `v` (pixel k of eight) is not zero.
uint64_t Pack8(uint64_t v)
{
    const uint64_t nonZero = (((v & kLow7) + kLow7) | v) & kHigh;
    return (nonZero * kGather) >> 56;
}

// Eight pixels, 0 or 255, for each eight bits.
struct Spread {
    uint64_t bytes[256];
    constexpr Spread() : bytes()
    {
        for (int b = 0; b < 256; ++b)
            for (int k = 0; k < 8; ++k)
                if ((b >> k & 1) != 0) bytes[b] |= uint64_t{0xff} << (8 * k);
    }
};
constexpr Spread kSpread;

bool HasZeroByte(uint64_t v)
{
    return ((v - kOnes) & ~v & kHigh) != 0;
}

void CheckMask(const cv::Mat& mask)
{
    if (mask.type() != CV_8UC1 || mask.dims > 2) throw std::invalid_argument("a binary mask must be CV_8UC1");
    if (static_cast<int64_t>(mask.rows) * mask.cols > INT_MAX)
        throw std::invalid_argument("a binary mask must have fewer than 2^31 pixels");
}

// Packed rows: pixel x of a row in bit x % 64 of its word x / 64.
struct Packed {
    int rows;
    int cols;
    size_t words;   // a row
    uint64_t last;  // the bits of the last word inside the row
};

void Pack(const cv::Mat& mask, const Packed& layout, uint64_t* bits)
{
    const int blocks = layout.cols / 64;
    for (int y = 0; y < layout.rows; ++y) {
        const uint8_t* p = mask.ptr<uint8_t>(y);
        uint64_t* out = bits + static_cast<size_t>(y) * layout.words;
        for (int j = 0; j < blocks; ++j, p += 64) {
            uint64_t word = 0;
#ifdef __SSE2__
            const __m128i zero = _mm_setzero_si128();
            for (int k = 0; k < 4; ++k) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
                const auto isZero = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)));
                word |= uint64_t{~isZero & 0xffffu} << (16 * k);
            }
#else
            for (int k = 0; k < 8; ++k) word |= Pack8(Load(p + 8 * k)) << (8 * k);
#endif
            out[j] = word;
        }
        if (blocks * 64 == layout.cols) continue;
        const int rest = layout.cols - blocks * 64;
        uint64_t word = 0;
        int x = 0;
        for (; x + 8 <= rest; x += 8) word |= Pack8(Load(p + x)) << x;
        for (; x < rest; ++x)
            if (p[x] != 0) word |= uint64_t{1} << x;
        out[blocks] = word;
    }
}

void Unpack(const uint64_t* bits, const Packed& layout, cv::Mat& mask)
{
    const int groups = layout.cols / 8;
    for (int y = 0; y < layout.rows; ++y) {
        uint8_t* p = mask.ptr<uint8_t>(y);
        const uint64_t* in = bits + static_cast<size_t>(y) * layout.words;
        int g = 0;
        for (; g + 8 <= groups; g += 8) {
            const uint64_t word = in[g / 8];
            for (int k = 0; k < 8; ++k) Store(p + 8 * (g + k), kSpread.bytes[word >> (8 * k) & 0xff]);
        }
        for (; g < groups; ++g) Store(p + 8 * g, kSpread.bytes[in[g / 8] >> (8 * (g % 8)) & 0xff]);
        for (int x = groups * 8; x < layout.cols; ++x) p[x] = (in[x / 64] >> (x % 64) & 1) != 0 ? 0xff : 0;
    }
}

// Dilation (OR) or erosion (AND) of packed rows. Pixels outside the mask
// take no part, as with OpenCV's default border: 0 to a dilation, 255 to an
// erosion. `widened` has room for the rows widened by 1 to the widest
// half-width.
template <bool Dilate>
void Filter(uint64_t* src, uint64_t* dst, uint64_t* widened, const Packed& layout, const std::vector<int>& halfWidths,
            std::vector<const uint64_t*>& sources)
{
    constexpr uint64_t kNeutral = Dilate ? 0 : ~uint64_t{0};
    const auto combine = [](uint64_t a, uint64_t b) { return Dilate ? (a | b) : (a & b); };
    const auto neutralPad = [&](uint64_t& last) { last = Dilate ? (last & layout.last) : (last | ~layout.last); };

    const size_t n = layout.words;
    const size_t image = n * static_cast<size_t>(layout.rows);
    const int widest = std::max(0, *std::max_element(halfWidths.begin(), halfWidths.end()));
    for (int y = 0; y < layout.rows; ++y) neutralPad(src[static_cast<size_t>(y) * n + n - 1]);
    const auto plane = [&](int k) { return k == 0 ? src : widened + static_cast<size_t>(k - 1) * image; };
    for (int k = 1; k <= widest; ++k) {
        const uint64_t* in = plane(k - 1);
        uint64_t* out = plane(k);
        for (int y = 0; y < layout.rows; ++y) {
            const uint64_t* row = in + static_cast<size_t>(y) * n;
            uint64_t* o = out + static_cast<size_t>(y) * n;
            for (size_t j = 0; j < n; ++j) {
                const uint64_t w = row[j];
                const uint64_t before = j > 0 ? row[j - 1] : kNeutral;
                const uint64_t after = j + 1 < n ? row[j + 1] : kNeutral;
                // Each pixel with its left and its right neighbour.
                const uint64_t left = (w << 1) | (before >> 63);
                const uint64_t right = (w >> 1) | (after << 63);
                o[j] = combine(combine(w, left), right);
            }
            neutralPad(o[n - 1]);
        }
    }

    const int height = static_cast<int>(halfWidths.size());
    const int reach = height / 2;
    if (sources.size() < halfWidths.size()) sources.resize(halfWidths.size());
    for (int y = 0; y < layout.rows; ++y) {
        int count = 0;
        for (int i = 0; i < height; ++i) {
            const int source = y + i - reach;
            const int halfWidth = halfWidths[static_cast<size_t>(i)];
            if (halfWidth < 0 || source < 0 || source >= layout.rows) continue;
            sources[static_cast<size_t>(count++)] = plane(halfWidth) + static_cast<size_t>(source) * n;
        }
        uint64_t* o = dst + static_cast<size_t>(y) * n;
        std::fill(o, o + n, kNeutral);
        for (int i = 0; i < count; ++i) {
            const uint64_t* in = sources[static_cast<size_t>(i)];
            for (size_t j = 0; j < n; ++j) o[j] = combine(o[j], in[j]);
        }
    }
}

}  // namespace

void MaskCleaner::Morph(cv::Mat& mask, bool open, bool close)
{
    if (mask.empty()) return;
    const int tail = mask.cols % 64;
    const Packed layout{mask.rows, mask.cols, static_cast<size_t>(mask.cols + 63) / 64,
                        tail == 0 ? ~uint64_t{0} : (uint64_t{1} << tail) - 1};
    int widest = 1;
    if (close) widest = std::max(widest, *std::max_element(m_ellipse.begin(), m_ellipse.end()));
    const size_t image = layout.words * static_cast<size_t>(layout.rows);
    const size_t need = image * static_cast<size_t>(2 + widest);
    if (m_bits.size() < need) m_bits.resize(need);
    uint64_t* const packed = m_bits.data();
    uint64_t* const middle = packed + image;
    uint64_t* const widened = middle + image;
    Pack(mask, layout, packed);
    if (open) {
        Filter<false>(packed, middle, widened, layout, m_rectangle, m_rows);
        Filter<true>(middle, packed, widened, layout, m_rectangle, m_rows);
    }
    if (close) {
        Filter<true>(packed, middle, widened, layout, m_ellipse, m_rows);
        Filter<false>(middle, packed, widened, layout, m_ellipse, m_rows);
    }
    Unpack(packed, layout, mask);
}

void MaskCleaner::UseEllipse(cv::Size size)
{
    if (size.width <= 0 || size.height <= 0 || size.width % 2 == 0 || size.height % 2 == 0)
        throw std::invalid_argument("the closing's ellipse must have odd, positive sides");
    if (size == m_ellipseSize) return;
    // OpenCV's own element, so that rounding at its rows is OpenCV's.
    const cv::Mat element = cv::getStructuringElement(cv::MORPH_ELLIPSE, size);
    const int centre = size.width / 2;
    m_ellipse.assign(static_cast<size_t>(size.height), -1);
    for (int i = 0; i < size.height; ++i) {
        const uint8_t* e = element.ptr<uint8_t>(i);
        const uint8_t* first = std::find_if(e, e + size.width, [](uint8_t v) { return v != 0; });
        if (first == e + size.width) continue;
        const int halfWidth = centre - static_cast<int>(first - e);
        for (int j = 0; j < size.width; ++j)
            if ((e[j] != 0) != (std::abs(j - centre) <= halfWidth))
                throw std::logic_error("an ellipse row is not a centred run");
        m_ellipse[static_cast<size_t>(i)] = halfWidth;
    }
    m_ellipseSize = size;
}

void MaskCleaner::Open3x3(cv::Mat& mask)
{
    CheckMask(mask);
    Morph(mask, true, false);
}

void MaskCleaner::CloseEllipse(cv::Mat& mask, cv::Size size)
{
    CheckMask(mask);
    UseEllipse(size);
    Morph(mask, false, true);
}

void MaskCleaner::OpenThenClose(cv::Mat& mask, cv::Size ellipse)
{
    CheckMask(mask);
    UseEllipse(ellipse);
    Morph(mask, true, true);
}

int MaskCleaner::Find(int run)
{
    while (m_parent[static_cast<size_t>(run)] != run) {
        const int up = m_parent[static_cast<size_t>(m_parent[static_cast<size_t>(run)])];
        m_parent[static_cast<size_t>(run)] = up;
        run = up;
    }
    return run;
}

// The smaller root wins, so every run's parent is an earlier run.
void MaskCleaner::Merge(int a, int b)
{
    const int ra = Find(a), rb = Find(b);
    if (ra < rb)
        m_parent[static_cast<size_t>(rb)] = ra;
    else if (rb < ra)
        m_parent[static_cast<size_t>(ra)] = rb;
}

int MaskCleaner::Label(const cv::Mat& mask, cv::Mat& labels, std::vector<ComponentStats>& stats)
{
    CheckMask(mask);
    if (&mask == &labels) throw std::invalid_argument("the labels cannot replace the mask they label");
    const int rows = mask.rows, cols = mask.cols;
    labels.create(rows, cols, CV_32S);
    // A row holds at most one run in two pixels, and a 2 x 2 block at most
    // one component's first pixel.
    const size_t maxRuns = static_cast<size_t>(rows) * static_cast<size_t>((cols + 1) / 2);
    const size_t maxComponents = static_cast<size_t>((rows + 1) / 2) * static_cast<size_t>((cols + 1) / 2) + 1;
    if (m_runs.size() < maxRuns) {
        m_runs.resize(maxRuns);
        m_parent.resize(maxRuns);
        m_number.resize(maxRuns);
    }
    if (m_rowStart.size() < static_cast<size_t>(rows) + 1) m_rowStart.resize(static_cast<size_t>(rows) + 1);
    if (stats.capacity() < maxComponents) stats.reserve(maxComponents);

    // Runs of each row, joined to the runs of the row above that they touch
    // (diagonally included).
    int count = 0;
    for (int y = 0; y < rows; ++y) {
        const int above = y > 0 ? m_rowStart[static_cast<size_t>(y - 1)] : 0;
        const int aboveEnd = count;
        m_rowStart[static_cast<size_t>(y)] = count;
        const uint8_t* p = mask.ptr<uint8_t>(y);
        int j = above;
        int x = 0;
        for (;;) {
            while (x + 8 <= cols && Load(p + x) == 0) x += 8;
            while (x < cols && p[x] == 0) ++x;
            if (x == cols) break;
            const int begin = x;
            while (x + 8 <= cols && !HasZeroByte(Load(p + x))) x += 8;
            while (x < cols && p[x] != 0) ++x;
            const int run = count++;
            m_runs[static_cast<size_t>(run)] = {begin, x};
            m_parent[static_cast<size_t>(run)] = run;
            while (j < aboveEnd && m_runs[static_cast<size_t>(j)].end < begin) ++j;
            for (int k = j; k < aboveEnd && m_runs[static_cast<size_t>(k)].begin <= x; ++k) Merge(run, k);
        }
    }
    m_rowStart[static_cast<size_t>(rows)] = count;
    for (int i = 0; i < count; ++i) {
        m_parent[static_cast<size_t>(i)] = m_parent[static_cast<size_t>(m_parent[static_cast<size_t>(i)])];
        m_number[static_cast<size_t>(i)] = 0;
    }

    // OpenCV's numbering: 2 x 2 blocks in raster order, so the runs of each
    // pair of rows are taken by the block their first pixel is in.
    int n = 0;
    for (int y = 0; y < rows; y += 2) {
        int a = m_rowStart[static_cast<size_t>(y)];
        const int aEnd = m_rowStart[static_cast<size_t>(y + 1)];
        int b = aEnd;
        const int bEnd = y + 1 < rows ? m_rowStart[static_cast<size_t>(y + 2)] : aEnd;
        while (a < aEnd || b < bEnd) {
            const bool fromA = b == bEnd || (a < aEnd && m_runs[static_cast<size_t>(a)].begin / 2 <=
                                                             m_runs[static_cast<size_t>(b)].begin / 2);
            const int run = fromA ? a++ : b++;
            int& number = m_number[static_cast<size_t>(m_parent[static_cast<size_t>(run)])];
            if (number == 0) number = ++n;
        }
    }

    // Boxes kept as right and bottom until the end.
    stats.assign(static_cast<size_t>(n) + 1, ComponentStats{INT_MAX, INT_MAX, -1, -1, 0});
    ComponentStats& background = stats[0];
    for (int y = 0; y < rows; ++y) {
        int* out = labels.ptr<int>(y);
        const int first = m_rowStart[static_cast<size_t>(y)], last = m_rowStart[static_cast<size_t>(y) + 1];
        int x = 0, foreground = 0;
        for (int r = first; r < last; ++r) {
            const Run run = m_runs[static_cast<size_t>(r)];
            const int label = m_number[static_cast<size_t>(m_parent[static_cast<size_t>(r)])];
            std::fill(out + x, out + run.begin, 0);
            std::fill(out + run.begin, out + run.end, label);
            x = run.end;
            ComponentStats& s = stats[static_cast<size_t>(label)];
            s.left = std::min(s.left, run.begin);
            s.width = std::max(s.width, run.end - 1);
            if (s.area == 0) s.top = y;
            s.height = y;
            s.area += run.end - run.begin;
            foreground += run.end - run.begin;
        }
        std::fill(out + x, out + cols, 0);
        if (foreground == cols) continue;
        const int firstBackground =
            first == last || m_runs[static_cast<size_t>(first)].begin > 0 ? 0 : m_runs[static_cast<size_t>(first)].end;
        const int lastBackground = first == last || m_runs[static_cast<size_t>(last) - 1].end < cols
                                       ? cols - 1
                                       : m_runs[static_cast<size_t>(last) - 1].begin - 1;
        background.left = std::min(background.left, firstBackground);
        background.width = std::max(background.width, lastBackground);
        if (background.area == 0) background.top = y;
        background.height = y;
        background.area += cols - foreground;
    }
    for (ComponentStats& s : stats) {
        if (s.area == 0) {
            s = ComponentStats{};
            continue;
        }
        s.width -= s.left - 1;
        s.height -= s.top - 1;
    }
    return n + 1;
}

}  // namespace tsdk::detail
