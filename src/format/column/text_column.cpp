// Text columns: the raw text payload (LEB128 length + bytes per cell), the
// smallest and largest text, and the three-seed 4096-bit Bloom filter.
//
// This is the path every column of a converted CSV takes, so the batch
// analysis is one pass that writes the payload and tracks min and max, with
// the filter hashed per group of cells just written (still in L1).
//
// The filter hashing and the min/max ranking are in text_stats.h.
#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

#include "format/column/column_encoding.h"
#include "format/column/text_stats.h"

namespace varn {

using namespace text_stats;

void bloom_add(BloomFilter& bloom, const uint8_t* text, size_t len) {
    set_lane_bits(bloom, lane_hash(text, len));
}

bool bloom_may_contain(const BloomFilter& bloom, const uint8_t* text, size_t len) {
    return test_lane_bits(bloom, lane_hash(text, len));
}

int compare_text(const uint8_t* a, size_t alen, const uint8_t* b, size_t blen) {
    size_t n = std::min(alen, blen);
    int c = n ? std::memcmp(a, b, n) : 0;
    if (c != 0) return c < 0 ? -1 : 1;
    return alen < blen ? -1 : (alen > blen ? 1 : 0);
}

void encode_raw_str(std::span<const ByteView> texts, Bytes& out) {
    size_t total = 0;
    for (const ByteView& t : texts) total += t.size() + leb128_size(t.size());
    size_t at = out.size();
    out.resize(at + total);
    uint8_t* p = out.data() + at;
    for (const ByteView& t : texts) {
        p += leb128_put(p, t.size());
        if (!t.empty()) std::memcpy(p, t.data(), t.size());
        p += t.size();
    }
}

void TextColumnStats::add_null() {
    ++meta_.null_count;
    bloom_add(meta_.bloom, nullptr, 0);
}

void TextColumnStats::add(const uint8_t* text, size_t len) {
    bloom_add(meta_.bloom, text, len);
    const char* s = reinterpret_cast<const char*>(text);
    if (!seen_) {
        seen_ = true;
        meta_.min_str.assign(s, len);
        meta_.max_str.assign(s, len);
        return;
    }
    auto as_u8 = [](const std::string& x) { return reinterpret_cast<const uint8_t*>(x.data()); };
    if (compare_text(text, len, as_u8(meta_.min_str), meta_.min_str.size()) < 0) {
        meta_.min_str.assign(s, len);
    }
    if (compare_text(text, len, as_u8(meta_.max_str), meta_.max_str.size()) > 0) {
        meta_.max_str.assign(s, len);
    }
}

void keep_text_bounds(const TextBounds& bounds, StreamChunkColMeta& meta) {
    if (!bounds.set) return;
    meta.min_str.assign(reinterpret_cast<const char*>(bounds.min.data()), bounds.min.size());
    meta.max_str.assign(reinterpret_cast<const char*>(bounds.max.data()), bounds.max.size());
}

void analyze_text_column(const TextBatch& batch, size_t col, Bytes& payload,
                         StreamChunkColMeta& meta, TextBounds* bounds) {
    meta = StreamChunkColMeta{};
    if (bounds) *bounds = TextBounds{};
    meta.encoding = static_cast<uint8_t>(ColumnEncoding::Plain);
    const size_t rows = batch.rows;
    if (rows == 0) {
        payload.clear();
        return;
    }
    const TextSpan* cell = batch.cells.data() + col * batch.stride;
    const uint8_t* text = batch.text.data();
    const uint8_t* text_end = text + batch.text.size();
    const uint64_t* row_at = batch.row_offsets.data();

    // Resolve the column's spans to text pointers once and size the payload
    // on the way. The main loop then finds each text without waiting on the
    // row offset and the span (dropping this pass cost a 100-column table
    // of short cells 5%).
    std::unique_ptr<const uint8_t*[]> at = std::make_unique_for_overwrite<const uint8_t*[]>(rows);
    std::unique_ptr<uint32_t[]> len = std::make_unique_for_overwrite<uint32_t[]>(rows);
    size_t total = 0;
    for (size_t r = 0; r < rows; ++r) {
        const TextSpan s = cell[r];
        at[r] = text + row_at[r] + s.offset;
        len[r] = s.length;
        total += s.length + (s.length < 0x80 ? 1 : leb128_size(s.length));
    }
    payload.resize(total);
    uint8_t* out = payload.data();
    uint8_t* const out_end = out + total;

    // Min and max are tracked as spans into the batch and copied once at the end.
    TextRange range;
    range.start(ByteView(at[0], len[0]), prefix_key(at[0], len[0], text_end - at[0] >= 8));
    BloomBuilder bloom(meta.bloom);
    for (size_t r = 0; r < rows; ++r) {
        const uint8_t* p = at[r];
        const size_t n = len[r];
        if (n < 0x80)
            *out++ = static_cast<uint8_t>(n);
        else
            out += leb128_put(out, n);
        if (n <= 16 && text_end - p >= 16 && out_end - out >= 16) {
            std::memcpy(out, p, 16);  // the bytes past n are overwritten next
        } else if (n) {
            std::memcpy(out, p, n);
        }
        out += n;

        const uint64_t key = prefix_key(p, n, text_end - p >= 8);
        bloom.add(p, n, key);
        range.add(ByteView(p, n), key);
    }
    bloom.flush();
    const TextBounds found{range.min(), range.max(), true};
    if (bounds)
        *bounds = found;
    else
        keep_text_bounds(found, meta);
}

}  // namespace varn
