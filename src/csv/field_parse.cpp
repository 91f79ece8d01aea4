// Field text <-> typed cells. Parsing is strict (the whole field must match
// the type's grammar) so that a malformed input is reported with its line
// and column rather than stored as 0. Numbers go through locale-independent
// routines (from_chars, strtod_l in the C locale): a conversion never depends
// on the caller's locale. JSON is parsed and written with explicit stacks,
// so neither nesting depth nor hostile input can exhaust the call stack.
#include "csv/field_parse.h"

#include <locale.h>
#include <stdlib.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "format/type_codes.h"

namespace varn {

namespace {

// The field as it appears in a message: quoted, cut after 40 bytes.
std::string shown(ByteView text) {
    constexpr size_t kShown = 40;
    std::string out = "'";
    out.append(reinterpret_cast<const char*>(text.data()), std::min(text.size(), kShown));
    out += text.size() > kShown ? "...'" : "'";
    return out;
}

bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }

int hex_value(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ascii_iequals(ByteView text, const char* lower) {
    size_t n = std::strlen(lower);
    if (text.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        uint8_t c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c - 'A' + 'a');
        if (c != static_cast<uint8_t>(lower[i])) return false;
    }
    return true;
}

// strtod in the C locale over text already checked to be a decimal number.
double c_strtod(ByteView text) {
    static const locale_t c_locale = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    std::string s(reinterpret_cast<const char*>(text.data()), text.size());
    // Without a locale object (out of memory), the process locale: programs
    // that never call setlocale run in the C locale anyway.
    return c_locale ? ::strtod_l(s.c_str(), nullptr, c_locale) : std::strtod(s.c_str(), nullptr);
}

// Length of the decimal number at the start of [p, end): digits with an
// optional fraction, or a fraction alone, then an optional exponent. 0 when
// there is none.
size_t decimal_number_length(const uint8_t* p, const uint8_t* end) {
    const uint8_t* q = p;
    size_t int_digits = 0, frac_digits = 0;
    while (q < end && is_digit(*q)) ++q, ++int_digits;
    if (q < end && *q == '.') {
        ++q;
        while (q < end && is_digit(*q)) ++q, ++frac_digits;
    }
    if (int_digits + frac_digits == 0) return 0;
    if (q < end && (*q == 'e' || *q == 'E')) {
        const uint8_t* e = q + 1;
        if (e < end && (*e == '+' || *e == '-')) ++e;
        if (e == end || !is_digit(*e)) return 0;
        while (e < end && is_digit(*e)) ++e;
        q = e;
    }
    return static_cast<size_t>(q - p);
}

Result<KVal> parse_int_field(ByteView text) {
    const char* b = reinterpret_cast<const char*>(text.data());
    const char* e = b + text.size();
    const char* digits = b;
    if (digits < e && (*digits == '+' || *digits == '-')) ++digits;
    if (digits == e) return Status::invalid_input(shown(text) + " is not an integer");
    for (const char* q = digits; q < e; ++q) {
        if (!is_digit(static_cast<uint8_t>(*q))) return Status::invalid_input(shown(text) + " is not an integer");
    }
    int64_t v = 0;
    // from_chars takes a minus sign but not a plus sign.
    auto [ptr, ec] = std::from_chars(*b == '+' ? b + 1 : b, e, v);
    if (ec == std::errc::result_out_of_range)
        return Status::invalid_input(shown(text) + " is outside the 64-bit integer range");
    if (ec != std::errc() || ptr != e) return Status::invalid_input(shown(text) + " is not an integer");
    return KVal::make_int(v);
}

Result<KVal> parse_float_field(ByteView text) {
    const uint8_t* p = text.data();
    const uint8_t* end = p + text.size();
    if (p < end && (*p == '+' || *p == '-')) ++p;
    if (p == end || decimal_number_length(p, end) != static_cast<size_t>(end - p))
        return Status::invalid_input(shown(text) + " is not a decimal number");
    double x = c_strtod(text);
    if (std::isinf(x)) return Status::invalid_input(shown(text) + " is beyond the range of a double");
    return KVal::make_float(x);
}

Result<KVal> parse_bool_field(ByteView text) {
    if (ascii_iequals(text, "true") || ascii_iequals(text, "1")) return KVal::make_bool(true);
    if (ascii_iequals(text, "false") || ascii_iequals(text, "0")) return KVal::make_bool(false);
    return Status::invalid_input(shown(text) + " is not a boolean (true, false, 1 or 0)");
}

Result<KVal> parse_hex_field(ByteView text) {
    if (text.size() % 2 != 0) return Status::invalid_input(shown(text) + " has an odd number of hex digits");
    Bytes out(text.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        int hi = hex_value(text[2 * i]), lo = hex_value(text[2 * i + 1]);
        if (hi < 0 || lo < 0) return Status::invalid_input(shown(text) + " is not hex digits");
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return KVal::make_bytes(std::move(out));
}

// ---------------------------------------------------------------------------
// JSON.

void put_utf8(uint32_t cp, std::string& out) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

class JsonParser {
public:
    explicit JsonParser(ByteView text) : begin_(text.data()), p_(begin_), end_(begin_ + text.size()) {}

    Result<KVal> parse();

private:
    // One container being filled. For an object, `key` holds the key whose
    // value comes next.
    struct Frame {
        bool object;
        KVal::ArrayT array;
        KVal::ObjectT members;
        std::string key;
    };

    Status fail(const std::string& what) const {
        return Status::invalid_input("invalid JSON at byte " + std::to_string(p_ - begin_) + ": " + what);
    }
    void skip_space() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
    }
    bool literal(const char* word) {
        size_t n = std::strlen(word);
        if (static_cast<size_t>(end_ - p_) < n || std::memcmp(p_, word, n) != 0) return false;
        p_ += n;
        return true;
    }
    Status parse_string(std::string& out);
    Status parse_hex4(uint32_t& v);
    Status parse_number(KVal& out);
    Status parse_key(Frame& f);

    const uint8_t* begin_;
    const uint8_t* p_;
    const uint8_t* end_;
};

Status JsonParser::parse_hex4(uint32_t& v) {
    if (end_ - p_ < 4) return fail("truncated \\u escape");
    v = 0;
    for (int i = 0; i < 4; ++i) {
        int h = hex_value(p_[i]);
        if (h < 0) return fail("\\u escape without four hex digits");
        v = v << 4 | static_cast<uint32_t>(h);
    }
    p_ += 4;
    return Status::ok();
}

Status JsonParser::parse_string(std::string& out) {
    out.clear();
    ++p_;  // the opening quote
    for (;;) {
        const uint8_t* run = p_;
        while (p_ < end_ && *p_ != '"' && *p_ != '\\' && *p_ >= 0x20) ++p_;
        out.append(reinterpret_cast<const char*>(run), static_cast<size_t>(p_ - run));
        if (p_ == end_) return fail("unterminated string");
        uint8_t c = *p_;
        if (c == '"') {
            ++p_;
            return Status::ok();
        }
        if (c < 0x20) return fail("control character in a string");
        ++p_;  // the backslash
        if (p_ == end_) return fail("unterminated string");
        c = *p_++;
        switch (c) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                uint32_t cp;
                VARN_RETURN_IF_ERROR(parse_hex4(cp));
                if (cp >= 0xDC00 && cp <= 0xDFFF) return fail("unpaired low surrogate");
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    uint32_t low;
                    if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u')
                        return fail("unpaired high surrogate");
                    p_ += 2;
                    VARN_RETURN_IF_ERROR(parse_hex4(low));
                    if (low < 0xDC00 || low > 0xDFFF) return fail("unpaired high surrogate");
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                }
                put_utf8(cp, out);
                break;
            }
            default: --p_; return fail("unknown escape");
        }
    }
}

Status JsonParser::parse_number(KVal& out) {
    const uint8_t* start = p_;
    if (p_ < end_ && *p_ == '-') ++p_;
    if (p_ == end_ || !is_digit(*p_)) return fail("expected a value");
    if (*p_ == '0') {
        ++p_;
    } else {
        while (p_ < end_ && is_digit(*p_)) ++p_;
    }
    bool integral = true;
    if (p_ < end_ && *p_ == '.') {
        ++p_;
        if (p_ == end_ || !is_digit(*p_)) return fail("expected a digit after the decimal point");
        while (p_ < end_ && is_digit(*p_)) ++p_;
        integral = false;
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
        ++p_;
        if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
        if (p_ == end_ || !is_digit(*p_)) return fail("expected a digit in the exponent");
        while (p_ < end_ && is_digit(*p_)) ++p_;
        integral = false;
    }
    const ByteView text(start, static_cast<size_t>(p_ - start));
    if (integral) {
        int64_t v;
        const char* b = reinterpret_cast<const char*>(start);
        auto [ptr, ec] = std::from_chars(b, b + text.size(), v);
        if (ec == std::errc() && ptr == b + text.size()) {
            out = KVal::make_int(v);
            return Status::ok();
        }
    }
    double x = c_strtod(text);
    if (std::isinf(x)) return fail("number beyond the range of a double");
    out = KVal::make_float(x);
    return Status::ok();
}

Status JsonParser::parse_key(Frame& f) {
    skip_space();
    if (p_ == end_ || *p_ != '"') return fail("expected a string key");
    VARN_RETURN_IF_ERROR(parse_string(f.key));
    skip_space();
    if (p_ == end_ || *p_ != ':') return fail("expected ':' after a key");
    ++p_;
    return Status::ok();
}

Result<KVal> JsonParser::parse() {
    std::vector<Frame> stack;
    KVal value;
    for (;;) {
        // A value is due.
        skip_space();
        if (p_ == end_) return fail("expected a value");
        const uint8_t c = *p_;
        if (c == '{' || c == '[') {
            if (stack.size() >= kMaxJsonDepth)
                return fail("nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
            ++p_;
            stack.push_back(Frame{c == '{', {}, {}, {}});
            skip_space();
            const uint8_t close = c == '{' ? '}' : ']';
            if (p_ < end_ && *p_ == close) {
                ++p_;
                value = c == '{' ? KVal::make_object({}) : KVal::make_array({});
                stack.pop_back();
            } else {
                if (c == '{') VARN_RETURN_IF_ERROR(parse_key(stack.back()));
                continue;
            }
        } else if (c == '"') {
            std::string s;
            VARN_RETURN_IF_ERROR(parse_string(s));
            value = KVal::make_str(std::move(s));
        } else if (literal("true")) {
            value = KVal::make_bool(true);
        } else if (literal("false")) {
            value = KVal::make_bool(false);
        } else if (literal("null")) {
            value = KVal::make_null();
        } else {
            VARN_RETURN_IF_ERROR(parse_number(value));
        }

        // Hand the value to the open containers, closing those that end.
        for (;;) {
            if (stack.empty()) {
                skip_space();
                if (p_ != end_) return fail("text after the value");
                return value;
            }
            Frame& f = stack.back();
            if (f.object) {
                f.members.emplace_back(std::move(f.key), std::move(value));
            } else {
                f.array.push_back(std::move(value));
            }
            skip_space();
            if (p_ == end_) return fail(f.object ? "unterminated object" : "unterminated array");
            const uint8_t d = *p_++;
            if (d == ',') {
                if (f.object) VARN_RETURN_IF_ERROR(parse_key(f));
                break;  // the next member's value
            }
            if (d != (f.object ? '}' : ']')) {
                --p_;
                return fail(f.object ? "expected ',' or '}'" : "expected ',' or ']'");
            }
            value = f.object ? KVal::make_object(std::move(f.members))
                             : KVal::make_array(std::move(f.array));
            stack.pop_back();
        }
    }
}

}  // namespace

// ---------------------------------------------------------------------------

Result<KVal> parse_field(uint8_t type_code, ByteView text) {
    const format::ColumnKind kind = format::kind_of(type_code);
    if (kind == format::ColumnKind::Text)
        return KVal::make_str(std::string(reinterpret_cast<const char*>(text.data()), text.size()));
    if (text.empty()) return KVal::make_null();
    switch (kind) {
        case format::ColumnKind::Int: return parse_int_field(text);
        case format::ColumnKind::Float: return parse_float_field(text);
        case format::ColumnKind::Flags: return parse_bool_field(text);
        case format::ColumnKind::Nested: return parse_json(text);
        default: return parse_hex_field(text);
    }
}

Result<KVal> parse_json(ByteView text) { return JsonParser(text).parse(); }

}  // namespace varn
