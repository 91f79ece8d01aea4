// Stored values as field text: the exact inverse of the field parser, so
// that parsing what is written here yields the same stored value again.
#include "render/cell_text.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

#include "common/json_string.h"

namespace varn {

namespace {

void append_double_text(double x, std::string& out) {
    if (!std::isfinite(x)) {
        out += "null";
        return;
    }
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x);
    (void)ec;  // 64 bytes always hold the shortest form
    const size_t n = static_cast<size_t>(end - buf);
    out.append(buf, n);
    if (!std::memchr(buf, '.', n) && !std::memchr(buf, 'e', n)) out += ".0";
}

}  // namespace

void append_int_text(int64_t v, std::string& out) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    (void)ec;
    out.append(buf, static_cast<size_t>(end - buf));
}

void append_scaled_text(int64_t scaled, std::string& out) {
    const bool negative = scaled < 0;
    const uint64_t a = negative ? 0 - static_cast<uint64_t>(scaled) : static_cast<uint64_t>(scaled);
    char buf[32];
    char* p = buf;
    if (negative) *p++ = '-';
    p = std::to_chars(p, buf + sizeof buf, a / 10000).ptr;
    uint64_t frac = a % 10000;
    if (frac) {
        char digits[4];
        for (int i = 3; i >= 0; --i) {
            digits[i] = static_cast<char>('0' + frac % 10);
            frac /= 10;
        }
        int n = 4;
        while (digits[n - 1] == '0') --n;
        *p++ = '.';
        std::memcpy(p, digits, static_cast<size_t>(n));
        p += n;
    }
    out.append(buf, static_cast<size_t>(p - buf));
}

void append_bool_text(bool v, std::string& out) { out += v ? "true" : "false"; }

void append_hex_text(ByteView bytes, std::string& out) {
    static const char kHex[] = "0123456789abcdef";
    const size_t at = out.size();
    out.resize(at + 2 * bytes.size());
    char* p = out.data() + at;
    for (uint8_t b : bytes) {
        *p++ = kHex[b >> 4];
        *p++ = kHex[b & 15];
    }
}

void append_json_text(const KVal& value, std::string& out) {
    // `step` counts members written; a Map takes two steps a pair (key, value).
    struct Frame {
        const KVal* node;
        size_t step;
    };
    std::vector<Frame> stack;
    const KVal* cur = &value;
    for (;;) {
        if (cur) {
            switch (cur->kind()) {
                case KVal::Kind::Null: out += "null"; break;
                case KVal::Kind::Int: append_int_text(std::get<int64_t>(cur->v), out); break;
                case KVal::Kind::Float: append_double_text(std::get<double>(cur->v), out); break;
                case KVal::Kind::Bool: append_bool_text(std::get<bool>(cur->v), out); break;
                case KVal::Kind::Str: {
                    const std::string& s = std::get<std::string>(cur->v);
                    append_json_string(s, out, JsonComma::kEscape);
                    break;
                }
                case KVal::Kind::Bytes: {
                    std::string hex;
                    append_hex_text(as_bytes(std::get<Bytes>(cur->v)), hex);
                    append_json_string(hex, out, JsonComma::kEscape);
                    break;
                }
                case KVal::Kind::Object: out += '{'; stack.push_back({cur, 0}); break;
                case KVal::Kind::Array:
                case KVal::Kind::Map: out += '['; stack.push_back({cur, 0}); break;
            }
            cur = nullptr;
        }
        if (stack.empty()) return;
        Frame& f = stack.back();
        const KVal& node = *f.node;
        switch (node.kind()) {
            case KVal::Kind::Object: {
                const auto& members = std::get<KVal::ObjectT>(node.v);
                if (f.step == members.size()) {
                    out += '}';
                    stack.pop_back();
                    break;
                }
                if (f.step) out += ',';
                const auto& m = members[f.step++];
                append_json_string(m.first, out, JsonComma::kEscape);
                out += ':';
                cur = &m.second;
                break;
            }
            case KVal::Kind::Array: {
                const auto& items = std::get<KVal::ArrayT>(node.v);
                if (f.step == items.size()) {
                    out += ']';
                    stack.pop_back();
                    break;
                }
                if (f.step) out += ',';
                cur = &items[f.step++];
                break;
            }
            default: {  // Map: [[key,value],...]
                const auto& pairs = std::get<KVal::MapT>(node.v);
                const size_t s = f.step++;
                if (s == 2 * pairs.size()) {
                    out += pairs.empty() ? "]" : "]]";
                    stack.pop_back();
                } else if (s % 2 == 0) {
                    out += s ? "],[" : "[";
                    cur = &pairs[s / 2].first;
                } else {
                    out += ',';
                    cur = &pairs[s / 2].second;
                }
                break;
            }
        }
    }
}

}  // namespace varn
