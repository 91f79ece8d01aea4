#include "common/text_format.h"

#include <cmath>
#include <cstdio>

namespace varn {

void append_fixed(std::string& out, double value, int decimals) {
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    // glibc's printf rounds the exact binary value to nearest, ties to even.
    char buf[512];
    int n = std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    if (n > 0 && static_cast<size_t>(n) < sizeof buf) {
        out.append(buf, static_cast<size_t>(n));
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), "%.*f", decimals, value);
    big.resize(static_cast<size_t>(n));
    out += big;
}

std::string format_fixed(double value, int decimals) {
    std::string out;
    append_fixed(out, value, decimals);
    return out;
}

}  // namespace varn
