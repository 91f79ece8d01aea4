// Text of an operating-system error: the system's description, one space,
// then "(os error N)". This is the form every message that carries an OS error uses.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

namespace varn {

inline std::string os_error_text(int err) {
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    const char* text = strerror_r(err, buf, sizeof buf);
#else
    const char* text = strerror_r(err, buf, sizeof buf) == 0 ? buf : "Unknown error";
#endif
    std::string out(text);
    out += " (os error ";
    out += std::to_string(err);
    out += ')';
    return out;
}

inline std::string last_os_error() { return os_error_text(errno); }

}  // namespace varn
