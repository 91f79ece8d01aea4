// Field text <-> typed cells. parse_field turns one trimmed CSV field into
// the cell of a declared column type (the converter's FieldParser); the
// append_*_text functions give a stored value back as field text, so that
// parsing what they write yields the same stored value again.
//
// Field grammar, by column type (an empty field is Null for every type but
// text; every other text that does not match is an error saying why):
//   int    optional + or -, then one or more ASCII digits; must fit a signed
//          64-bit integer ("007" is 7).
//   float  optional sign, digits with an optional fraction ("1", "1.", ".5",
//          "1.5"), optional exponent ("e-3", "E+10"); decimal only: no hex,
//          and "inf", "infinity" and "nan" are refused (a file cannot store
//          them: the column keeps value x 10000 as an integer). A magnitude
//          beyond the double range is an error; one below it becomes 0.
//   bool   true, false, 1 or 0, ASCII case-insensitive.
//   text   the field as it is (an empty field is the empty text, as in a
//          plain conversion).
//   bytes  an even number of hex digits, either case, no prefix.
//   json   one JSON value (RFC 8259) with optional white space around it:
//          objects become Object (duplicate keys kept in order), arrays
//          Array, strings Str, true/false Bool, null Null; a number without
//          fraction or exponent that fits 64 bits becomes Int, any other
//          number Float. Nesting is parsed with an explicit stack, never by
//          recursion, and limited to kMaxJsonDepth levels.
//
// Type codes: int 1, float 2, bool 3 (and 0), text 4, bytes 5 (and 9-255),
// json 6 (and 7, 8).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "common/bytes.h"
#include "format/column/kval.h"

namespace varn {

inline constexpr size_t kMaxJsonDepth = 100000;

// The type code of a type name (int, float, bool, text, bytes, json).
std::optional<uint8_t> type_code_from_name(std::string_view name);
// The name of a type code: none, int, float, bool, text, bytes, json (6-8),
// or bytes for 9-255.
const char* type_name(uint8_t type_code);

// One trimmed field as a cell of the column type, or a message saying why
// the text does not fit (the converter adds the line and column).
Result<KVal> parse_field(uint8_t type_code, ByteView text);

// One JSON value spanning all of `text`.
Result<KVal> parse_json(ByteView text);

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
