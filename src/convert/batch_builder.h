// Turns CSV lines into the rows of a TextBatch: splits on every comma, trims
// each field of White_Space, pads short rows with empty cells and drops the
// fields past the last column.
//
// The writer reads a batch one column at a time, so the builder keeps each
// column's text together: every column owns a run of segments in the batch's
// text buffer and its cells are appended there, in row order. Row offsets are
// then 0 and spans hold absolute offsets (32 bits). A batch whose text would
// outgrow 32-bit offsets continues in the plain layout (each row's text in
// one piece, spans relative to it), which the span format also allows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "csv/csv_records.h"
#include "format/column/text_batch.h"

namespace varn {

class TextBatchBuilder {
public:
    // Readable bytes that must follow every line handed to append_row: the
    // comma scan and the cell copies read up to this far past a line's end.
    static constexpr size_t kLineSlack = 16;

    TextBatchBuilder(TextBatch& batch, size_t columns);

    // Appends one row. line[0..len + kLineSlack) must be readable; len must
    // be below 4 GiB. The line must be valid UTF-8 (trimming decodes it).
    // Returns true when the line had more fields than there are columns
    // (the extra ones are dropped).
    bool append_row(const uint8_t* line, size_t len);

    // Appends one row of fields split already (the CSV record reader's):
    // each field is stored as it is, fields past the last column are dropped
    // and missing ones are empty. Every field must be followed by kLineSlack
    // readable bytes, and the fields together must be below 4 GiB.
    void append_fields(const CsvField* fields, size_t count);

    // Writes the spans of the last rows into the batch. The spans of up to
    // kStagedRows rows are gathered row by row and written column by column
    // (one short run per column instead of one store per column and row,
    // each in another part of the span table); call this before the batch
    // is read. A full batch (a multiple of kStagedRows) is written already.
    void flush();
    static constexpr size_t kStagedRows = 16;

    // Clears the batch (keeping its buffers) and starts a new one. Each
    // column's first segment then takes what the column held in the batch
    // just cleared (and a little more), so a batch like the last one fills
    // one segment per column rather than a doubling series of them.
    void clear();
    // Sizes the first segments of the next batch as clear() would, from the
    // batch `other` holds now (the batch filled before this one).
    void plan_like(const TextBatchBuilder& other);

private:
    struct Segment {
        size_t at = 0;     // next free byte in the batch text
        size_t end = 0;    // end of the column's current segment
        size_t start = 0;  // start of the column's current segment
        size_t taken = 0;  // bytes the column's earlier segments of this batch hold
    };

    bool append_row_plain(const uint8_t* line, size_t len);
    void append_fields_plain(const CsvField* fields, size_t count);
    // Copies n bytes at b into the column's segment; returns the span.
    TextSpan copy_cell(size_t column, const uint8_t* b, size_t n);
    size_t find_commas(const uint8_t* line, size_t len);
    uint8_t* new_segment(size_t column, size_t need);
    // The first segment sizes for a batch like the one `from` holds.
    void plan_segments(const TextBatchBuilder& from);

    TextBatch& batch_;
    size_t columns_;
    size_t first_segment_;
    size_t max_segment_;
    bool plain_ = false;                // the rest of this batch uses the plain layout
    std::vector<Segment> segments_;     // per column
    std::vector<size_t> segment_size_;  // per column: size of its next segment
    std::vector<uint32_t> commas_;      // positions of the current line's first commas
    std::vector<TextSpan> staged_;      // kStagedRows x columns_, row by row
    size_t staged_rows_ = 0;            // rows in staged_, from row staged_first_
    size_t staged_first_ = 0;
    // The spans of the row being appended, in staged_.
    TextSpan* stage_row() {
        if (staged_rows_ == 0) staged_first_ = batch_.rows;
        return staged_.data() + staged_rows_ * columns_;
    }
    void staged_row_done() {
        if (++staged_rows_ == kStagedRows) flush();
    }
};

// True when the line trimmed of White_Space is empty. The line must be valid UTF-8.
bool blank_line(const uint8_t* line, size_t len);

}  // namespace varn
