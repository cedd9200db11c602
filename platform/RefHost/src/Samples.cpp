#include "RefHost/Samples.h"

#include "RefHost/Contract.h"

#include <libyuv/convert_argb.h>
#include <libyuv/convert_from_argb.h>

#include <new>
#include <stdexcept>

#include "RefHost/Contract.h"
#include "cuda_runtime_api.h"

namespace RefHost {

namespace {

struct ChromaSize {
    uint32_t width;
    uint32_t height;
};

ChromaSize ChromaOf(PlanarLayout layout, uint32_t width, uint32_t height)
{
    switch (layout) {
    case PlanarLayout::I420: return {(width + 1) / 2, (height + 1) / 2};
    case PlanarLayout::I422: return {(width + 1) / 2, height};
    case PlanarLayout::I444: return {width, height};
    case PlanarLayout::Gray: break;
    }
    return {0, 0};
}

}  // namespace

FrameSample::FrameSample(const SampleShape& shape) : m_shape(shape)
{
    if (shape.planar) {
        m_pitchY = shape.width + shape.pitchPadding;
        m_y.assign(static_cast<size_t>(m_pitchY) * shape.height, 16);
        const ChromaSize c = ChromaOf(shape.layout, shape.width, shape.height);
        if (c.width != 0) {
            m_pitchC = m_pitchU = c.width + shape.pitchPadding;
            m_u.assign(static_cast<size_t>(m_pitchC) * c.height, 128);
            m_v.assign(m_u.size(), 128);
            m_sizeU = static_cast<uint32_t>(m_u.size());
        }
    }
    if (shape.nv12) {
        m_nv12Pitch = shape.width + (shape.width & 1) + shape.nv12PitchPadding;
        const size_t rows = shape.height + (shape.height + 1) / 2;
        m_deviceSize = static_cast<uint32_t>(m_nv12Pitch * rows);
        if (cudaMalloc(&m_device, m_deviceSize) != cudaSuccess) throw std::bad_alloc();
        std::vector<uint8_t> black(m_deviceSize, 16);
        std::fill(black.begin() + static_cast<std::ptrdiff_t>(m_nv12Pitch) * shape.height, black.end(), 128);
        cudaMemcpy(m_device, black.data(), black.size(), cudaMemcpyHostToDevice);
    }
}

FrameSample::~FrameSample()
{
    if (m_device) cudaFree(m_device);
}

std::unique_ptr<FrameSample> FrameSample::FromRgb(const SampleShape& shape, const uint8_t* rgb)
{
    auto sample = std::make_unique<FrameSample>(shape);
    const int w = static_cast<int>(shape.width);
    const int h = static_cast<int>(shape.height);
    if (w == 0 || h == 0) return sample;
    std::vector<uint8_t> argb(static_cast<size_t>(w) * h * 4);
    // libyuv's "RAW" is R, G, B in memory.
    libyuv::RAWToARGB(rgb, w * 3, argb.data(), w * 4, w, h);

    FrameSample& s = *sample;
    if (shape.planar) {
        const int py = static_cast<int>(s.m_pitchY);
        const int pc = static_cast<int>(s.m_pitchC);
        switch (shape.layout) {
        case PlanarLayout::I420:
            libyuv::ARGBToI420(argb.data(), w * 4, s.m_y.data(), py, s.m_u.data(), pc, s.m_v.data(), pc, w, h);
            break;
        case PlanarLayout::I422:
            libyuv::ARGBToI422(argb.data(), w * 4, s.m_y.data(), py, s.m_u.data(), pc, s.m_v.data(), pc, w, h);
            break;
        case PlanarLayout::I444:
            libyuv::ARGBToI444(argb.data(), w * 4, s.m_y.data(), py, s.m_u.data(), pc, s.m_v.data(), pc, w, h);
            break;
        case PlanarLayout::Gray: libyuv::ARGBToI400(argb.data(), w * 4, s.m_y.data(), py, w, h); break;
        }
    }
    if (shape.nv12) {
        std::vector<uint8_t> nv12(s.m_deviceSize);
        const int pitch = static_cast<int>(s.m_nv12Pitch);
        libyuv::ARGBToNV12(argb.data(), w * 4, nv12.data(), pitch, nv12.data() + static_cast<size_t>(pitch) * h, pitch,
                           w, h);
        cudaMemcpy(s.m_device, nv12.data(), nv12.size(), cudaMemcpyHostToDevice);
    }
    return sample;
}

const Kest8::IContract* FrameSample::QueryContract(const char* typeName) const
{
    return const_cast<FrameSample*>(this)->QueryContract(typeName);
}

Kest8::IContract* FrameSample::QueryContract(const char* typeName)
{
    using namespace Kest8::MFF;
    // A sample is asked only for its two buffer views.
    if (Kest8::IsContract<IPlanarBuffer>(typeName)) return m_shape.planar ? static_cast<IPlanarBuffer*>(this) : nullptr;
    if (Kest8::IsContract<ICompositeBuffer2>(typeName))
        return m_shape.nv12 ? static_cast<ICompositeBuffer2*>(this) : nullptr;
    if (Kest8::IsContract<Kest8::IContract>(typeName)) return Sample();
    NoteContractViolation(typeid(*this), typeName);
    return nullptr;
}

}  // namespace RefHost
