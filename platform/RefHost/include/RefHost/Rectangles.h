#pragma once
// A host rectangle list, as hosts hand "RegionOfInterest" to a detector.

#include <vector>

#include "Kest8/Geometry.h"
#include "RefHost/Contract.h"

namespace RefHost {

class RectangleList final : public Kest8::IRectangleEnumerator {
public:
    explicit RectangleList(std::vector<Kest8::Rect> rects) : m_rects(std::move(rects)) {}
    REFHOST_CONTRACTS(Kest8::IRectangleEnumerator)

    void Reset() override { m_position = 0; }
    bool MoveNext() override
    {
        if (m_position >= m_rects.size()) return false;
        m_current.rect = m_rects[m_position++];
        return true;
    }
    Kest8::IRectangle* Current() override { return m_position == 0 ? nullptr : &m_current; }

private:
    struct Rectangle final : Kest8::IRectangle {
        REFHOST_CONTRACTS(Kest8::IRectangle)
        double GetLeft() const override { return rect.left; }
        double GetTop() const override { return rect.top; }
        double GetWidth() const override { return rect.width; }
        double GetHeight() const override { return rect.height; }
        Kest8::Rect rect{};
    };

    std::vector<Kest8::Rect> m_rects;
    size_t m_position = 0;
    Rectangle m_current;
};

}  // namespace RefHost
