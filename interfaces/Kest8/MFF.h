#pragma once
// Host media frames.

#include "Kest8/Contract.h"

namespace Kest8::MFF {

// A frame sample as the host hands it to a detector. The detector releases
// it exactly once when done with it.
class ISample : public IContract {
public:
    virtual uint64_t GetTimestamp() const = 0;
    virtual void Release() = 0;
};

class IVideoBuffer : public ISample {
public:
    virtual uint32_t GetWidth() const = 0;
    virtual uint32_t GetHeight() const = 0;
};

// Planar YUV picture in host memory. GetPlaneU is null without chroma.
class IPlanarBuffer : public IVideoBuffer {
public:
    virtual const uint8_t* GetPlaneY() const = 0;
    virtual const uint8_t* GetPlaneU() const = 0;
    virtual const uint8_t* GetPlaneV() const = 0;
    virtual uint32_t GetSizeU() const = 0;  // bytes of the U plane
    virtual uint32_t GetPitchY() const = 0;
    virtual uint32_t GetPitchU() const = 0;
    virtual uint32_t GetPitchV() const = 0;
};

// NV12 picture in GPU memory: luma plane at GetData, interleaved chroma
// GetHeight rows after it, both with GetPitch.
class ICompositeBuffer2 : public IVideoBuffer {
public:
    virtual void* GetData() const = 0;
    virtual uint32_t GetPitch() const = 0;
};

class IBlobFrameFactory : public IContract {
public:
    virtual ISample* CreateBlobFrame(const void* data, uint32_t size, uint64_t timestamp) = 0;
};

}  // namespace Kest8::MFF
