// Int, Float and Bool columns of a batch from values parsed already: the
// same payload and statistics analyze_column makes of Int, Float and Bool
// cells, without a KVal per cell.
#include "format/column/column_encoding.h"

namespace varn {

namespace {

void value_statistics(uint8_t type_code, const BatchValues& values, StreamChunkColMeta& meta) {
    meta.null_count = values.null_count;
    bool seen = false;
    const bool has_nulls = !values.null.empty();
    for (size_t i = 0; i < values.v.size(); ++i) {
        if (has_nulls && values.null[i]) continue;
        // The statistic of a Float is its value truncated toward zero.
        const int64_t x = type_code == format::kTypeFloat
                              ? values.v[i] / static_cast<int64_t>(kFloatScale)
                              : values.v[i];
        widen_min_max(meta, x, seen);
    }
}

}  // namespace

bool batch_fits_schema(const TextBatch& batch, std::span<const KColumn> columns) {
    if (batch.columns != columns.size()) return false;
    for (size_t c = 0; c < columns.size(); ++c) {
        switch (columns[c].type_code) {
            case format::kTypeText: break;
            case format::kTypeInt:
            case format::kTypeFloat:
            case format::kTypeBool:
                if (c >= batch.values.size() || batch.values[c].v.size() != batch.rows) return false;
                break;
            default: return false;
        }
    }
    return true;
}

void analyze_batch_column(const KColumn& column, const TextBatch& batch, size_t col, Bytes& payload,
                          StreamChunkColMeta& meta, TextBounds* bounds) {
    if (bounds) *bounds = TextBounds{};
    if (column.type_code == format::kTypeText) {
        analyze_text_column(batch, col, payload, meta, bounds);
        return;
    }
    analyze_values_column(column, batch.values[col], payload, meta);
}

void analyze_values_column(const KColumn& column, const BatchValues& values, Bytes& payload,
                           StreamChunkColMeta& meta) {
    meta = StreamChunkColMeta{};
    payload.clear();
    value_statistics(column.type_code, values, meta);
    if (column.type_code == format::kTypeBool) {
        meta.encoding = static_cast<uint8_t>(ColumnEncoding::BitPacked);
        payload.assign((values.v.size() + 7) / 8, 0);
        for (size_t i = 0; i < values.v.size(); ++i)
            if (values.v[i]) payload[i / 8] = static_cast<uint8_t>(payload[i / 8] | (1u << (i % 8)));
        return;
    }
    if (column.type_code == format::kTypeFloat)
    {
        payload.push_back(kFloatPayloadPrefix[0]);
        payload.push_back(kFloatPayloadPrefix[1]);
    }
    const ColumnEncoding e = choose_int_encoding(values.v);
    meta.encoding = static_cast<uint8_t>(e);
    encode_int_payload(e, values.v, payload);
}

}  // namespace varn
