// The converter's batch: the text cells of up to one chunk of rows as the
// CSV converter fills them and the writer's text path reads them. It sits
// with the column codecs, not with the converter, because the writer and
// the text column analysis take it as input and the format layer does not
// depend on the converter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/bytes.h"

namespace varn {

// A batch of rows whose cells are all text, as the CSV converter builds it:
// one byte buffer for the whole batch, the offset of each row's bytes in it,
// and one span per cell (relative to its row). The spans are kept column by
// column, since the writer reads a batch one column at a time: the span of
// row r, column c is cells[c * stride + r]. Clearing keeps the capacity, so
// nothing is reallocated batch after batch.
// Parsed values of an Int, Float (value x 10000) or Bool (0 or 1) column of
// a batch, so that typed columns need no KVal per cell. A null cell holds 0
// and is marked in `null`, which stays empty while the column has none.
struct BatchValues {
    std::vector<int64_t> v;
    std::vector<uint8_t> null;
    uint32_t null_count = 0;
    void clear() {
        v.clear();
        null.clear();
        null_count = 0;
    }
};

struct TextSpan {
    uint32_t offset;  // from the start of the row's bytes
    uint32_t length;
};
struct TextBatch {
    size_t columns = 0;
    size_t rows = 0;
    size_t stride = 0;  // rows each column has room for
    Bytes text;
    std::vector<uint64_t> row_offsets;  // one per row
    std::vector<TextSpan> cells;        // columns * stride entries
    // Per column, for the Int, Float and Bool columns of a typed schema: the
    // parsed values (the spans of such a column are not read). Empty for an
    // all-text batch.
    std::vector<BatchValues> values;

    const TextSpan& cell(size_t r, size_t c) const { return cells[c * stride + r]; }
    TextSpan& cell(size_t r, size_t c) { return cells[c * stride + r]; }
    // Room for the span of row `rows` in every column: doubles every
    // column's room when it is full.
    void reserve_row() {
        if (rows == stride) grow();
    }
    // Appends a row whose bytes start at `offset`, with one span per column.
    void push_row(uint64_t offset, const TextSpan* spans) {
        reserve_row();
        row_offsets.push_back(offset);
        for (size_t c = 0; c < columns; ++c) cell(rows, c) = spans[c];
        ++rows;
    }
    void clear() {
        rows = 0;
        text.clear();
        row_offsets.clear();
    }
    // Empties the batch for rows of `n` columns.
    void reset(size_t n) {
        clear();
        columns = n;
        stride = 0;
        expected_rows = 0;
        cells.clear();
    }
    // Expects `n` rows (a batch filled like the one before it): the first
    // row that needs room makes room for all of them at once, sparing the
    // doublings, each of which holds the old and the new span table.
    void expect_rows(size_t n) { expected_rows = n; }
    // Gives the memory of column `c`'s spans back to the system (as far as
    // it fills whole pages), for a column whose spans are read no more in
    // this batch: its cells were parsed into values. The room stays, and
    // the next rows written there take fresh pages.
    void release_spans(size_t c);

private:
    size_t expected_rows = 0;
    void grow();
};

}  // namespace varn
