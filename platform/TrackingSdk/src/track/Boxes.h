#pragma once
// Measures of boxes shared by the detectors and the tracker.

#include <algorithm>

#include "fsdk/Types.h"

namespace tsdk::detail {

inline float Area(const fsdk::Rect& box) noexcept
{
    return box.width * box.height;
}

// The area two boxes have in common.
inline float CommonArea(const fsdk::Rect& a, const fsdk::Rect& b) noexcept
{
    const float w = std::min(a.x + a.width, b.x + b.width) - std::max(a.x, b.x);
    const float h = std::min(a.y + a.height, b.y + b.height) - std::max(a.y, b.y);
    return w > 0.f && h > 0.f ? w * h : 0.f;
}

// Intersection over union; 0 for boxes of no area.
inline float Overlap(const fsdk::Rect& a, const fsdk::Rect& b) noexcept
{
    const float common = CommonArea(a, b);
    const float all = Area(a) + Area(b) - common;
    return common > 0.f && all > 0.f ? common / all : 0.f;
}

// Share of `part` that lies inside `whole`.
inline float Inside(const fsdk::Rect& part, const fsdk::Rect& whole) noexcept
{
    const float area = Area(part);
    return area > 0.f ? CommonArea(part, whole) / area : 0.f;
}

}  // namespace tsdk::detail
