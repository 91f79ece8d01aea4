// The filter language of every reader: a conjunction of "column op value"
// filters, in the form the scan takes (Filter), read from the text of the
// command line (parse_filter_text) or built by the Python package. What a
// filter means is written once in docs/filters.md; in short:
// - text and bytes compare by bytes, int and float numerically (float as the
//   value given out, stored / 10000), bool as false < true;
// - a null cell matches no filter, with one exception: on a text or bytes
//   column, "= ''" (and an empty value in an "in" list) matches the empty
//   cells, null ones included, since a null text is stored as the empty text;
// - nulls the file cannot place (hidden nulls, see null_rule.h) compare as
//   the stored value they are given out as.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "format/file/reader.h"

namespace varn::scan {

enum class FilterOp : uint8_t { Eq, Ne, Lt, Le, Gt, Ge, In, NotIn };

// "==" (or "="), "!=", "<", "<=", ">", ">=", "in", "not in".
Result<FilterOp> filter_op_from_text(std::string_view text);
const char* filter_op_text(FilterOp op);
inline bool is_set_op(FilterOp op) { return op == FilterOp::In || op == FilterOp::NotIn; }

// One operand, in the form of the column's type: `text` for text and bytes
// columns (raw bytes), `integer` for int and bool columns (0 or 1), `real`
// for float columns (compared with the value given out, stored / 10000).
struct FilterValue {
    std::string text;
    int64_t integer = 0;
    double real = 0.0;
};

// column op value (one value), or column in / not in values.
struct Filter {
    size_t column = 0;
    FilterOp op = FilterOp::Eq;
    std::vector<FilterValue> values;
};

// Checks filters against the file: columns in range and of a type filters
// apply to (not json), one value for a comparison.
Status check_filters(const VarnReader& reader, const std::vector<Filter>& filters);

// Whether the filter matches a null cell of its column (see above).
bool filter_matches_null(const VarnReader& reader, const Filter& filter);

// One filter from its text (varn cat --where): NAME OP VALUE with OP one
// of = == != < <= > >=, or NAME in (A,B,...) / NAME not in (A,B,...). The
// first place, left to right, where an operator follows a column's name
// splits the text, so names holding an operator still work. Spaces around
// the operator and at the ends of a value are dropped; a value in double
// quotes is taken as written (a quote inside doubled), which is how a value
// keeps edge spaces, or holds a comma or parenthesis inside a list. Values
// are read as the column's cells are written by varn cat: decimal integers,
// decimals, true/false (or 1/0), hex digits for bytes.
Result<Filter> parse_filter_text(const VarnReader& reader, std::string_view text);

// A value of column `col` from its text, as parse_filter_text reads it.
Result<FilterValue> filter_value_from_text(const VarnReader& reader, size_t col, std::string_view text);

}  // namespace varn::scan
