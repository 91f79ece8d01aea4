#include "common/json_string.h"

#include <cstdint>

#include "common/text_scan.h"

namespace varn {

namespace {

void append_u00(uint8_t b, std::string& out) {
    static const char kHex[] = "0123456789abcdef";
    out += "\\u00";
    out += kHex[b >> 4];
    out += kHex[b & 15];
}

}  // namespace

void append_json_string(std::string_view text, std::string& out, JsonComma comma) {
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = text.size();
    out += '"';
    for (size_t i = 0; i < n;) {
        const uint8_t b = p[i];
        if (b >= 0x80) {
            // Copy one well-formed UTF-8 sequence, or escape the lone byte.
            const size_t len = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
            if (len > 1 && i + len <= n && utf8_valid(p + i, len)) {
                out.append(text.data() + i, len);
                i += len;
            } else {
                append_u00(b, out);
                ++i;
            }
            continue;
        }
        switch (b) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (b < 0x20 || (b == ',' && comma == JsonComma::kEscape))
                    append_u00(b, out);
                else
                    out += static_cast<char>(b);
        }
        ++i;
    }
    out += '"';
}

}  // namespace varn
