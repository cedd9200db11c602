#include "track/association/BoxFilter.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <cmath>
#include <limits>

namespace tsdk::detail {
namespace {

// Noise in parts of the box's own size per frame: a person's box moves and
// grows smoothly.
constexpr float kPositionNoise = 1.f / 20.f;
constexpr float kVelocityNoise = 1.f / 160.f;
// A person's width, with arms and legs swinging, is a far noisier measure
// than the height.
constexpr float kWidthNoise = 4.f;

using Measure = cv::Matx<float, 4, 1>;

Measure Measurement(const fsdk::Rect& box)
{
    return {box.x + box.width / 2, box.y + box.height / 2, box.width, box.height};
}

}  // namespace

void BoxFilter::Start(const fsdk::Rect& box)
{
    const Measure z = Measurement(box);
    m_state = cv::Matx<float, 8, 1>::zeros();
    m_covariance = cv::Matx<float, 8, 8>::zeros();
    const float size[4] = {box.height, box.height, box.width, box.height};
    for (int i = 0; i < 4; ++i) {
        m_state(i) = z(i);
        const float p = 2.f * kPositionNoise * size[i];
        const float v = 10.f * kVelocityNoise * size[i];
        m_covariance(i, i) = p * p;
        m_covariance(i + 4, i + 4) = v * v;
    }
}

void BoxFilter::Predict()
{
    // x' = F x, P' = F P F^T + Q with F = [I I; 0 I].
    for (int i = 0; i < 4; ++i) m_state(i) += m_state(i + 4);
    cv::Matx<float, 8, 8> moved;
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) moved(r, c) = m_covariance(r, c) + (r < 4 ? m_covariance(r + 4, c) : 0.f);
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) m_covariance(r, c) = moved(r, c) + (c < 4 ? moved(r, c + 4) : 0.f);
    const float size[4] = {m_state(3), m_state(3), m_state(2), m_state(3)};
    for (int i = 0; i < 4; ++i) {
        const float p = kPositionNoise * std::max(size[i], 1.f);
        const float v = kVelocityNoise * std::max(size[i], 1.f);
        m_covariance(i, i) += p * p;
        m_covariance(i + 4, i + 4) += v * v;
    }
    // A box does not shrink away.
    m_state(2) = std::max(m_state(2), 1.f);
    m_state(3) = std::max(m_state(3), 1.f);
}

cv::Matx<float, 4, 4> BoxFilter::MeasurementNoise(float width, float height, float scale)
{
    cv::Matx<float, 4, 4> noise = cv::Matx<float, 4, 4>::zeros();
    const float size[4] = {height, height, width, height};
    for (int i = 0; i < 4; ++i) {
        const float m = kPositionNoise * std::max(size[i], 1.f) * scale * (i == 2 ? kWidthNoise : 1.f);
        noise(i, i) = m * m;
    }
    return noise;
}

void BoxFilter::Correct(const fsdk::Rect& box, float noise)
{
    // A measurement is as noisy as the box it measures is large.
    const cv::Matx<float, 4, 4> s = m_covariance.get_minor<4, 4>(0, 0) + MeasurementNoise(box.width, box.height, noise);
    bool invertible = false;
    const cv::Matx<float, 4, 4> inverse = s.inv(cv::DECOMP_CHOLESKY, &invertible);
    if (!invertible) return;
    const cv::Matx<float, 8, 4> gain = m_covariance.get_minor<8, 4>(0, 0) * inverse;
    const Measure innovation = Measurement(box) - m_state.get_minor<4, 1>(0, 0);
    m_state += gain * innovation;
    m_covariance -= gain * m_covariance.get_minor<4, 8>(0, 0);
    m_state(2) = std::max(m_state(2), 1.f);
    m_state(3) = std::max(m_state(3), 1.f);
}

double BoxFilter::Distance(const fsdk::Rect& box) const
{
    const cv::Matx<float, 4, 4> s = m_covariance.get_minor<4, 4>(0, 0) + MeasurementNoise(m_state(2), m_state(3), 1.f);
    bool invertible = false;
    const cv::Matx<float, 4, 4> inverse = s.inv(cv::DECOMP_CHOLESKY, &invertible);
    if (!invertible) return std::numeric_limits<double>::infinity();
    const Measure y = Measurement(box) - m_state.get_minor<4, 1>(0, 0);
    const double distance = (y.t() * inverse * y)(0);
    return std::isfinite(distance) ? distance : std::numeric_limits<double>::infinity();
}

fsdk::Rect BoxFilter::Box() const
{
    fsdk::Rect box;
    box.width = std::max(m_state(2), 1.f);
    box.height = std::max(m_state(3), 1.f);
    box.x = m_state(0) - box.width / 2;
    box.y = m_state(1) - box.height / 2;
    return box;
}

void BoxFilter::Limit(float speed, float growth)
{
    const float most = speed * m_state(3);
    m_state(4) = std::clamp(m_state(4), -most, most);
    m_state(5) = std::clamp(m_state(5), -most, most);
    m_state(6) = std::clamp(m_state(6), -growth * m_state(2), growth * m_state(2));
    m_state(7) = std::clamp(m_state(7), -growth * m_state(3), growth * m_state(3));
}

void BoxFilter::KeepSize()
{
    m_state(6) = m_state(7) = 0.f;
}

void BoxFilter::Stop()
{
    for (int i = 4; i < 8; ++i) m_state(i) = 0.f;
}

}  // namespace tsdk::detail
