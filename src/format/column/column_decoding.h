// Decoders of column payloads, the inverse of analyze_column: given a column
// record's payload (after decompression and, for an encrypted column,
// apply_column_encryption with the same key, name and chunk index), the
// column's type code, the record's encoding id and the chunk's row count,
// they give the values back. Null cells are not recoverable: the file stores
// them as 0, false or empty, and only counts them (null_count).
//
// Every decoder treats the payload as untrusted: it reads through a bounds-
// checked cursor, requires the payload to hold exactly `rows` values with no
// bytes left over, and returns a message naming the fault otherwise. On
// failure the output holds no meaningful values. Allocation is bounded by
// `rows` (which the caller takes from the index and may cap) and by the
// payload size; run-length and constant-delta payloads expand to `rows`
// values from a few bytes, so `rows` must be a number the caller accepts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/result.h"
#include "common/bytes.h"
#include "format/column/column_encoding.h"
#include "format/column/kval.h"

namespace varn {

// The ColumnEncoding of an index byte; an error for ids that are not produced (3, 5, > 7).
Result<ColumnEncoding> column_encoding_from_id(uint8_t id);

// Integers of an Int column: `e` is Rle, Delta, ConstDelta or
// FrameOfReference. Replaces `out` with `rows` values.
Status decode_int_payload(ColumnEncoding e, ByteView payload, size_t rows, std::vector<int64_t>& out);

// Scaled integers (units of 1/10000) of a Float column: checks and skips the
// FE 04 prefix, then as decode_int_payload.
Status decode_float_payload(ColumnEncoding e, ByteView payload, size_t rows,
                            std::vector<int64_t>& scaled);

// Flags of a Bool or type-0 column: exactly ceil(rows / 8) bytes, row i at
// bit i % 8 of byte i / 8. Replaces `out` with `rows` values 0 or 1.
Status decode_flags(ByteView payload, size_t rows, std::vector<uint8_t>& out);

// Entries of LEB128 length + bytes: the raw text of Text columns, the byte
// strings of Bytes columns (5, 9-255) and the value encodings of Nested
// columns (6-8). Replaces `out` with `rows` views into `payload`.
Status decode_length_prefixed(ByteView payload, size_t rows, std::vector<ByteView>& out);
// A walk along length-prefixed entries that checks each length as it goes,
// for callers that take a few entries at a time: the same checks, with the
// same messages, as decode_length_prefixed.
class EntryWalk {
public:
    // Starts at the first of `rows` entries in `payload`; fails when the
    // payload is too short to hold that many.
    Status start(ByteView payload, size_t rows);
    // The next n entries into out[0..n); false, with the walk stopped, at
    // an entry whose length is truncated or longer than the bytes left
    // (fault() tells which).
    bool take(ByteView* out, size_t n) {
        const uint8_t* p = p_;
        const uint8_t* const end = end_;
        for (size_t i = 0; i < n; ++i) {
            if (p < end && *p < 0x80) {
                const size_t len = *p;
                if (len < static_cast<size_t>(end - p)) {
                    out[i] = ByteView(p + 1, len);
                    p += len + 1;
                    continue;
                }
            }
            p_ = p;
            if (!next_long(out[i])) return false;
            p = p_;
        }
        p_ = p;
        return true;
    }
    // Where the next entry starts.
    const uint8_t* position() const { return p_; }
    // What stopped take().
    Status fault() const;
    // After the last entry: fails when bytes are left over.
    Status finish() const;

private:
    bool next_long(ByteView& e);

    const uint8_t* p_ = nullptr;
    const uint8_t* end_ = nullptr;
    const char* fault_ = nullptr;
};

// The same entries unpacked into contiguous arrays in one pass (the layout
// columnar formats give text): offsets[0..rows], offsets[0] = 0, and the
// bytes back to back in `data`, which has room for the payload's size plus
// 16 bytes (entries are copied 16 bytes at a time). `empties` counts the
// empty entries; `boundaries` tells whether every non-empty entry starts
// with a byte that starts a UTF-8 character. False when the payload does not
// hold exactly `rows` entries (decode_length_prefixed names the fault).
// Offset is int32_t or int64_t; the caller makes sure the payload's size
// fits it.
template <class Offset>
bool unpack_length_prefixed(ByteView payload, size_t rows, Offset* offsets, uint8_t* data, size_t& empties,
                            bool& boundaries);

// Cells of a whole column payload, by type code and encoding: Int -> Int,
// Float -> Float (scaled / 10000), Bool and 0 -> Bool, Text -> Str,
// 5 and 9-255 -> Bytes, 6-8 -> the decoded nested value (decode_nested_val
// in nested_value.h). An encoding id that the type code never gets is an
// error. Replaces `out` with `rows` cells.
Status decode_column_cells(uint8_t type_code, ColumnEncoding e, ByteView payload, size_t rows,
                           std::vector<KVal>& out);

}  // namespace varn
