#include "common/text_scan.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VARN_UTF8_SSSE3 1
#include <tmmintrin.h>
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

#if defined(VARN_UTF8_SSSE3)

namespace {

// Each byte is checked against the one, two and three bytes before it. The
// first byte before it (high and low nibble) and the byte's own high nibble
// each select, through a 16-entry table, the set of faults that pair could
// show; a fault is real when all three tables name it. Two continuation
// bytes in a row are a fault (0x80) unless the byte is the third or fourth
// of a character, which the bytes two and three back tell.
constexpr uint8_t kTooShort = 1 << 0;   // lead byte, then no continuation
constexpr uint8_t kTooLong = 1 << 1;    // continuation after an ASCII byte
constexpr uint8_t kOverlong3 = 1 << 2;  // E0 80..9F
constexpr uint8_t kTooLarge = 1 << 3;   // F4 90..BF, F5..FF
constexpr uint8_t kSurrogate = 1 << 4;  // ED A0..BF
constexpr uint8_t kOverlong2 = 1 << 5;  // C0, C1
constexpr uint8_t kTooLarge1000 = 1 << 6;  // F5..FF 80..8F
constexpr uint8_t kOverlong4 = 1 << 6;  // F0 80..8F
constexpr uint8_t kTwoConts = 1 << 7;   // continuation after continuation
constexpr uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

__attribute__((target("ssse3"))) inline __m128i table(uint8_t a0, uint8_t a1, uint8_t a2, uint8_t a3,
                                                    uint8_t a4, uint8_t a5, uint8_t a6, uint8_t a7,
                                                    uint8_t a8, uint8_t a9, uint8_t a10, uint8_t a11,
                                                    uint8_t a12, uint8_t a13, uint8_t a14, uint8_t a15) {
    return _mm_setr_epi8(static_cast<char>(a0), static_cast<char>(a1), static_cast<char>(a2),
                         static_cast<char>(a3), static_cast<char>(a4), static_cast<char>(a5),
                         static_cast<char>(a6), static_cast<char>(a7), static_cast<char>(a8),
                         static_cast<char>(a9), static_cast<char>(a10), static_cast<char>(a11),
                         static_cast<char>(a12), static_cast<char>(a13), static_cast<char>(a14),
                         static_cast<char>(a15));
}

struct Utf8Tables {
    __m128i first_high, first_low, second_high;
};

__attribute__((target("ssse3"))) Utf8Tables utf8_tables() {
    Utf8Tables t;
    t.first_high =
        table(kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,  // 0___
              kTwoConts, kTwoConts, kTwoConts, kTwoConts,                                      // 10__
              kTooShort | kOverlong2,                                                          // 1100
              kTooShort,                                                                       // 1101
              kTooShort | kOverlong3 | kSurrogate,                                             // 1110
              kTooShort | kTooLarge | kTooLarge1000 | kOverlong4);                             // 1111
    constexpr uint8_t kBig = kCarry | kTooLarge | kTooLarge1000;
    t.first_low = table(kCarry | kOverlong3 | kOverlong2 | kOverlong4,  // ____0000
                        kCarry | kOverlong2,                             // ____0001
                        kCarry, kCarry,                                  // ____001_
                        kCarry | kTooLarge,                              // ____0100
                        kBig, kBig, kBig,                                // ____0101 .. 0111
                        kBig, kBig, kBig, kBig, kBig,                    // ____1000 .. 1100
                        kBig | kSurrogate,                               // ____1101
                        kBig, kBig);
    constexpr uint8_t kCont = kTooLong | kOverlong2 | kTwoConts;
    t.second_high =
        table(kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,  // 0___
              kCont | kOverlong3 | kTooLarge1000 | kOverlong4,  // 1000
              kCont | kOverlong3 | kTooLarge,                   // 1001
              kCont | kSurrogate | kTooLarge,                   // 1010
              kCont | kSurrogate | kTooLarge,                   // 1011
              kTooShort, kTooShort, kTooShort, kTooShort);      // 11__
    return t;
}

// One block of 16 bytes after `prev`; faults gather in `error`. No branch
// on ASCII blocks: text that mixes scripts would mispredict it.
__attribute__((target("ssse3"))) inline void utf8_step(const Utf8Tables& t, __m128i in, __m128i& prev,
                                                       __m128i& error) {
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i prev1 = _mm_alignr_epi8(in, prev, 15);
    const __m128i hi1 = _mm_shuffle_epi8(t.first_high, _mm_and_si128(_mm_srli_epi16(prev1, 4), nibble));
    const __m128i lo1 = _mm_shuffle_epi8(t.first_low, _mm_and_si128(prev1, nibble));
    const __m128i hi2 = _mm_shuffle_epi8(t.second_high, _mm_and_si128(_mm_srli_epi16(in, 4), nibble));
    const __m128i found = _mm_and_si128(_mm_and_si128(hi1, lo1), hi2);
    const __m128i third = _mm_subs_epu8(_mm_alignr_epi8(in, prev, 14), _mm_set1_epi8(0xE0 - 0x80));
    const __m128i fourth = _mm_subs_epu8(_mm_alignr_epi8(in, prev, 13), _mm_set1_epi8(0xF0 - 0x80));
    const __m128i must_cont = _mm_and_si128(_mm_or_si128(third, fourth), _mm_set1_epi8(-128));
    error = _mm_or_si128(error, _mm_xor_si128(must_cont, found));
    prev = in;
}

__attribute__((target("ssse3"))) bool utf8_valid_ssse3(const uint8_t* p, size_t n) {
    const Utf8Tables t = utf8_tables();
    const __m128i zero = _mm_setzero_si128();
    // Set where the last block checked begins a character it does not finish.
    const __m128i last_max = table(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                   0xF0 - 1, 0xE0 - 1, 0xC0 - 1);
    __m128i prev = zero, error = zero;
    size_t i = 0;
    // 64 bytes at a time: all ASCII, they need no check but that the bytes
    // before them finished their character; else all four blocks are
    // checked, with no branch per block (text of one script rarely changes
    // between ASCII and not within 64 bytes).
    for (; i + 64 <= n; i += 64) {
        const auto* q = reinterpret_cast<const __m128i*>(p + i);
        const __m128i a = _mm_loadu_si128(q), b = _mm_loadu_si128(q + 1), c = _mm_loadu_si128(q + 2),
                      d = _mm_loadu_si128(q + 3);
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) == 0) {
            error = _mm_or_si128(error, _mm_subs_epu8(prev, last_max));
            prev = d;
            continue;
        }
        utf8_step(t, a, prev, error);
        utf8_step(t, b, prev, error);
        utf8_step(t, c, prev, error);
        utf8_step(t, d, prev, error);
    }
    for (; i + 16 <= n; i += 16) utf8_step(t, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)), prev, error);
    // The rest, padded with zeros (ASCII): then a character cut at the end
    // is followed by ASCII, which the step flags. Always one such block.
    uint8_t last[16] = {};
    if (n > i) std::memcpy(last, p + i, n - i);
    utf8_step(t, _mm_loadu_si128(reinterpret_cast<const __m128i*>(last)), prev, error);
    return _mm_movemask_epi8(_mm_cmpeq_epi8(error, zero)) == 0xFFFF;
}

}  // namespace

bool utf8_valid_long(const uint8_t* p, size_t n) {
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    return ssse3 ? utf8_valid_ssse3(p, n) : utf8_scan(p, n) == n;
}

#else

bool utf8_valid_long(const uint8_t* p, size_t n) { return utf8_scan(p, n) == n; }

#endif

}  // namespace varn
