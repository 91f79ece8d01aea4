#include "common/text_scan.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace varn {

namespace {

// Length of the ASCII run at p[0..n).
inline size_t ascii_run(const uint8_t* p, size_t n) {
    size_t i = 0;
#if defined(__SSE2__)
    for (; i + 32 <= n; i += 32) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16));
        const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(a, b)));
        if (m != 0) break;
    }
    for (; i + 16 <= n; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(a));
        if (m != 0) return i + static_cast<size_t>(__builtin_ctz(m));
    }
#else
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (w & 0x8080808080808080ULL) break;
    }
#endif
    while (i < n && p[i] < 0x80) ++i;
    return i;
}

}  // namespace

size_t utf8_scan(const uint8_t* p, size_t n) {
    size_t i = 0;
    while (i < n) {
        if (p[i] < 0x80) {
            i += ascii_run(p + i, n - i);
            continue;
        }
        // One multi-byte character; text that is not ASCII tends to stay
        // so, hence the inner loop before going back to the block scan.
        do {
            const uint8_t b = p[i];
            if (b < 0x80) {
                ++i;
                continue;
            }
            const size_t left = n - i;
            if (b >= 0xC2 && b <= 0xDF) {
                if (left < 2 || (p[i + 1] & 0xC0) != 0x80) return i;
                i += 2;
            } else if (b >= 0xE0 && b <= 0xEF) {
                if (left < 3 || (p[i + 1] & 0xC0) != 0x80 || (p[i + 2] & 0xC0) != 0x80) return i;
                if (b == 0xE0 && p[i + 1] < 0xA0) return i;  // overlong
                if (b == 0xED && p[i + 1] > 0x9F) return i;  // surrogate
                i += 3;
            } else if (b >= 0xF0 && b <= 0xF4) {
                if (left < 4 || (p[i + 1] & 0xC0) != 0x80 || (p[i + 2] & 0xC0) != 0x80 ||
                    (p[i + 3] & 0xC0) != 0x80)
                    return i;
                if (b == 0xF0 && p[i + 1] < 0x90) return i;  // overlong
                if (b == 0xF4 && p[i + 1] > 0x8F) return i;  // above U+10FFFF
                i += 4;
            } else {
                return i;
            }
        } while (i < n && (p[i] >= 0x80 || (i + 1 < n && p[i + 1] >= 0x80)));
    }
    return n;
}

}  // namespace varn
