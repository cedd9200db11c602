#pragma once

#include <cstdint>

namespace KestCv {

// Picture layouts by code. Targets: 1, 2 (packed, 3 bytes) and 4 (1 byte).
// Sources: 4 (luma only), 6 (4:2:0), 7 (4:2:2), 8 (4:4:4).
enum PixelFormat : int32_t {
    PF_UNKNOWN = 0,
    PF_BGR24 = 1,  // B, G, R in memory
    PF_RGB24 = 2,  // R, G, B in memory
    PF_BGRA32 = 3,
    PF_GRAY8 = 4,
    PF_NV12 = 5,
    PF_YUV420P = 6,
    PF_YUV422P = 7,
    PF_YUV444P = 8,
};

enum MemType : int32_t {
    MT_HOST = 0,
    MT_CUDA = 1,
};

}  // namespace KestCv
