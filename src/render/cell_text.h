// Cell rendering: stored values as CSV field text and compact JSON, shared
// by the readers (varn cat, varn info) and the field parser's tests. What
// is written here reads back through the field parser as the same stored
// value.
#pragma once

#include <cstdint>
#include <string>

#include "common/bytes.h"
#include "format/column/kval.h"

namespace varn {

// Field text of stored values.
void append_int_text(int64_t v, std::string& out);
// A Float column's stored integer (units of 1/10000) as an exact decimal,
// without trailing zeros: 12345 -> "1.2345", -5 -> "-0.0005", 30000 -> "3".
void append_scaled_text(int64_t scaled, std::string& out);
void append_bool_text(bool v, std::string& out);
// Lowercase hex, two digits a byte.
void append_hex_text(ByteView bytes, std::string& out);
// Compact JSON (no white space). Floats take the shortest text that reads
// back as the same double and always carry a "." or an exponent, so they
// read back as Float; non-finite floats are written as null. Commas inside
// strings and keys are written as \u002c, so a comma appears only between
// the members of a container. Bytes (which JSON lacks) are written as a
// string of hex digits and Map as an array of [key, value] arrays. Walks the
// value with an explicit stack.
void append_json_text(const KVal& value, std::string& out);

}  // namespace varn
