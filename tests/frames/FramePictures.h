#pragma once
// Test pictures: R, G, B bytes, rows packed.

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace FrameTests {

// Blocks of 8 x 8 pixels in six saturated-but-legal colours, so chroma
// subsampling inside a block is exact.
inline std::vector<uint8_t> BlockPicture(uint32_t width, uint32_t height)
{
    static const uint8_t colours[6][3] = {{200, 40, 40},  {40, 200, 40},  {40, 40, 200},
                                          {200, 200, 40}, {40, 200, 200}, {128, 128, 128}};
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            const uint8_t* c = colours[((x / 8) + 2 * (y / 8)) % 6];
            uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
            p[0] = c[0], p[1] = c[1], p[2] = c[2];
        }
    return rgb;
}

// Largest difference between a packed R, G, B picture and a rectangle of `full`.
inline int MaxDifference(const uint8_t* picture, uint32_t stride, const std::vector<uint8_t>& full, uint32_t fullWidth,
                         uint32_t x0, uint32_t y0, uint32_t w, uint32_t h)
{
    int worst = 0;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w * 3; ++x) {
            const int a = picture[static_cast<size_t>(y) * stride + x];
            const int b = full[(static_cast<size_t>(y0 + y) * fullWidth + x0) * 3 + x];
            worst = std::max(worst, std::abs(a - b));
        }
    return worst;
}

}  // namespace FrameTests
