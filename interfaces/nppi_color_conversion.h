#pragma once
// The NPP colour conversion the wrapper uses, with its public C signature.

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned char Npp8u;

typedef struct {
    int width;
    int height;
} NppiSize;

typedef enum {
    NPP_NULL_POINTER_ERROR = -8,
    NPP_SIZE_ERROR = -6,
    NPP_STEP_ERROR = -14,
    NPP_NO_ERROR = 0,
    NPP_SUCCESS = NPP_NO_ERROR,
} NppStatus;

// NV12 (luma plane, interleaved U, V plane) to packed R, G, B.
NppStatus nppiNV12ToRGB_8u_P2C3R(const Npp8u* const pSrc[2], int rSrcStep, Npp8u* pDst, int nDstStep,
                                 NppiSize oSizeROI);

#ifdef __cplusplus
}
#endif
