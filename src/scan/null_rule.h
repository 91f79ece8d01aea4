// The null rule every reader of the core applies. A file stores a null cell
// as its column's stored null value (0, false or the empty text) and only
// counts the nulls of each chunk in the index. With N nulls counted and S
// cells holding the stored null value:
// - N == 0: no cell is null;
// - S == N: exactly those S cells are null (an all-null chunk is one case);
// - S > N: the file cannot tell which of them were null; every cell is given
//   out as its stored value and the N nulls are counted as hidden;
// - S < N: the count and the payload disagree; the record is refused, since
//   taking either side would give out wrong data (values shown as nulls, or
//   nulls the index denies).
// Json columns carry their nulls inside the values and take no part.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/result.h"

namespace varn::scan {

// What the rule made of one column of one chunk.
struct NullSettlement {
    Status status;        // failed: S < N
    bool marked = false;  // S == N > 0: the stored-null cells are null
    uint64_t hidden = 0;  // S > N: nulls given out as their stored value
};

// Applies the rule from the number of stored-null cells; the message of a
// failure is to be prefixed with the record's place.
inline NullSettlement settle_null_count(uint64_t null_count, uint64_t stored_nulls) {
    NullSettlement s;
    if (null_count == 0) return s;
    if (stored_nulls == null_count) {
        s.marked = true;
    } else if (stored_nulls > null_count) {
        s.hidden = null_count;
    } else {
        s.status = Status::corrupt("the index counts " + std::to_string(null_count) +
                                   " null cells, but only " + std::to_string(stored_nulls) +
                                   " cells hold the stored null value (0, false or empty)");
    }
    return s;
}

// Applies the rule to `rows` cells: `valid` gets one byte per row (0: null)
// when the count settles which cells were null, and is left empty otherwise.
template <class IsStoredNull>
NullSettlement settle_nulls(size_t rows, uint64_t null_count, std::vector<uint8_t>& valid,
                            IsStoredNull stored_null) {
    valid.clear();
    if (null_count == 0) return {};
    size_t stored = 0;
    for (size_t i = 0; i < rows; ++i) stored += stored_null(i) ? 1 : 0;
    NullSettlement s = settle_null_count(null_count, stored);
    if (s.marked) {
        valid.resize(rows);
        for (size_t i = 0; i < rows; ++i) valid[i] = stored_null(i) ? 0 : 1;
    }
    return s;
}

}  // namespace varn::scan
