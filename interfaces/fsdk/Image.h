#pragma once

#include <cstdint>

#include "fsdk/Def.h"

namespace fsdk {

// Pixel layouts by code; the wrapper pushes code 4 (R, G, B bytes).
enum class Format : int32_t {
    Unknown = 0,
    B8G8R8X8 = 1,
    R8G8B8X8 = 2,
    B8G8R8 = 3,
    R8G8B8 = 4,
    R8 = 5,
};

// A picture. Copies share the pixels; the pixels go with the last copy.
class FSDK_API Image {
public:
    enum class MemoryResidence : int32_t { MemoryCPU = 0, MemoryGPU = 1 };

    Image() noexcept;
    // With pixels of its own, not initialised: for pictures that are
    // written at once. Throws std::bad_alloc.
    Image(int width, int height, Format format, MemoryResidence residence = MemoryResidence::MemoryCPU,
          int deviceId = 0);
    // Over given pixels (rows packed): copied when `copy`, else referenced.
    Image(int width, int height, Format format, const void* data, bool copy,
          MemoryResidence residence = MemoryResidence::MemoryCPU, int deviceId = 0);
    Image(const Image& other) noexcept;
    Image(Image&& other) noexcept;
    Image& operator=(const Image& other) noexcept;
    Image& operator=(Image&& other) noexcept;
    ~Image();

    bool isValid() const noexcept;
    int getWidth() const noexcept { return m_width; }
    int getHeight() const noexcept { return m_height; }
    Format getFormat() const noexcept { return m_format; }
    MemoryResidence getMemoryResidence() const noexcept { return m_residence; }
    int getDeviceId() const noexcept { return m_deviceId; }
    int getBytesPerPixel() const noexcept;
    int64_t getRowSize() const noexcept;
    int64_t getDataSize() const noexcept;
    void* getData() noexcept { return m_data; }
    const void* getData() const noexcept { return m_data; }
    // A deep copy with pixels of its own.
    Image clone() const;

private:
    // The SDK's own engines keep pushed pictures without copying them twice.
    friend struct ImageAccess;
    // A copy that stays valid on its own: it shares the pixels when they
    // belong to the image's copies, and clones pixels the image only refers to.
    Image ownedCopy() const;

    struct Storage;
    Storage* m_storage = nullptr;
    uint8_t* m_data = nullptr;
    int m_width = 0;
    int m_height = 0;
    Format m_format = Format::Unknown;
    MemoryResidence m_residence = MemoryResidence::MemoryCPU;
    int m_deviceId = 0;
};

}  // namespace fsdk
