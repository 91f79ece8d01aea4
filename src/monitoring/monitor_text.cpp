// JSON numbers and strings and RFC 3339 timestamps for the monitor.
//
// Numbers start from std::to_chars' shortest round-trip digits in scientific
// form, then are laid out in fixed or exponent notation by the exponent of the
// first significant digit, so the choice of notation never changes the digits.
#include "monitoring/monitor_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace varn {

void append_json_number(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    // Shortest digits: "[-]d[.ddd]e[+-]XX".
    char buf[64];
    std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    const char* p = buf;
    const char* end = r.ptr;
    if (*p == '-') {
        out += '-';
        ++p;
    }
    std::string digits;
    while (p < end && *p != 'e') {
        if (*p != '.') digits += *p;
        ++p;
    }
    int exponent = 0;
    if (p < end) std::from_chars(p[1] == '+' ? p + 2 : p + 1, end, exponent);

    const int n = static_cast<int>(digits.size());
    if (exponent >= -5 && exponent <= 15) {
        if (exponent >= 0) {
            // Integer part: the first exponent+1 digits, padded with zeros.
            if (n > exponent + 1) {
                out.append(digits, 0, static_cast<size_t>(exponent) + 1);
                out += '.';
                out.append(digits, static_cast<size_t>(exponent) + 1);
            } else {
                out += digits;
                out.append(static_cast<size_t>(exponent + 1 - n), '0');
                out += ".0";
            }
        } else {
            out += "0.";
            out.append(static_cast<size_t>(-exponent - 1), '0');
            out += digits;
        }
        return;
    }
    out += digits[0];
    if (n > 1) {
        out += '.';
        out.append(digits, 1);
    }
    out += 'e';
    out += exponent < 0 ? '-' : '+';
    out += std::to_string(std::abs(exponent));
}

std::string json_number(double value) {
    std::string out;
    append_json_number(out, value);
    return out;
}

std::string format_rfc3339(const std::tm& local, uint32_t nanoseconds, long offset_seconds) {
    char buf[96];
    int len = std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", local.tm_year + 1900,
                            local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                            local.tm_sec);
    std::string out(buf, static_cast<size_t>(len));
    if (nanoseconds != 0) {
        if (nanoseconds % 1000000 == 0)
            len = std::snprintf(buf, sizeof buf, ".%03u", nanoseconds / 1000000);
        else if (nanoseconds % 1000 == 0)
            len = std::snprintf(buf, sizeof buf, ".%06u", nanoseconds / 1000);
        else
            len = std::snprintf(buf, sizeof buf, ".%09u", nanoseconds);
        out.append(buf, static_cast<size_t>(len));
    }
    // RFC 3339 offsets have no seconds; a historical offset with seconds is
    // cut to whole minutes. A zero offset is always "+00:00".
    long magnitude = offset_seconds < 0 ? -offset_seconds : offset_seconds;
    long hours = magnitude / 3600;
    long minutes = magnitude / 60 % 60;
    char sign = (offset_seconds < 0 && (hours != 0 || minutes != 0)) ? '-' : '+';
    len = std::snprintf(buf, sizeof buf, "%c%02ld:%02ld", sign, hours, minutes);
    out.append(buf, static_cast<size_t>(len));
    return out;
}

std::string now_rfc3339() {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::tm local{};
    localtime_r(&ts.tv_sec, &local);
    return format_rfc3339(local, static_cast<uint32_t>(ts.tv_nsec), local.tm_gmtoff);
}

}  // namespace varn
