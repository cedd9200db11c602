#pragma once
// Frame samples as the host delivers them: planar YUV in host memory and
// NV12 in device memory, each counting its Release calls.

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "Kest8/MFF.h"

namespace RefHost {

enum class PlanarLayout { I420, I422, I444, Gray };

struct SampleShape {
    uint32_t width = 0;
    uint32_t height = 0;
    uint64_t timestamp = 0;
    bool planar = true;  // offers Kest8::MFF::IPlanarBuffer
    PlanarLayout layout = PlanarLayout::I420;
    uint32_t pitchPadding = 0;  // extra bytes at the end of every plane row
    bool nv12 = false;          // offers Kest8::MFF::ICompositeBuffer2 in device memory
    uint32_t nv12PitchPadding = 0;
};

class FrameSample final : public Kest8::MFF::IPlanarBuffer, public Kest8::MFF::ICompositeBuffer2 {
public:
    // A black picture. Throws std::bad_alloc when device memory is refused.
    explicit FrameSample(const SampleShape& shape);
    // The picture of R, G, B pixels, rows packed, in every offered form.
    static std::unique_ptr<FrameSample> FromRgb(const SampleShape& shape, const uint8_t* rgb);
    ~FrameSample() override;
    FrameSample(const FrameSample&) = delete;
    FrameSample& operator=(const FrameSample&) = delete;

    const Kest8::IContract* QueryContract(const char* typeName) const override;
    Kest8::IContract* QueryContract(const char* typeName) override;

    uint64_t GetTimestamp() const override { return m_shape.timestamp; }
    void Release() override { ++m_releases; }
    uint32_t GetWidth() const override { return m_shape.width; }
    uint32_t GetHeight() const override { return m_shape.height; }

    const uint8_t* GetPlaneY() const override { return m_y.data(); }
    const uint8_t* GetPlaneU() const override { return m_u.empty() ? nullptr : m_u.data(); }
    const uint8_t* GetPlaneV() const override { return m_v.empty() ? nullptr : m_v.data(); }
    uint32_t GetSizeU() const override { return m_sizeU; }
    uint32_t GetPitchY() const override { return m_pitchY; }
    uint32_t GetPitchU() const override { return m_pitchU; }
    uint32_t GetPitchV() const override { return m_pitchC; }

    void* GetData() const override { return m_device; }
    uint32_t GetPitch() const override { return m_nv12Pitch; }

    // The sample's views; Sample() is the one a host hands to Receive.
    Kest8::MFF::IPlanarBuffer* Planar() { return this; }
    Kest8::MFF::ICompositeBuffer2* Composite() { return this; }
    Kest8::MFF::ISample* Sample()
    {
        return m_shape.planar ? static_cast<Kest8::MFF::ISample*>(Planar())
                              : static_cast<Kest8::MFF::ISample*>(Composite());
    }

    int Releases() const { return m_releases.load(); }
    size_t LumaBytes() const { return m_y.size(); }
    void SetTimestamp(uint64_t timestamp) { m_shape.timestamp = timestamp; }

    // For samples that misreport their planes.
    void ReportSizeU(uint32_t size) { m_sizeU = size; }
    void ReportPitchU(uint32_t pitch) { m_pitchU = pitch; }

private:
    SampleShape m_shape;
    std::atomic<int> m_releases{0};
    std::vector<uint8_t> m_y, m_u, m_v;
    uint32_t m_pitchY = 0, m_pitchC = 0, m_pitchU = 0, m_sizeU = 0;
    void* m_device = nullptr;
    uint32_t m_nv12Pitch = 0;
    uint32_t m_deviceSize = 0;
};

}  // namespace RefHost
