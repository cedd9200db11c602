#pragma once
// Test scenes for the blob detector: solid light boxes on a dark plain
// background, as packed R, G, B pixels.

#include <algorithm>
#include <cstdint>
#include <vector>

namespace TestScenes {

struct Box {
    int x, y, width, height;
};

inline std::vector<uint8_t> Rgb(int width, int height, const std::vector<Box>& boxes)
{
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 3, 50);
    for (const Box& box : boxes)
        for (int y = std::max(box.y, 0); y < std::min(box.y + box.height, height); ++y)
            for (int x = std::max(box.x, 0); x < std::min(box.x + box.width, width); ++x)
                for (int c = 0; c < 3; ++c) pixels[(static_cast<size_t>(y) * width + x) * 3 + c] = 220;
    return pixels;
}

}  // namespace TestScenes
