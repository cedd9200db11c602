#include "track/Foreground.h"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tsdk::detail {
namespace {

// A pixel is foreground when it lies this many standard deviations of its
// own noise from the mean, and at least foreground-threshold away.
constexpr float kNoiseFactor = 3.f;
// The background of the first few looks at a scene is averaged, so that
// the noise of the first one does not stay.
constexpr int kWarmUpUpdates = 4;
// The tone curve is measured in bins of the model's values, on every
// second pixel of every second row; a bin needs this many samples.
constexpr int kToneBins = 32;
constexpr int kToneBinWidth = 256 / kToneBins;
constexpr int kToneSamples = 32;

// The rate of a time constant of `frames` frames, over `elapsed` frames.
float Rate(int frames, int elapsed)
{
    return 1.f - static_cast<float>(std::pow(1.0 - 1.0 / frames, std::max(elapsed, 1)));
}

// A curve at a fractional value.
float Lookup(const std::array<float, 256>& curve, float value)
{
    const float v = std::clamp(value, 0.f, 255.f);
    const int i = std::min(static_cast<int>(v), 254);
    const float f = v - static_cast<float>(i);
    return curve[static_cast<size_t>(i)] + f * (curve[static_cast<size_t>(i) + 1] - curve[static_cast<size_t>(i)]);
}

// Brings the seen bins into rising order by pooling neighbours that are out
// of it, weighted by their samples: a thinly seen bin with a wrong median
// (what a person walking by left in the model) bends the curve only a
// little, and only near itself.
template <size_t N>
void MakeRising(std::array<float, N>& value, const std::array<int, N>& weight, const std::array<bool, N>& seen)
{
    // Pool-adjacent-violators over the seen bins: blocks of a mean, a
    // weight and the first bin they cover.
    std::array<float, N> mean{};
    std::array<double, N> mass{};
    std::array<size_t, N> start{};
    size_t blocks = 0;
    for (size_t b = 0; b < N; ++b) {
        if (!seen[b]) continue;
        mean[blocks] = value[b];
        mass[blocks] = weight[b];
        start[blocks] = b;
        ++blocks;
        while (blocks > 1 && mean[blocks - 2] > mean[blocks - 1]) {
            const double total = mass[blocks - 2] + mass[blocks - 1];
            mean[blocks - 2] =
                static_cast<float>((mean[blocks - 2] * mass[blocks - 2] + mean[blocks - 1] * mass[blocks - 1]) / total);
            mass[blocks - 2] = total;
            --blocks;
        }
    }
    for (size_t k = 0; k < blocks; ++k) {
        const size_t end = k + 1 < blocks ? start[k + 1] : N;
        for (size_t b = start[k]; b < end; ++b)
            if (seen[b]) value[b] = mean[k];
    }
}

}  // namespace

void ForegroundModel::EstimateTone(const cv::Mat& frame, const cv::Mat& keep)
{
    m_histogram.assign(static_cast<size_t>(3 * kToneBins * 256), 0);
    const bool useKeep = !keep.empty() && keep.size() == frame.size();
    for (int y = 0; y < frame.rows; y += 2) {
        const uint8_t* in = frame.ptr<uint8_t>(y);
        const float* mean = m_mean.ptr<float>(y);
        const uint8_t* kept = useKeep ? keep.ptr<uint8_t>(y) : nullptr;
        for (int x = 0; x < frame.cols; x += 2) {
            if (kept != nullptr && kept[x] != 0) continue;
            for (int c = 0; c < 3; ++c) {
                const int bin = std::clamp(static_cast<int>(mean[3 * x + c]) / kToneBinWidth, 0, kToneBins - 1);
                ++m_histogram[static_cast<size_t>((c * kToneBins + bin) * 256 + in[3 * x + c])];
            }
        }
    }

    for (int c = 0; c < 3; ++c) {
        // The median frame value of each bin, or the frame's offset from
        // the model carried over from the nearest bins that were seen.
        std::array<float, kToneBins> value{};
        std::array<int, kToneBins> weight{};
        std::array<bool, kToneBins> seen{};
        bool any = false;
        for (int b = 0; b < kToneBins; ++b) {
            const int* histogram = &m_histogram[static_cast<size_t>((c * kToneBins + b) * 256)];
            int count = 0;
            for (int v = 0; v < 256; ++v) count += histogram[v];
            if (count < kToneSamples) continue;
            int v = 0;
            for (int below = histogram[0]; below * 2 < count; below += histogram[++v]) {
            }
            value[b] = static_cast<float>(v);
            weight[b] = count;
            seen[b] = any = true;
        }
        MakeRising(value, weight, seen);
        const auto centre = [](int b) { return (static_cast<float>(b) + 0.5f) * kToneBinWidth - 0.5f; };
        for (int b = 0; b < kToneBins; ++b) {
            if (seen[b]) continue;
            int lower = b - 1, upper = b + 1;
            while (lower >= 0 && !seen[lower]) --lower;
            while (upper < kToneBins && !seen[upper]) ++upper;
            float offset = 0.f;
            if (lower >= 0 && upper < kToneBins) {
                const float t = static_cast<float>(b - lower) / static_cast<float>(upper - lower);
                offset = (1 - t) * (value[lower] - centre(lower)) + t * (value[upper] - centre(upper));
            } else if (lower >= 0) {
                offset = value[lower] - centre(lower);
            } else if (upper < kToneBins) {
                offset = value[upper] - centre(upper);
            }
            value[b] = any ? centre(b) + offset : centre(b);
        }
        for (int b = 1; b < kToneBins; ++b) value[b] = std::max(value[b], value[b - 1]);

        Curve& toFrame = m_toFrame[static_cast<size_t>(c)];
        for (int v = 0; v < 256; ++v) {
            const float t = (static_cast<float>(v) + 0.5f) / kToneBinWidth - 0.5f;
            float mapped;
            if (t <= 0.f) {
                mapped = value[0] + (static_cast<float>(v) - centre(0));
            } else if (t >= kToneBins - 1) {
                mapped = value[kToneBins - 1] + (static_cast<float>(v) - centre(kToneBins - 1));
            } else {
                const int b = static_cast<int>(t);
                const float f = t - static_cast<float>(b);
                mapped = (1 - f) * value[b] + f * value[b + 1];
            }
            toFrame[v] = std::clamp(mapped, 0.f, 255.f);
        }
        for (int v = 1; v < 256; ++v) toFrame[v] = std::max(toFrame[v], toFrame[v - 1]);

        // Sampled four times finer for the per-pixel look-up.
        FineCurve& fine = m_expected[static_cast<size_t>(c)];
        for (int i = 0; i < kFineSteps; ++i)
            fine[static_cast<size_t>(i)] = Lookup(toFrame, static_cast<float>(i) / kFine);

        // Back from the frame to the model: where the curve reaches each value.
        Curve& toModel = m_toModel[static_cast<size_t>(c)];
        int at = 0;
        for (int u = 0; u < 256; ++u) {
            const float target = static_cast<float>(u);
            while (at < 255 && toFrame[at] < target) ++at;
            if (at == 0 || toFrame[at] < target) {
                toModel[u] = static_cast<float>(at);
            } else {
                const float below = toFrame[at - 1], above = toFrame[at];
                const float f = above > below ? (target - below) / (above - below) : 1.f;
                toModel[u] = static_cast<float>(at - 1) + f;
            }
        }
    }
}

inline uint8_t ForegroundModel::Label(const uint8_t* in, const float* mean, float variance, float& distance2,
                                      uint8_t* background) const
{
    const float threshold = static_cast<float>(m_config.foregroundThreshold);
    const float c0 = in[0], c1 = in[1], c2 = in[2];
    // The background as this frame's exposure shows it.
    const float b0 = Expected(0, mean[0]), b1 = Expected(1, mean[1]), b2 = Expected(2, mean[2]);
    if (background != nullptr) *background = static_cast<uint8_t>((b0 + b1 + b2) / 3.f + 0.5f);
    const float d0 = c0 - b0, d1 = c1 - b1, d2 = c2 - b2;
    distance2 = (d0 * d0 + d1 * d1 + d2 * d2) / 3.f;
    const float limit2 = std::max(threshold * threshold, kNoiseFactor * kNoiseFactor * variance);
    if (distance2 <= limit2) return distance2 > 0.25f * limit2 ? kWeak : kBackground;
    const float back2 = b0 * b0 + b1 * b1 + b2 * b2;
    if (m_config.shadows && back2 > 1.f) {
        // Brightness against the background, and what is left once the
        // background is dimmed to it.
        const float b = (c0 * b0 + c1 * b1 + c2 * b2) / back2;
        if (b >= static_cast<float>(m_config.shadowMinPercent) / 100.f &&
            b <= static_cast<float>(m_config.shadowMaxPercent) / 100.f) {
            const float e0 = c0 - b * b0, e1 = c1 - b * b1, e2 = c2 - b * b2;
            if ((e0 * e0 + e1 * e1 + e2 * e2) / 3.f <= 0.25f * limit2) return kShadow;
        }
    }
    return kForeground;
}

uint8_t ForegroundModel::Classify(const uint8_t* rgb, int x, int y) const
{
    float distance2 = 0.f;
    return Label(rgb, m_mean.ptr<float>(y) + 3 * x, m_variance.ptr<float>(y)[x], distance2);
}

void ForegroundModel::Classify(const cv::Mat& frame, const cv::Mat& keep, cv::Mat& mask)
{
    mask.create(frame.size(), CV_8UC1);
    const float threshold = static_cast<float>(m_config.foregroundThreshold);
    if (m_updates == 0 || m_mean.size() != frame.size()) {
        // The first look is the background.
        frame.convertTo(m_mean, CV_32FC3);
        m_variance.create(frame.size(), CV_32FC1);
        m_variance.setTo(threshold * threshold / (kNoiseFactor * kNoiseFactor));
        m_age.create(frame.size(), CV_16UC1);
        m_age.setTo(0);
        m_distance.create(frame.size(), CV_32FC1);
        for (size_t c = 0; c < 3; ++c) {
            for (int v = 0; v < 256; ++v)
                m_toFrame[c][static_cast<size_t>(v)] = m_toModel[c][static_cast<size_t>(v)] = static_cast<float>(v);
            for (int i = 0; i < kFineSteps; ++i) m_expected[c][static_cast<size_t>(i)] = static_cast<float>(i) / kFine;
        }
        mask.setTo(kBackground);
        m_updates = 0;
        m_started = true;
        return;
    }
    EstimateTone(frame, keep);
    m_frameGrey.create(frame.size(), CV_8UC1);
    m_backgroundGrey.create(frame.size(), CV_8UC1);
    // Four pixels at a time, each step as the single pixel takes it, so
    // that every value comes out the same to the bit.
    const __m128 fine = _mm_set1_ps(static_cast<float>(kFine)), half = _mm_set1_ps(0.5f);
    const __m128 lastStep = _mm_set1_ps(static_cast<float>(kFineSteps - 1)), zero = _mm_setzero_ps();
    const __m128 three = _mm_set1_ps(3.f), quarter = _mm_set1_ps(0.25f);
    const __m128 noise2 = _mm_set1_ps(kNoiseFactor * kNoiseFactor), threshold2 = _mm_set1_ps(threshold * threshold);
    const __m128i weak = _mm_set1_epi32(kWeak);
    const float* curve0 = m_expected[0].data();
    const float* curve1 = m_expected[1].data();
    const float* curve2 = m_expected[2].data();
    const bool shadows = m_config.shadows;
    for (int y = 0; y < frame.rows; ++y) {
        const uint8_t* in = frame.ptr<uint8_t>(y);
        const float* mean = m_mean.ptr<float>(y);
        const float* variance = m_variance.ptr<float>(y);
        float* distance = m_distance.ptr<float>(y);
        uint8_t* out = mask.ptr<uint8_t>(y);
        uint8_t* grey = m_frameGrey.ptr<uint8_t>(y);
        uint8_t* back = m_backgroundGrey.ptr<uint8_t>(y);
        int x = 0;
        for (; x + 4 <= frame.cols; x += 4, in += 12, mean += 12) {
            // The curve indices: clamping before the truncation gives the
            // clamped truncation, the means being finite.
            alignas(16) int32_t index[12];
            for (int k = 0; k < 3; ++k) {
                const __m128 at = _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(mean + 4 * k), fine), half);
                _mm_store_si128(reinterpret_cast<__m128i*>(index + 4 * k),
                                _mm_cvttps_epi32(_mm_min_ps(_mm_max_ps(at, zero), lastStep)));
            }
            const __m128 b0 = _mm_setr_ps(curve0[index[0]], curve0[index[3]], curve0[index[6]], curve0[index[9]]);
            const __m128 b1 = _mm_setr_ps(curve1[index[1]], curve1[index[4]], curve1[index[7]], curve1[index[10]]);
            const __m128 b2 = _mm_setr_ps(curve2[index[2]], curve2[index[5]], curve2[index[8]], curve2[index[11]]);
            const __m128i i0 = _mm_setr_epi32(in[0], in[3], in[6], in[9]);
            const __m128i i1 = _mm_setr_epi32(in[1], in[4], in[7], in[10]);
            const __m128i i2 = _mm_setr_epi32(in[2], in[5], in[8], in[11]);
            const __m128 d0 = _mm_sub_ps(_mm_cvtepi32_ps(i0), b0);
            const __m128 d1 = _mm_sub_ps(_mm_cvtepi32_ps(i1), b1);
            const __m128 d2 = _mm_sub_ps(_mm_cvtepi32_ps(i2), b2);
            const __m128 distance2 =
                _mm_div_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(d0, d0), _mm_mul_ps(d1, d1)), _mm_mul_ps(d2, d2)), three);
            _mm_storeu_ps(distance + x, distance2);
            // max(threshold², noise² · variance), NaN and ties as std::max.
            const __m128 limit2 = _mm_max_ps(_mm_mul_ps(noise2, _mm_loadu_ps(variance + x)), threshold2);
            const __m128i near = _mm_castps_si128(_mm_cmple_ps(distance2, limit2));
            const __m128i far = _mm_castps_si128(_mm_cmpgt_ps(distance2, _mm_mul_ps(quarter, limit2)));
            // Near and far: weak; near only: background; neither: foreground.
            const __m128i label = _mm_or_si128(_mm_and_si128(_mm_and_si128(near, far), weak),
                                               _mm_andnot_si128(near, _mm_set1_epi32(kForeground)));
            const __m128i level =
                _mm_cvttps_epi32(_mm_add_ps(_mm_div_ps(_mm_add_ps(_mm_add_ps(b0, b1), b2), three), half));
            // (sum + 1) / 3 as the high half of a multiply, exact below 2^16.
            const __m128i sum = _mm_add_epi32(_mm_add_epi32(_mm_add_epi32(i0, i1), i2), _mm_set1_epi32(1));
            const __m128i sum16 = _mm_packs_epi32(sum, sum);
            const __m128i third = _mm_srli_epi16(_mm_mulhi_epu16(sum16, _mm_set1_epi16(static_cast<short>(0xaaab))), 1);
            // Labels, background levels and grey levels into bytes.
            const __m128i packed = _mm_packus_epi16(_mm_packs_epi32(label, level), third);
            alignas(16) uint8_t bytes[16];
            _mm_store_si128(reinterpret_cast<__m128i*>(bytes), packed);
            std::memcpy(out + x, bytes, 4);
            std::memcpy(back + x, bytes + 4, 4);
            std::memcpy(grey + x, bytes + 8, 4);
            if (shadows) {
                // The few pixels far enough for a shadow, the whole way.
                for (int j = 0; j < 4; ++j) {
                    float unused = 0.f;
                    if (out[x + j] == kForeground)
                        out[x + j] = Label(in + 3 * j, mean + 3 * j, variance[x + j], unused);
                }
            }
        }
        for (; x < frame.cols; ++x, in += 3, mean += 3) {
            out[x] = Label(in, mean, variance[x], distance[x], &back[x]);
            grey[x] = static_cast<uint8_t>((in[0] + in[1] + in[2] + 1) / 3);
        }
    }
}

void ForegroundModel::Learn(const cv::Mat& frame, int frames, const cv::Mat& mask, const cv::Mat& keep)
{
    if (m_mean.size() != frame.size() || mask.size() != frame.size()) return;
    if (m_started) {  // the first look is already in
        m_started = false;
        m_updates = 1;
        return;
    }
    const float threshold = static_cast<float>(m_config.foregroundThreshold);
    const float minVariance = threshold * threshold / (kNoiseFactor * kNoiseFactor);
    const float maxVariance = threshold * threshold;
    float background = Rate(m_config.backgroundFrames, frames);
    // Once it is due, a ghost goes within a few looks.
    const float ghost = Rate(std::max(1, m_config.ghostFrames / 4), frames);
    if (m_updates < kWarmUpUpdates) background = std::max(background, 1.f / static_cast<float>(m_updates + 1));
    const bool useKeep = !keep.empty() && keep.size() == frame.size();

    // Blocks of four background pixels, the most of a frame, all at once;
    // the same operations in the same order as one at a time.
    const bool blocks = background > 0.f;
    const __m128 rate = _mm_set1_ps(background);
    const __m128 lowest = _mm_set1_ps(minVariance), highest = _mm_set1_ps(maxVariance);
    const float* model0 = m_toModel[0].data();
    const float* model1 = m_toModel[1].data();
    const float* model2 = m_toModel[2].data();
    for (int y = 0; y < frame.rows; ++y) {
        const uint8_t* in = frame.ptr<uint8_t>(y);
        float* mean = m_mean.ptr<float>(y);
        float* variance = m_variance.ptr<float>(y);
        const float* distance = m_distance.ptr<float>(y);
        uint16_t* age = m_age.ptr<uint16_t>(y);
        const uint8_t* label = mask.ptr<uint8_t>(y);
        const uint8_t* kept = useKeep ? keep.ptr<uint8_t>(y) : nullptr;
        const auto learn = [&](int x) {
            // Learnt at the model's own exposure. Foreground that no one
            // follows is learnt once it has stayed for ghost-frames: a
            // person walking by stays nowhere that long.
            float r = 0.f;
            if (label[x] == kBackground) {
                r = background;
                age[x] = 0;
                variance[x] =
                    std::clamp(variance[x] + background * (distance[x] - variance[x]), minVariance, maxVariance);
            } else if (kept != nullptr && kept[x] == kGhost) {
                r = ghost;
            } else if (kept != nullptr && kept[x] != 0) {
                age[x] = 0;
            } else {
                age[x] = static_cast<uint16_t>(std::min<int>(age[x] + frames, 0xffff));
                if (age[x] >= m_config.ghostFrames) r = ghost;
            }
            if (r > 0.f) {
                const uint8_t* p = in + 3 * x;
                float* m = mean + 3 * x;
                m[0] += r * (m_toModel[0][p[0]] - m[0]);
                m[1] += r * (m_toModel[1][p[1]] - m[1]);
                m[2] += r * (m_toModel[2][p[2]] - m[2]);
            }
        };
        int x = 0;
        for (; x + 4 <= frame.cols; x += 4) {
            uint32_t labels;
            std::memcpy(&labels, label + x, sizeof labels);
            if (!blocks || labels != 0) {
                for (int j = 0; j < 4; ++j) learn(x + j);
                continue;
            }
            std::memset(age + x, 0, 4 * sizeof(uint16_t));
            // std::clamp as max then min, with its operand order.
            const __m128 v = _mm_loadu_ps(variance + x);
            const __m128 moved = _mm_add_ps(v, _mm_mul_ps(rate, _mm_sub_ps(_mm_loadu_ps(distance + x), v)));
            _mm_storeu_ps(variance + x, _mm_min_ps(highest, _mm_max_ps(lowest, moved)));
            const uint8_t* p = in + 3 * x;
            float* m = mean + 3 * x;
            const __m128 target[3] = {
                _mm_setr_ps(model0[p[0]], model1[p[1]], model2[p[2]], model0[p[3]]),
                _mm_setr_ps(model1[p[4]], model2[p[5]], model0[p[6]], model1[p[7]]),
                _mm_setr_ps(model2[p[8]], model0[p[9]], model1[p[10]], model2[p[11]]),
            };
            for (int k = 0; k < 3; ++k) {
                const __m128 old = _mm_loadu_ps(m + 4 * k);
                _mm_storeu_ps(m + 4 * k, _mm_add_ps(old, _mm_mul_ps(rate, _mm_sub_ps(target[k], old))));
            }
        }
        for (; x < frame.cols; ++x) learn(x);
    }
    ++m_updates;
}

}  // namespace tsdk::detail
