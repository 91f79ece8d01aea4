// Folding CRC-32 with carry-less multiplication: four 128-bit lanes take 64
// bytes per step, are folded into one, then reduced to 32 bits with a
// Barrett step. The constants are powers of x modulo the (bit-reflected)
// CRC-32 polynomial: x^(4*128+32) and x^(4*128-32) for the four-lane fold,
// x^(128+32) and x^(128-32) for one lane, x^64 for 64 to 32 bits, then the
// polynomial and its Barrett quotient.
#include "format/file/crc32.h"

#include <zlib.h>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VARN_CRC_CLMUL 1
#endif

namespace varn {

uint32_t crc32_portable(const uint8_t* p, size_t n, uint32_t crc) {
    return static_cast<uint32_t>(::crc32_z(crc, p, n));
}

#if VARN_CRC_CLMUL
namespace {

// One lane times the folding constants, plus the next 16 bytes.
[[gnu::target("pclmul,sse4.1")]] inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

// The running (inverted) CRC state over p[0..n), n >= 64 and a multiple of 16.
[[gnu::target("pclmul,sse4.1")]] uint32_t fold_clmul(const uint8_t* p, size_t n, uint32_t state) {
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
    const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);
    auto load = [](const uint8_t* q) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q)); };

    __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(state)));
    __m128i x2 = load(p + 16), x3 = load(p + 32), x4 = load(p + 48);
    p += 64;
    n -= 64;
    while (n >= 64) {
        x1 = fold(x1, k1k2, load(p));
        x2 = fold(x2, k1k2, load(p + 16));
        x3 = fold(x3, k1k2, load(p + 32));
        x4 = fold(x4, k1k2, load(p + 48));
        p += 64;
        n -= 64;
    }
    x1 = fold(x1, k3k4, x2);
    x1 = fold(x1, k3k4, x3);
    x1 = fold(x1, k3k4, x4);
    while (n >= 16) {
        x1 = fold(x1, k3k4, load(p));
        p += 16;
        n -= 16;
    }
    // 128 bits to 64.
    __m128i x2b = _mm_clmulepi64_si128(x1, k3k4, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2b);
    x2b = _mm_srli_si128(x1, 4);
    x1 = _mm_and_si128(x1, low32);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(x1, k5, 0x00), x2b);
    // Barrett reduction to 32 bits.
    __m128i t = _mm_and_si128(x1, low32);
    t = _mm_clmulepi64_si128(t, poly, 0x10);
    t = _mm_and_si128(t, low32);
    t = _mm_clmulepi64_si128(t, poly, 0x00);
    x1 = _mm_xor_si128(x1, t);
    return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

bool has_clmul() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}

// Below this zlib's tables are as fast and the fold's set-up is not paid back.
constexpr size_t kFoldFrom = 128;

}  // namespace

uint32_t crc32(const uint8_t* p, size_t n, uint32_t crc) {
    static const bool clmul = has_clmul();
    if (n < kFoldFrom || !clmul) return crc32_portable(p, n, crc);
    const size_t bulk = n & ~size_t{15};
    const uint32_t state = fold_clmul(p, bulk, ~crc);
    return crc32_portable(p + bulk, n - bulk, ~state);
}
#else
uint32_t crc32(const uint8_t* p, size_t n, uint32_t crc) { return crc32_portable(p, n, crc); }
#endif

}  // namespace varn
