// NPP colour conversion in host memory, on libyuv's SIMD code with the same
// BT.601 matrix as the host-memory frame path.

#include <libyuv/convert_argb.h>

#include <mutex>

#include "CudaHost/Control.h"
#include "nppi_color_conversion.h"

namespace {

std::mutex failureMutex;
int failCount = 0;
int failStatus = 0;

}  // namespace

namespace CudaHost {

void FailNextNpp(int count, int status)
{
    std::lock_guard<std::mutex> lock(failureMutex);
    failCount = count;
    failStatus = status;
}

}  // namespace CudaHost

extern "C" NppStatus nppiNV12ToRGB_8u_P2C3R(const Npp8u* const pSrc[2], int rSrcStep, Npp8u* pDst, int nDstStep,
                                            NppiSize oSizeROI)
{
    {
        std::lock_guard<std::mutex> lock(failureMutex);
        if (failCount > 0) {
            --failCount;
            return static_cast<NppStatus>(failStatus);
        }
    }
    if (pSrc == nullptr || pSrc[0] == nullptr || pSrc[1] == nullptr || pDst == nullptr) return NPP_NULL_POINTER_ERROR;
    if (oSizeROI.width <= 0 || oSizeROI.height <= 0) return NPP_SIZE_ERROR;
    if (rSrcStep < oSizeROI.width || nDstStep < oSizeROI.width * 3) return NPP_STEP_ERROR;
    // libyuv's "RAW" is R, G, B in memory.
    libyuv::NV12ToRAW(pSrc[0], rSrcStep, pSrc[1], rSrcStep, pDst, nDstStep, oSizeROI.width, oSizeROI.height);
    return NPP_SUCCESS;
}
