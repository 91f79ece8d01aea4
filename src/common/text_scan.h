// Byte-level scanning of CSV text: UTF-8 validation and Unicode White_Space
// trimming, both with an ASCII fast path since CSV dumps are mostly ASCII.
// Validation runs over whole buffers at once (16 bytes per step while the
// text is ASCII) and says where the first bad character starts, so a caller
// can validate many lines in one call and still tell which line is bad.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace varn {

// Offset of the first byte of the first ill-formed sequence in p[0..n), or n
// when all of it is well-formed UTF-8 (no overlongs, surrogates or code
// points above U+10FFFF). The bytes before the offset are whole characters.
size_t utf8_scan(const uint8_t* p, size_t n);

// True when p[0..n) is well-formed UTF-8.
inline bool utf8_valid(const uint8_t* p, size_t n) { return utf8_scan(p, n) == n; }

// The same answer for long buffers of any script: where the processor has
// SSSE3 it checks 16 bytes per step with table lookups whatever the text
// (utf8_scan is fast on ASCII only). Worth its call for buffers of many
// characters; short ones go better through utf8_valid.
bool utf8_valid_long(const uint8_t* p, size_t n);

inline bool ascii_space(uint8_t b) { return b == 0x20 || (b >= 0x09 && b <= 0x0D); }

// Length of the White_Space character starting at p (0 if none). Input is valid UTF-8.
inline size_t space_prefix(const uint8_t* p, const uint8_t* end) {
    uint8_t b = *p;
    if (b < 0x80) return ascii_space(b) ? 1 : 0;
    size_t left = static_cast<size_t>(end - p);
    if (b == 0xC2) return left >= 2 && (p[1] == 0x85 || p[1] == 0xA0) ? 2 : 0;
    if (left < 3) return 0;
    if (b == 0xE1) return p[1] == 0x9A && p[2] == 0x80 ? 3 : 0;
    if (b == 0xE2) {
        if (p[1] == 0x80)
            return (p[2] <= 0x8A || p[2] == 0xA8 || p[2] == 0xA9 || p[2] == 0xAF) ? 3 : 0;
        return p[1] == 0x81 && p[2] == 0x9F ? 3 : 0;
    }
    if (b == 0xE3) return p[1] == 0x80 && p[2] == 0x80 ? 3 : 0;
    return 0;
}

// Length of the White_Space character ending at end (0 if none).
inline size_t space_suffix(const uint8_t* begin, const uint8_t* end) {
    uint8_t b = end[-1];
    if (b < 0x80) return ascii_space(b) ? 1 : 0;
    size_t len = static_cast<size_t>(end - begin);
    if (len >= 2 && end[-2] == 0xC2 && (b == 0x85 || b == 0xA0)) return 2;
    if (len >= 3 && space_prefix(end - 3, end) == 3) return 3;
    return 0;
}

// Trims White_Space from both ends of [*b, *e).
inline void trim_space(const uint8_t*& b, const uint8_t*& e) {
    while (b < e) {
        size_t k = space_prefix(b, e);
        if (!k) break;
        b += k;
    }
    while (b < e) {
        size_t k = space_suffix(b, e);
        if (!k) break;
        e -= k;
    }
}

}  // namespace varn
