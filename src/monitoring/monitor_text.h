// Text forms used by the performance monitor: JSON numbers and strings for
// the alert list, and the RFC 3339 local timestamps of the metrics record
// and of every alert.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "common/json_string.h"

namespace varn {

// Appends `value` as a JSON number in the shortest decimal form that reads
// back as the same double: fixed notation with a fractional part when the
// decimal exponent of the first significant digit is in [-5, 15] (1000.0,
// 0.05), otherwise d[.ddd]e+NN / e-N (1e+16, 2.5e-7). Non-finite values are
// written as null.
void append_json_number(std::string& out, double value);
std::string json_number(double value);


// The RFC 3339 text of a local time: YYYY-MM-DDTHH:MM:SS, then a fraction of
// 3, 6 or 9 digits (the fewest that hold the nanoseconds; none when they are
// 0), then the numeric offset (+00:00 for UTC, never Z).
// `offset_seconds` is the local time's offset east of UTC.
std::string format_rfc3339(const std::tm& local, uint32_t nanoseconds, long offset_seconds);

// The current wall-clock time, in local time, in the form above.
std::string now_rfc3339();

}  // namespace varn
