#include "csv/cell_values.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <string_view>

namespace varn {

namespace {

inline bool digit(uint8_t c) { return c >= '0' && c <= '9'; }

std::string shown(const uint8_t* p, size_t n) {
    std::string s = "'";
    s.append(reinterpret_cast<const char*>(p), n < 60 ? n : 60);
    if (n > 60) s += "...";
    return s + "'";
}

// -?(0|[1-9][0-9]*): the length of the integer part's digits, or 0.
size_t canonical_digits(const uint8_t* p, size_t n, bool& negative) {
    size_t i = 0;
    negative = n > 0 && p[0] == '-';
    if (negative) ++i;
    const size_t start = i;
    while (i < n && digit(p[i])) ++i;
    const size_t len = i - start;
    if (len == 0 || (len > 1 && p[start] == '0')) return 0;
    return len;
}

// A decimal number: sign, its significant digits and the power of ten of
// the last of them (value = digits x 10^exponent).
struct Decimal {
    bool negative = false;
    std::string digits;  // no leading or trailing zeros; empty for zero
    int64_t exponent = 0;
};

// Parses [+|-]digits[.digits][e[+|-]digits] or [+|-].digits[...]; false
// when the text is not such a number.
bool parse_decimal(const uint8_t* p, size_t n, bool allow_plus, Decimal& d) {
    size_t i = 0;
    if (i < n && (p[i] == '-' || (allow_plus && p[i] == '+'))) d.negative = p[i++] == '-';
    size_t int_digits = 0, frac_digits = 0;
    std::string all;
    while (i < n && digit(p[i])) all += static_cast<char>(p[i++]), ++int_digits;
    if (i < n && p[i] == '.') {
        ++i;
        while (i < n && digit(p[i])) all += static_cast<char>(p[i++]), ++frac_digits;
    }
    if (int_digits + frac_digits == 0) return false;
    int64_t exp = 0;
    if (i < n && (p[i] == 'e' || p[i] == 'E')) {
        ++i;
        bool neg = false;
        if (i < n && (p[i] == '+' || p[i] == '-')) neg = p[i++] == '-';
        if (i == n || !digit(p[i])) return false;
        while (i < n && digit(p[i])) {
            if (exp < 1000000000) exp = exp * 10 + (p[i] - '0');
            ++i;
        }
        if (neg) exp = -exp;
    }
    if (i != n) return false;
    size_t lead = 0;
    while (lead < all.size() && all[lead] == '0') ++lead;
    size_t end = all.size();
    int64_t e = exp - static_cast<int64_t>(frac_digits);
    while (end > lead && all[end - 1] == '0') {
        --end;
        ++e;
    }
    d.digits = all.substr(lead, end - lead);
    d.exponent = d.digits.empty() ? 0 : e;
    return true;
}

}  // namespace

bool canonical_int(const uint8_t* p, size_t n) {
    bool negative;
    const size_t len = canonical_digits(p, n, negative);
    if (len == 0 || len + (negative ? 1 : 0) != n) return false;
    if (negative && len == 1 && p[1] == '0') return false;  // "-0" is written back as 0
    if (len <= 18) return true;  // within the 64-bit range whatever the digits
    int64_t v;
    return std::from_chars(reinterpret_cast<const char*>(p), reinterpret_cast<const char*>(p + n), v).ec ==
           std::errc();
}

bool canonical_float(const uint8_t* p, size_t n) {
    bool negative;
    const size_t len = canonical_digits(p, n, negative);
    if (len == 0) return false;
    const size_t int_start = negative ? 1 : 0;
    size_t i = int_start + len;
    size_t frac = 0;
    if (i < n) {
        if (p[i] != '.') return false;
        ++i;
        while (i < n && digit(p[i])) ++i, ++frac;
        if (i != n || frac == 0 || frac > 4 || p[n - 1] == '0') return false;
    }
    // A negative zero is written back without its sign.
    if (negative && len == 1 && p[int_start] == '0') {
        bool zero = true;
        for (size_t k = int_start + 2; k < n; ++k) zero = zero && p[k] == '0';
        if (zero) return false;
    }
    // value x 10000: the integer digits, then the fraction padded to 4.
    const size_t scaled_digits = len + 4;
    if (scaled_digits < 19) return true;
    if (scaled_digits > 19) return false;
    char scaled[19];
    std::memcpy(scaled, p + int_start, len);
    for (size_t k = 0; k < 4; ++k) scaled[len + k] = k < frac ? static_cast<char>(p[int_start + len + 1 + k]) : '0';
    return std::memcmp(scaled, "9223372036854775807", 19) <= 0;
}

Result<int64_t> int_value(const uint8_t* p, size_t n, bool lossy) {
    (void)lossy;  // an Int outside the 64-bit range cannot be stored in any way
    size_t i = 0;
    if (i < n && (p[i] == '+' || p[i] == '-')) ++i;
    if (i == n) return Status::invalid_input(shown(p, n) + " is not an integer");
    for (size_t k = i; k < n; ++k) {
        if (!digit(p[k])) return Status::invalid_input(shown(p, n) + " is not an integer");
    }
    if (n - i <= 18) {
        // No 18-digit number overflows: sum the digits directly.
        int64_t v = 0;
        for (size_t k = i; k < n; ++k) v = v * 10 + (p[k] - '0');
        return p[0] == '-' ? -v : v;
    }
    const char* b = reinterpret_cast<const char*>(p + (p[0] == '+' ? 1 : 0));
    int64_t out = 0;
    auto r = std::from_chars(b, reinterpret_cast<const char*>(p + n), out);
    if (r.ec != std::errc()) return Status::invalid_input(shown(p, n) + " is outside the 64-bit integer range");
    return out;
}

Result<int64_t> scaled_value(const uint8_t* p, size_t n, bool lossy) {
    Decimal d;
    if (!parse_decimal(p, n, true, d)) return Status::invalid_input(shown(p, n) + " is not a decimal number");
    if (d.digits.empty()) return int64_t{0};
    // Digits of value x 10000, rounded to a whole number.
    int64_t shift = d.exponent + 4;
    std::string whole;
    bool round_up = false;
    if (shift >= 0) {
        if (static_cast<int64_t>(d.digits.size()) + shift <= 40)
        {
            whole = d.digits;
            whole.append(static_cast<size_t>(shift), '0');
        }
        else
            whole = std::string(41, '9');
    } else {
        if (!lossy) {
            return Status::invalid_input(shown(p, n) + " has more than the 4 decimals a float column keeps");
        }
        const int64_t keep = static_cast<int64_t>(d.digits.size()) + shift;
        if (keep > 0) whole = d.digits.substr(0, static_cast<size_t>(keep));
        round_up = keep >= 0 && d.digits[static_cast<size_t>(keep)] >= '5';
        if (whole.empty()) whole.push_back('0');
    }
    uint64_t mag = 0;
    bool overflow = whole.size() > 19;
    if (!overflow) {
        auto r = std::from_chars(whole.data(), whole.data() + whole.size(), mag);
        overflow = r.ec != std::errc();
    }
    if (!overflow && round_up) overflow = ++mag == 0;
    const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    if (overflow || mag > limit) {
        if (!lossy) return Status::invalid_input(shown(p, n) + " is outside the float range (about +-9.2e14)");
        return d.negative ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
    }
    return d.negative ? -static_cast<int64_t>(mag) : static_cast<int64_t>(mag);
}

Result<int64_t> bool_value(const uint8_t* p, size_t n) {
    auto is = [&](const char* word) {
        const size_t len = std::strlen(word);
        if (n != len) return false;
        for (size_t i = 0; i < n; ++i) {
            uint8_t c = p[i];
            if (c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c - 'A' + 'a');
            if (c != static_cast<uint8_t>(word[i])) return false;
        }
        return true;
    };
    if (is("true") || is("1")) return int64_t{1};
    if (is("false") || is("0")) return int64_t{0};
    return Status::invalid_input(shown(p, n) + " is not a boolean (true, false, 1 or 0)");
}

Status json_numbers_exact(ByteView text) {
    const uint8_t* p = text.data();
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        const uint8_t c = p[i];
        if (c == '"') {
            for (++i; i < n && p[i] != '"'; ++i)
                if (p[i] == '\\') ++i;
            ++i;
            continue;
        }
        if (c != '-' && !digit(c)) {
            ++i;
            continue;
        }
        size_t j = i + 1;
        bool integral = true;
        while (j < n && (digit(p[j]) || p[j] == '.' || p[j] == 'e' || p[j] == 'E' || p[j] == '+' ||
                         p[j] == '-')) {
            if (!digit(p[j])) integral = false;
            ++j;
        }
        const char* b = reinterpret_cast<const char*>(p + i);
        const char* e = reinterpret_cast<const char*>(p + j);
        int64_t iv;
        if (integral && std::from_chars(b, e, iv).ec == std::errc() && std::from_chars(b, e, iv).ptr == e) {
            i = j;
            continue;
        }
        double dv = 0;
        Decimal want, got;
        bool ok = parse_decimal(p + i, j - i, false, want);
        if (ok) {
            auto r = std::from_chars(b, e, dv);
            ok = r.ec == std::errc() && r.ptr == e;
        }
        if (ok) {
            char buf[64];
            auto r = std::to_chars(buf, buf + sizeof buf, dv);
            ok = parse_decimal(reinterpret_cast<const uint8_t*>(buf), static_cast<size_t>(r.ptr - buf), false, got) &&
                 got.digits == want.digits && got.exponent == want.exponent &&
                 (got.digits.empty() || got.negative == want.negative);
        }
        if (!ok) {
            return Status::invalid_input("the JSON number " + shown(p + i, j - i) +
                                         " cannot be kept exactly (64-bit integer or double)");
        }
        i = j;
    }
    return Status::ok();
}

}  // namespace varn
