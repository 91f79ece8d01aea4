// Column encoding: the schema column, the per-column-per-chunk statistics
// record, and the analysis that turns one column of a batch into its payload
// bytes and statistics.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"
#include "common/bytes.h"
#include "format/format.h"
#include "format/column/kval.h"
#include "format/column/text_batch.h"

namespace varn {

enum class ColumnEncoding : uint8_t {
    Plain = 0,
    Rle = 1,
    Delta = 2,
    BitPacked = 4,
    ConstDelta = 6,
    FrameOfReference = 7,
};

// One schema column. A key of all zero bytes means "no key".
struct KColumn {
    std::string name;
    std::array<uint8_t, 32> key{};
    uint8_t flags = 0;  // bit 0: encrypt this column's records
    uint8_t type_code = format::kTypeText;
};

using BloomFilter = std::array<uint64_t, format::kBloomWords>;

// Statistics and position of one column record, kept until finish().
struct StreamChunkColMeta {
    std::string min_str;
    std::string max_str;
    int64_t min = 0;
    int64_t max = 0;
    uint32_t null_count = 0;
    uint64_t block_offset = 0;
    uint64_t block_len = 0;
    BloomFilter bloom{};
    uint8_t encoding = 0;
};

// Takes x into [meta.min, meta.max] of an Int, Float or Bool column; the
// first value (`seen` false) sets both.
inline void widen_min_max(StreamChunkColMeta& meta, int64_t x, bool& seen) {
    if (!seen) {
        meta.min = meta.max = x;
        seen = true;
    } else {
        meta.min = x < meta.min ? x : meta.min;
        meta.max = x > meta.max ? x : meta.max;
    }
}

// ---------------------------------------------------------------------------
// Text columns (every column of a converted CSV).

// The three seeds of the Bloom filter, and the hash multiplier.
inline constexpr uint64_t kBloomSeeds[3] = {0x9e3779b97f4a7c15ULL, 0x6c62272e07bb0142ULL,
                                            0xbf58476d1ce4e5b9ULL};
inline constexpr uint64_t kBloomMultiplier = 0x517cc1b727220a95ULL;

// Sets the three bits of `text` in the filter.
void bloom_add(BloomFilter& bloom, const uint8_t* text, size_t len);
// True when every bit `text` would set is set (the value may be present).
bool bloom_may_contain(const BloomFilter& bloom, const uint8_t* text, size_t len);

// Byte-wise order: unsigned bytes, a proper prefix is smaller.
int compare_text(const uint8_t* a, size_t alen, const uint8_t* b, size_t blen);

// Raw text payload: for each text, LEB128 length then bytes. Appends to out.
void encode_raw_str(std::span<const ByteView> texts, Bytes& out);

// Running min/max text, null count and Bloom filter of a Text column, fed
// cell by cell in row order. Null cells count as the empty text in the filter
// but take no part in min/max.
class TextColumnStats {
public:
    explicit TextColumnStats(StreamChunkColMeta& meta) : meta_(meta) {}
    void add_null();
    void add(const uint8_t* text, size_t len);

private:
    StreamChunkColMeta& meta_;
    bool seen_ = false;
};

// The smallest and largest text of a text column, where they lie in the
// batch. A writer that is handed these copies them into the statistics only
// after the record is compressed and its payload released, so that one huge
// cell is not held in the batch, the payload, the statistics and the
// compressor's scratch at once.
struct TextBounds {
    ByteView min, max;
    bool set = false;
};
// Copies the bounds into meta.min_str and meta.max_str (nothing when not set).
void keep_text_bounds(const TextBounds& bounds, StreamChunkColMeta& meta);

// Payload (raw text) and statistics of column `col` of a text batch: the
// same bytes the generic analysis gives for Str cells in a Text column.
// With `bounds`, the minimum and maximum text are left there for
// keep_text_bounds instead of being copied into meta.
void analyze_text_column(const TextBatch& batch, size_t col, Bytes& payload,
                         StreamChunkColMeta& meta, TextBounds* bounds = nullptr);

// Payload and statistics of column `col` of a batch: its text, or for an
// Int, Float or Bool column its parsed values, giving the same bytes as
// analyze_column gives for the same cells as KVal rows. `bounds` as for
// analyze_text_column (left unset for the other types).
void analyze_batch_column(const KColumn& column, const TextBatch& batch, size_t col, Bytes& payload,
                          StreamChunkColMeta& meta, TextBounds* bounds = nullptr);
// The same for an Int, Float or Bool column whose values are given apart
// from the batch.
void analyze_values_column(const KColumn& column, const BatchValues& values, Bytes& payload,
                           StreamChunkColMeta& meta);
// True when the batch can be written for this schema: Text columns, and
// Int, Float or Bool columns whose values hold one per row.
bool batch_fits_schema(const TextBatch& batch, std::span<const KColumn> columns);

// ---------------------------------------------------------------------------
// Any column type, over rows of KVal cells. Fills every field of `meta` but
// block_offset and block_len, and replaces `payload`.
void analyze_column(const KColumn& column, std::span<const Row> rows, size_t col, Bytes& payload,
                    StreamChunkColMeta& meta);

// Typed encoders, coercions and payload decoders are declared below.
// ---------------------------------------------------------------------------
//
// Type codes and what analyze_column makes of them (format::TypeCode):
//   0            flags (coerce_flag), bit-packed, encoding Plain
//   1 Int        integers (coerce_int), Rle / Delta / ConstDelta / FrameOfReference
//   2 Float      scaled integers (coerce_scaled), as Int behind the two bytes FE 04
//   3 Bool       flags (coerce_flag), bit-packed, encoding BitPacked
//   4 Text       raw text (coerce_text), encoding Plain, min/max text and Bloom filter
//   5, 9-255     byte strings (coerce_bytes), LEB128 length + bytes, encoding Plain
//   6, 7, 8      nested values (nested_value.h), LEB128 length + encoding, Plain
// Int, Float and Bool columns also record min and max of the statistic_value
// of their non-Null cells. Every column counts its Null cells. Integer
// encoders are in integer_encoders.h, payload decoders in column_decoding.h.

// Declaring a schema column. Every column of a converted CSV is what
// make_column(name) gives: Text, flags 0, no key. An encrypted column sets flags bit 0
// and carries its 32-byte AES-256 key; with an all-zero key it is written in
// clear (the flag alone does nothing).
inline KColumn make_column(std::string name, uint8_t type_code = format::kTypeText) {
    KColumn c;
    c.name = std::move(name);
    c.type_code = type_code;
    return c;
}
inline KColumn make_encrypted_column(std::string name, uint8_t type_code,
                                     const std::array<uint8_t, 32>& key) {
    KColumn c = make_column(std::move(name), type_code);
    c.key = key;
    c.flags = format::kFlagEncrypt;
    return c;
}

// Cell coercions. Each maps any cell to one value and never fails.
// Integer: Int as is; Float truncated toward zero, saturating, NaN -> 0;
// Bool 0/1; anything else 0.
int64_t coerce_int(const KVal& cell);
// Scaled integer (Float columns, units of 1/10000): x = Float, or Int
// converted to double, else 0.0; then x * 10000 rounded half away from zero,
// saturating, NaN -> 0.
int64_t coerce_scaled(const KVal& cell);
// Flag: Str "true" (ASCII case-insensitive) or "1"; Bool; Int != 0; else false.
bool coerce_flag(const KVal& cell);
// Text: the bytes of a Str, else empty.
ByteView coerce_text(const KVal& cell);
// Statistic value of Int, Float and Bool columns (min and max): the same as
// coerce_int, so a Float counts truncated, not scaled.
int64_t statistic_value(const KVal& cell);
// Byte string: the bytes of a Bytes cell, else empty.
ByteView coerce_bytes(const KVal& cell);

// The saturating double -> int64 conversion of the coercions: truncates
// toward zero; NaN gives 0, values beyond the range give its limits.
int64_t saturate_to_int64(double x);

// The encoding an Int or Float column of these values gets: ConstDelta for
// fewer than three values or one common (wrapping) difference; otherwise the
// shortest of FrameOfReference (only when max - min < 2^32), Delta and Rle,
// ties going to FrameOfReference, then Delta.
ColumnEncoding choose_int_encoding(std::span<const int64_t> v);
// Appends the encoding `e` (Rle, Delta, ConstDelta or FrameOfReference) of v.
void encode_int_payload(ColumnEncoding e, std::span<const int64_t> v, Bytes& out);

// The two bytes that open every Float column payload (values in 1/10000).
inline constexpr uint8_t kFloatPayloadPrefix[2] = {0xFE, 0x04};
inline constexpr double kFloatScale = 10000.0;

}  // namespace varn
