#include <sys/mman.h>

#include <atomic>
#include <memory>
#include <new>
#include <utility>

#include "PixelCopy/PixelCopy.h"
#include "fsdk/Image.h"

namespace fsdk {

// Pixels shared by the copies of an image: the count and the pixels in one
// block, the pixels left unset for whoever fills them.
struct alignas(64) Image::Storage {
    std::atomic<int32_t> refs{1};
    size_t size = 0;

    uint8_t* pixels() noexcept { return reinterpret_cast<uint8_t*>(this + 1); }

    static Storage* Create(size_t size)
    {
        if (Storage* reused = Take(size)) {
            reused->refs.store(1, std::memory_order_relaxed);
            return reused;
        }
        // A new page costs a fault, and the kernel's bookkeeping of it far
        // more than the zeroing: a new 1080p picture in 4 KiB pages costs 3
        // to 4 ms, in 2 MiB pages about 0.4 (frame_path_bench FreshPicture;
        // 0.2 to copy into a block in use). Streams that fall behind make
        // such pictures by the hundred. A large block's last page is whole
        // unless that wastes more than an eighth of it; where the kernel
        // gives large pages only when asked, this asks.
        const size_t bytes = sizeof(Storage) + size;
        const size_t whole = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        const size_t length = bytes >= kHugePage && whole - bytes <= bytes / 8 ? whole : bytes;
        void* block = ::operator new(length, Alignment(size));
        if (length >= kHugePage)
            madvise(block, length / kHugePage * kHugePage, MADV_HUGEPAGE);  // a hint: refused, nothing is lost
        Storage* storage = new (block) Storage;
        storage->size = size;
        return storage;
    }
    static void Release(Storage* storage) noexcept
    {
        if (!Keep(storage)) Destroy(storage);
    }

private:
    // Blocks wait for the next picture of their size: a stream's frames are
    // all alike, and glibc may give a large frame's block back to the kernel
    // when it is freed, so that the next one costs page faults and the
    // zeroing of every page. That pays for large frames only (stream_bench:
    // at 1920x1080 about 500 page faults and 30 to 50 % more CPU a frame
    // without; at 640x360 no difference). A server runs many streams
    // whose frames are in flight at once, so the waiting blocks are bounded
    // by the memory they hold rather than by a handful of slots: enough for
    // the frames that twelve busy 1080p streams hold when they fall behind
    // and fill their buffers (20 frames each, 1.5 GB). Blocks made anew
    // cost page faults that push the streams further behind: at 384 MiB
    // they were made by the thousand in every run (capacity_bench), and
    // 1 GiB is less than such a backlog holds. Only blocks once
    // in use wait, so memory never waits beyond what was in flight at once.
    // Each slot owns what it holds; blocks move by exchange.
    static constexpr size_t kSlots = 512;
    static constexpr size_t kLargestKept = size_t{64} << 20;
    static constexpr size_t kMostIdleBytes = size_t{2} << 30;
    static std::atomic<Storage*> slots[kSlots];
    static std::atomic<size_t> idleBytes;

    static constexpr size_t kHugePage = size_t{2} << 20;
    static std::align_val_t Alignment(size_t size) noexcept
    {
        return std::align_val_t{sizeof(Storage) + size < kHugePage ? alignof(Storage) : kHugePage};
    }

    static Storage* Take(size_t size) noexcept
    {
        for (std::atomic<Storage*>& slot : slots) {
            if (slot.load(std::memory_order_relaxed) == nullptr) continue;
            Storage* held = slot.exchange(nullptr, std::memory_order_acquire);
            if (held == nullptr) continue;
            idleBytes.fetch_sub(held->size, std::memory_order_relaxed);
            if (held->size == size) return held;
            if (!Keep(held)) Destroy(held);
        }
        return nullptr;
    }
    static bool Keep(Storage* storage) noexcept
    {
        if (storage->size > kLargestKept) return false;
        if (idleBytes.fetch_add(storage->size, std::memory_order_relaxed) + storage->size > kMostIdleBytes) {
            idleBytes.fetch_sub(storage->size, std::memory_order_relaxed);
            return false;
        }
        for (std::atomic<Storage*>& slot : slots) {
            if (slot.load(std::memory_order_relaxed) != nullptr) continue;
            Storage* empty = nullptr;
            if (slot.compare_exchange_strong(empty, storage, std::memory_order_release, std::memory_order_relaxed))
                return true;
        }
        idleBytes.fetch_sub(storage->size, std::memory_order_relaxed);
        return false;
    }
    static void Destroy(Storage* storage) noexcept
    {
        const std::align_val_t alignment = Alignment(storage->size);
        storage->~Storage();
        ::operator delete(storage, alignment);
    }
};

std::atomic<Image::Storage*> Image::Storage::slots[Image::Storage::kSlots] = {};
std::atomic<size_t> Image::Storage::idleBytes{0};

namespace {

int BytesPerPixel(Format format) noexcept
{
    switch (format) {
    case Format::B8G8R8X8:
    case Format::R8G8B8X8: return 4;
    case Format::B8G8R8:
    case Format::R8G8B8: return 3;
    case Format::R8: return 1;
    default: return 0;
    }
}

// Bytes of a picture, 0 for a senseless size; throws for one no memory holds.
size_t PictureSize(int width, int height, Format format)
{
    const int bpp = BytesPerPixel(format);
    if (width <= 0 || height <= 0 || bpp == 0) return 0;
    const uint64_t size = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * static_cast<uint64_t>(bpp);
    if (size > (uint64_t{1} << 40)) throw std::bad_alloc();
    return static_cast<size_t>(size);
}

}  // namespace

Image::Image() noexcept = default;

Image::Image(int width, int height, Format format, MemoryResidence residence, int deviceId)
{
    const size_t size = PictureSize(width, height, format);
    if (size == 0) return;
    m_storage = Storage::Create(size);
    m_data = m_storage->pixels();
    m_width = width;
    m_height = height;
    m_format = format;
    m_residence = residence;
    m_deviceId = deviceId;
}

Image::Image(int width, int height, Format format, const void* data, bool copy, MemoryResidence residence, int deviceId)
{
    const size_t size = PictureSize(width, height, format);
    if (size == 0 || data == nullptr) return;
    if (copy) {
        m_storage = Storage::Create(size);
        qel::CopyPicture(m_storage->pixels(), data, size);
        m_data = m_storage->pixels();
    } else {
        m_data = static_cast<uint8_t*>(const_cast<void*>(data));
    }
    m_width = width;
    m_height = height;
    m_format = format;
    m_residence = residence;
    m_deviceId = deviceId;
}

Image::Image(const Image& other) noexcept
    : m_storage(other.m_storage),
      m_data(other.m_data),
      m_width(other.m_width),
      m_height(other.m_height),
      m_format(other.m_format),
      m_residence(other.m_residence),
      m_deviceId(other.m_deviceId)
{
    if (m_storage) m_storage->refs.fetch_add(1, std::memory_order_relaxed);
}

Image::Image(Image&& other) noexcept
    : m_storage(std::exchange(other.m_storage, nullptr)),
      m_data(std::exchange(other.m_data, nullptr)),
      m_width(std::exchange(other.m_width, 0)),
      m_height(std::exchange(other.m_height, 0)),
      m_format(std::exchange(other.m_format, Format::Unknown)),
      m_residence(other.m_residence),
      m_deviceId(other.m_deviceId)
{
}

Image& Image::operator=(const Image& other) noexcept
{
    if (this != &other) {
        Image copy(other);
        *this = std::move(copy);
    }
    return *this;
}

Image& Image::operator=(Image&& other) noexcept
{
    if (this != &other) {
        Image taken(std::move(other));
        std::swap(m_storage, taken.m_storage);
        std::swap(m_data, taken.m_data);
        std::swap(m_width, taken.m_width);
        std::swap(m_height, taken.m_height);
        std::swap(m_format, taken.m_format);
        std::swap(m_residence, taken.m_residence);
        std::swap(m_deviceId, taken.m_deviceId);
    }
    return *this;
}

Image::~Image()
{
    if (m_storage && m_storage->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) Storage::Release(m_storage);
    m_storage = nullptr;
    m_data = nullptr;
}

bool Image::isValid() const noexcept
{
    return m_data != nullptr && m_width > 0 && m_height > 0;
}

int Image::getBytesPerPixel() const noexcept
{
    return BytesPerPixel(m_format);
}

int64_t Image::getRowSize() const noexcept
{
    return int64_t{m_width} * getBytesPerPixel();
}

int64_t Image::getDataSize() const noexcept
{
    return getRowSize() * m_height;
}

Image Image::clone() const
{
    if (!isValid()) return Image();
    return Image(m_width, m_height, m_format, m_data, true, m_residence, m_deviceId);
}

Image Image::ownedCopy() const
{
    if (m_storage == nullptr) return clone();
    return *this;
}

}  // namespace fsdk
