// Byte strings as hex text in the tests: expected bytes are written as
// "0A FF 10" (or "0aff10", as published cipher vectors are) and compared as
// to_hex() text so that a failure shows both sides readably.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "common/bytes.h"

namespace varn {

// Pairs of hex digits in either case; spaces between bytes are skipped.
inline Bytes from_hex(std::string_view text) {
    auto digit = [&](char c) -> uint8_t {
        if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
        if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
        if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
        throw std::invalid_argument("not hex text: " + std::string(text));
    };
    Bytes out;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        if (i + 1 >= text.size()) throw std::invalid_argument("odd number of hex digits: " + std::string(text));
        out.push_back(static_cast<uint8_t>(digit(text[i]) << 4 | digit(text[i + 1])));
        i += 2;
    }
    return out;
}

// Upper case, one space between bytes: "0A FF 10".
inline std::string to_hex(ByteView bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i) s += ' ';
        s += kDigits[bytes[i] >> 4];
        s += kDigits[bytes[i] & 15];
    }
    return s;
}

// The same text for hex written either way, for comparing with to_hex().
inline std::string normal_hex(std::string_view text) { return to_hex(from_hex(text)); }

}  // namespace varn
