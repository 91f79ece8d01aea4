// Column analysis over rows of KVal cells: the coercion of each cell to the
// column's value type, the statistics, the choice of encoding and the payload,
// for every type code. Numeric columns are coerced once into a plain int64
// array; the choice among the integer encoders measures candidate lengths in
// one pass instead of building them, and only the chosen one is written.
#include <cmath>
#include <limits>

#include "format/column/column_encoding.h"
#include "format/column/integer_encoders.h"
#include "format/column/nested_value.h"
#include "format/type_codes.h"

namespace varn {

namespace {

constexpr uint8_t kEmptyText[1] = {0};

// The cell of `row` at column `col`; Null past the row's end.
inline const KVal& cell_at(const Row& row, size_t col) {
    static const KVal kNull;
    return col < row.size() ? row[col] : kNull;
}

inline bool ascii_lower_equals(const std::string& s, const char* lower, size_t n) {
    if (s.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

inline uint64_t wrap_sub(int64_t a, int64_t b) {
    return static_cast<uint64_t>(a) - static_cast<uint64_t>(b);
}

// Minimum and maximum statistic_value of the non-Null cells (both 0 when
// there is none), and the Null count.
void numeric_statistics(std::span<const Row> rows, size_t col, StreamChunkColMeta& meta) {
    bool seen = false;
    for (const Row& row : rows) {
        const KVal& c = cell_at(row, col);
        if (c.is_null()) {
            ++meta.null_count;
            continue;
        }
        int64_t x = statistic_value(c);
        widen_min_max(meta, x, seen);
    }
}

void count_nulls(std::span<const Row> rows, size_t col, StreamChunkColMeta& meta) {
    for (const Row& row : rows) meta.null_count += cell_at(row, col).is_null() ? 1u : 0u;
}

void analyze_numeric(uint8_t type_code, std::span<const Row> rows, size_t col, Bytes& payload,
                     StreamChunkColMeta& meta) {
    std::vector<int64_t> v;
    v.reserve(rows.size());
    if (type_code == format::kTypeInt) {
        for (const Row& row : rows) v.push_back(coerce_int(cell_at(row, col)));
    } else {
        for (const Row& row : rows) v.push_back(coerce_scaled(cell_at(row, col)));
        payload.insert(payload.end(), std::begin(kFloatPayloadPrefix), std::end(kFloatPayloadPrefix));
    }
    numeric_statistics(rows, col, meta);
    ColumnEncoding e = choose_int_encoding(v);
    meta.encoding = static_cast<uint8_t>(e);
    encode_int_payload(e, v, payload);
}

// Flags packed eight to a byte, row i at bit i % 8 of byte i / 8.
void analyze_flags(std::span<const Row> rows, size_t col, Bytes& payload) {
    size_t at = payload.size();
    payload.resize(at + (rows.size() + 7) / 8, 0);
    uint8_t* p = payload.data() + at;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (coerce_flag(cell_at(rows[i], col))) p[i / 8] = static_cast<uint8_t>(p[i / 8] | (1u << (i % 8)));
    }
}

// Same bytes and statistics as analyze_text_column gives for a text batch.
void analyze_text(std::span<const Row> rows, size_t col, Bytes& payload, StreamChunkColMeta& meta) {
    std::vector<ByteView> texts;
    texts.reserve(rows.size());
    TextColumnStats stats(meta);
    for (const Row& row : rows) {
        const KVal& c = cell_at(row, col);
        ByteView t = coerce_text(c);
        texts.push_back(t);
        if (c.is_null()) {
            stats.add_null();
        } else {
            stats.add(t.empty() ? kEmptyText : t.data(), t.size());
        }
    }
    encode_raw_str(texts, payload);
}

void analyze_bytes(std::span<const Row> rows, size_t col, Bytes& payload, StreamChunkColMeta& meta) {
    std::vector<ByteView> blobs;
    blobs.reserve(rows.size());
    for (const Row& row : rows) blobs.push_back(coerce_bytes(cell_at(row, col)));
    count_nulls(rows, col, meta);
    encode_raw_str(blobs, payload);  // the same LEB128 length + bytes layout
}

void analyze_nested(std::span<const Row> rows, size_t col, Bytes& payload, StreamChunkColMeta& meta) {
    NestedValueEncoder encoder;
    for (const Row& row : rows) encoder.encode(cell_at(row, col), payload, /*length_prefixed=*/true);
    count_nulls(rows, col, meta);
}

}  // namespace

int64_t saturate_to_int64(double x) {
    constexpr double kTwo63 = 9223372036854775808.0;
    if (std::isnan(x)) return 0;
    if (x >= kTwo63) return std::numeric_limits<int64_t>::max();
    if (x < -kTwo63) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(x);  // truncates toward zero
}

int64_t coerce_int(const KVal& cell) {
    switch (cell.kind()) {
        case KVal::Kind::Int: return std::get<int64_t>(cell.v);
        case KVal::Kind::Float: return saturate_to_int64(std::get<double>(cell.v));
        case KVal::Kind::Bool: return std::get<bool>(cell.v) ? 1 : 0;
        default: return 0;
    }
}

int64_t coerce_scaled(const KVal& cell) {
    double x = 0.0;
    if (cell.kind() == KVal::Kind::Float) {
        x = std::get<double>(cell.v);
    } else if (cell.kind() == KVal::Kind::Int) {
        x = static_cast<double>(std::get<int64_t>(cell.v));
    }
    return saturate_to_int64(std::round(x * kFloatScale));  // std::round: halves away from zero
}

bool coerce_flag(const KVal& cell) {
    switch (cell.kind()) {
        case KVal::Kind::Str: {
            const std::string& s = std::get<std::string>(cell.v);
            return ascii_lower_equals(s, "true", 4) || s == "1";
        }
        case KVal::Kind::Bool: return std::get<bool>(cell.v);
        case KVal::Kind::Int: return std::get<int64_t>(cell.v) != 0;
        default: return false;
    }
}

ByteView coerce_text(const KVal& cell) {
    if (cell.kind() != KVal::Kind::Str) return {};
    const std::string& s = std::get<std::string>(cell.v);
    return as_bytes(s.data(), s.size());
}

int64_t statistic_value(const KVal& cell) { return coerce_int(cell); }

ByteView coerce_bytes(const KVal& cell) {
    if (cell.kind() != KVal::Kind::Bytes) return {};
    return as_bytes(std::get<Bytes>(cell.v));
}

ColumnEncoding choose_int_encoding(std::span<const int64_t> v) {
    const size_t n = v.size();
    if (n < 3) return ColumnEncoding::ConstDelta;

    // One pass: common-difference test, range, and the Rle and Delta lengths.
    const uint64_t d0 = wrap_sub(v[1], v[0]);
    bool constant_step = true;
    int64_t lo = v[0], hi = v[0];
    size_t delta = leb128_length(zigzag_encode(v[0]));
    size_t rle_body = 0, runs = 0, run_start = 0;
    for (size_t i = 1; i < n; ++i) {
        const uint64_t d = wrap_sub(v[i], v[i - 1]);
        constant_step = constant_step && d == d0;
        delta += leb128_length(zigzag_encode(static_cast<int64_t>(d)));
        lo = v[i] < lo ? v[i] : lo;
        hi = v[i] > hi ? v[i] : hi;
        if (d != 0) {
            rle_body += leb128_length(i - run_start) + leb128_length(zigzag_encode(v[run_start]));
            ++runs;
            run_start = i;
        }
    }
    if (constant_step) return ColumnEncoding::ConstDelta;
    rle_body += leb128_length(n - run_start) + leb128_length(zigzag_encode(v[run_start]));
    ++runs;
    const size_t rle = leb128_length(runs) + rle_body;

    if (wrap_sub(hi, lo) <= 0xFFFFFFFFu) {
        const size_t w = for_bit_width(lo, hi);
        const size_t f = leb128_length(zigzag_encode(lo)) + 1 + (n / 8) * w + ((n % 8) * w + 7) / 8;
        if (f <= rle && f <= delta) return ColumnEncoding::FrameOfReference;
    }
    return delta <= rle ? ColumnEncoding::Delta : ColumnEncoding::Rle;
}

void encode_int_payload(ColumnEncoding e, std::span<const int64_t> v, Bytes& out) {
    switch (e) {
        case ColumnEncoding::Rle: encode_rle_int(v, out); break;
        case ColumnEncoding::Delta: encode_delta_int(v, out); break;
        case ColumnEncoding::FrameOfReference: encode_for(v, out); break;
        default: encode_cdelta(v, out); break;
    }
}

void analyze_column(const KColumn& column, std::span<const Row> rows, size_t col, Bytes& payload,
                    StreamChunkColMeta& meta) {
    meta = StreamChunkColMeta{};
    payload.clear();
    switch (format::kind_of(column.type_code)) {
        case format::ColumnKind::Int:
        case format::ColumnKind::Float:
            analyze_numeric(column.type_code, rows, col, payload, meta);
            break;
        case format::ColumnKind::Flags:
            // Bool keeps the cells' minimum and maximum and packs its bits;
            // none only counts its nulls.
            if (format::type_info(column.type_code).int_range) {
                meta.encoding = static_cast<uint8_t>(ColumnEncoding::BitPacked);
                numeric_statistics(rows, col, meta);
            } else {
                count_nulls(rows, col, meta);
            }
            analyze_flags(rows, col, payload);
            break;
        case format::ColumnKind::Text: analyze_text(rows, col, payload, meta); break;
        case format::ColumnKind::Nested: analyze_nested(rows, col, payload, meta); break;
        case format::ColumnKind::Bytes: analyze_bytes(rows, col, payload, meta); break;
    }
}

}  // namespace varn
