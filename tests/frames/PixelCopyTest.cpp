// Whole-picture copies: the streamed copy gives the bytes an ordinary copy
// gives, at every alignment, and writes nothing outside its destination.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "PixelCopy/PixelCopy.h"
#include "cuda_runtime_api.h"

namespace {

constexpr uint8_t kGuard = 0xA5;
constexpr size_t kMargin = 64;

std::vector<uint8_t> Noise(size_t size)
{
    std::vector<uint8_t> bytes(size);
    uint32_t x = 2463534242u;
    for (uint8_t& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x >> 11);
    }
    return bytes;
}

using Copy = void (*)(void*, const void*, size_t);

// Copies `size` bytes from `srcOffset` into a guarded buffer at `dstOffset`
// and reports the first byte that differs from what memcpy would give.
::testing::AssertionResult CopiesLikeMemcpy(Copy copy, size_t size, size_t dstOffset, size_t srcOffset)
{
    const std::vector<uint8_t> source = Noise(size + srcOffset);
    // 64-byte aligned storage, so the offsets are the addresses' alignments.
    std::vector<uint8_t> storage(size + dstOffset + 2 * kMargin + 64, kGuard);
    const auto base = reinterpret_cast<uintptr_t>(storage.data());
    uint8_t* aligned = storage.data() + ((64 - (base & 63)) & 63);
    uint8_t* dst = aligned + kMargin + dstOffset;
    copy(dst, source.data() + srcOffset, size);
    for (size_t i = 0; i < size; ++i)
        if (dst[i] != source[srcOffset + i])
            return ::testing::AssertionFailure() << "byte " << i << " of " << size << " differs (dst offset "
                                                 << dstOffset << ", src offset " << srcOffset << ")";
    for (uint8_t* p = storage.data(); p < dst; ++p)
        if (*p != kGuard) return ::testing::AssertionFailure() << "written " << (dst - p) << " bytes before the copy";
    for (uint8_t* p = dst + size; p < storage.data() + storage.size(); ++p)
        if (*p != kGuard)
            return ::testing::AssertionFailure() << "written " << (p - dst - size) << " bytes past the copy";
    return ::testing::AssertionSuccess();
}

TEST(PixelCopy, StreamedCopyMatchesMemcpyForEverySmallSizeAndAlignment)
{
    for (size_t size = 0; size <= 300; ++size)
        for (size_t dstOffset = 0; dstOffset < 16; ++dstOffset)
            for (size_t srcOffset : {0, 1, 3, 8})
                ASSERT_TRUE(CopiesLikeMemcpy(qel::StreamingCopy, size, dstOffset, srcOffset));
}

TEST(PixelCopy, PictureCopyMatchesMemcpyAroundTheThreshold)
{
    constexpr size_t t = qel::kStreamingCopyThreshold;
    for (size_t size : {t - 1, t, t + 1, t + 15, t + 63, t + 64, t + 79, size_t{1920} * 1080 * 3 + 5})
        for (size_t dstOffset : {0, 1, 15, 16, 63})
            ASSERT_TRUE(CopiesLikeMemcpy(qel::CopyPicture, size, dstOffset, dstOffset % 7));
}

// The stand-in device copies with the same routine; ranges that overlap
// (only host to host can) are still copied as memmove would.
TEST(PixelCopy, DeviceToHostCopiesEveryByteAndHostToHostMayOverlap)
{
    const size_t size = qel::kStreamingCopyThreshold + 33;
    const std::vector<uint8_t> picture = Noise(size);
    void* device = nullptr;
    ASSERT_EQ(cudaMalloc(&device, size), cudaSuccess);
    ASSERT_EQ(cudaMemcpy(device, picture.data(), size, cudaMemcpyHostToDevice), cudaSuccess);
    std::vector<uint8_t> host(size + 1, kGuard);
    ASSERT_EQ(cudaMemcpy(host.data() + 1, device, size, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(host[0], kGuard);
    EXPECT_EQ(std::memcmp(host.data() + 1, picture.data(), size), 0);
    EXPECT_EQ(cudaFree(device), cudaSuccess);

    std::vector<uint8_t> overlapping = Noise(size + 100);
    std::vector<uint8_t> expected = overlapping;
    std::memmove(expected.data() + 100, expected.data(), size);
    ASSERT_EQ(cudaMemcpy(overlapping.data() + 100, overlapping.data(), size, cudaMemcpyHostToHost), cudaSuccess);
    EXPECT_EQ(overlapping, expected);
    std::memmove(expected.data(), expected.data() + 100, size);
    ASSERT_EQ(cudaMemcpy(overlapping.data(), overlapping.data() + 100, size, cudaMemcpyHostToHost), cudaSuccess);
    EXPECT_EQ(overlapping, expected);
}

}  // namespace
