#include "conversion/text_scan.h"

namespace varn {

bool utf8_valid(const uint8_t* p, size_t n) {
    const uint8_t* end = p + n;
    while (p < end) {
        // Eight ASCII bytes at a time.
        while (static_cast<size_t>(end - p) >= 8) {
            uint64_t w;
            std::memcpy(&w, p, 8);
            if (w & 0x8080808080808080ULL) break;
            p += 8;
        }
        if (p >= end) break;
        uint8_t b = *p;
        if (b < 0x80) {
            ++p;
            continue;
        }
        size_t left = static_cast<size_t>(end - p);
        if (b >= 0xC2 && b <= 0xDF) {
            if (left < 2 || (p[1] & 0xC0) != 0x80) return false;
            p += 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            if (left < 3 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80) return false;
            if (b == 0xE0 && p[1] < 0xA0) return false;  // overlong
            if (b == 0xED && p[1] > 0x9F) return false;  // surrogate
            p += 3;
        } else if (b >= 0xF0 && b <= 0xF4) {
            if (left < 4 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80 ||
                (p[3] & 0xC0) != 0x80)
                return false;
            if (b == 0xF0 && p[1] < 0x90) return false;  // overlong
            if (b == 0xF4 && p[1] > 0x8F) return false;  // above U+10FFFF
            p += 4;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace varn
