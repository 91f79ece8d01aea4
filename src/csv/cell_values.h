// Field text -> the values Int, Float and Bool columns store, without
// building a KVal per cell, and the checks that keep typed conversion
// lossless.
//
// Canonical forms (type inference): text that `varn cat` writes back
// byte for byte after the column stores it.
//   Int    -?(0|[1-9][0-9]*) within the signed 64-bit range, not "-0"
//   Float  an Int form, or one with a fraction of 1 to 4 digits whose last
//          digit is not 0; value x 10000 within the signed 64-bit range
//   Bool   true or false (lower case)
//
// Declared types (--type): the grammar of parse_field (field_parse.h), and
// every loss is an error message unless `lossy`: an empty cell (stored as 0
// or false, counted as null), a Float with more than 4 decimals (rounded
// half away from zero), a value outside the range (Float saturates; an Int
// outside the 64-bit range is an error either way).
#pragma once

#include <cstdint>
#include <string>

#include "common/bytes.h"
#include "common/result.h"

namespace varn {

bool canonical_int(const uint8_t* p, size_t n);
bool canonical_float(const uint8_t* p, size_t n);
inline bool canonical_bool(const uint8_t* p, size_t n) {
    return (n == 4 && p[0] == 't' && p[1] == 'r' && p[2] == 'u' && p[3] == 'e') ||
           (n == 5 && p[0] == 'f' && p[1] == 'a' && p[2] == 'l' && p[3] == 's' && p[4] == 'e');
}

// The stored value of a non-empty field of an Int (the integer), Float
// (value x 10000) or Bool (0 or 1) column; an invalid_input failure naming
// the text when it does not fit or would lose data (and `lossy` is not set).
Result<int64_t> int_value(const uint8_t* p, size_t n, bool lossy);
Result<int64_t> scaled_value(const uint8_t* p, size_t n, bool lossy);
Result<int64_t> bool_value(const uint8_t* p, size_t n);

// Every number in a JSON text is one that a 64-bit integer (no fraction or
// exponent) or a double (otherwise) holds exactly enough that it is written
// back as the same number; otherwise an invalid_input failure naming the
// first that is not.
Status json_numbers_exact(ByteView text);

}  // namespace varn
