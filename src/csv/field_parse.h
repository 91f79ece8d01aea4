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
// Type codes and names: format/type_codes.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.h"
#include "common/bytes.h"
#include "format/column/kval.h"
#include "render/cell_text.h"

namespace varn {

inline constexpr size_t kMaxJsonDepth = 100000;

// One trimmed field as a cell of the column type, or a message saying why
// the text does not fit (the converter adds the line and column).
Result<KVal> parse_field(uint8_t type_code, ByteView text);

// One JSON value spanning all of `text`.
Result<KVal> parse_json(ByteView text);

}  // namespace varn
