#pragma once
// Copies of whole pictures. A picture larger than a core's cache is written
// around the cache: another thread reads it later, and written through the
// cache it would only push out what the copy reads next. A picture that
// fits the cache is copied the ordinary way, which is faster then.

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qel {

// About one core's L2 cache.
inline constexpr size_t kStreamingCopyThreshold = size_t{1} << 20;

// Copies `size` bytes with stores that bypass the cache where the machine
// has them. The ranges must not overlap.
inline void StreamingCopy(void* dst, const void* src, size_t size) noexcept
{
    if (size == 0) return;  // the pointers may then be null, which memcpy does not allow
#if defined(__SSE2__)
    auto* d = static_cast<uint8_t*>(dst);
    const auto* s = static_cast<const uint8_t*>(src);
    // Streaming stores need a 16-byte aligned destination.
    const size_t head = (16 - (reinterpret_cast<uintptr_t>(d) & 15)) & 15;
    if (size <= head + 64) {
        std::memcpy(d, s, size);
        return;
    }
    std::memcpy(d, s, head);
    d += head;
    s += head;
    size -= head;
    for (; size >= 64; size -= 64, d += 64, s += 64) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 32));
        const __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 48));
        _mm_stream_si128(reinterpret_cast<__m128i*>(d), a);
        _mm_stream_si128(reinterpret_cast<__m128i*>(d + 16), b);
        _mm_stream_si128(reinterpret_cast<__m128i*>(d + 32), c);
        _mm_stream_si128(reinterpret_cast<__m128i*>(d + 48), e);
    }
    // Streamed bytes reach memory before any later store: whoever is told
    // the picture is ready sees all of it.
    _mm_sfence();
    std::memcpy(d, s, size);
#else
    std::memcpy(dst, src, size);
#endif
}

// Copies a picture of `size` bytes; the ranges must not overlap.
inline void CopyPicture(void* dst, const void* src, size_t size) noexcept
{
    if (size > kStreamingCopyThreshold)
        StreamingCopy(dst, src, size);
    else
        std::memcpy(dst, src, size);
}

}  // namespace qel
