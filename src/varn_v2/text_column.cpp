// Text columns: the raw text payload (LEB128 length + bytes per cell), the
// smallest and largest text, and the three-seed 4096-bit Bloom filter.
// This is the path every column of a converted CSV takes, so it runs one pass
// for the payload and statistics together and keeps the three filter hashes
// in independent chains the CPU can overlap.
#include <algorithm>
#include <cstring>

#include "varn_v2/column_encoding.h"

namespace varn {

namespace {

inline void bloom_hashes(const uint8_t* p, size_t n, uint64_t& h0, uint64_t& h1, uint64_t& h2) {
    uint64_t a = kBloomSeeds[0], b = kBloomSeeds[1], c = kBloomSeeds[2];
    for (size_t i = 0; i < n; ++i) {
        uint64_t x = p[i];
        a = (a ^ x) * kBloomMultiplier;
        b = (b ^ x) * kBloomMultiplier;
        c = (c ^ x) * kBloomMultiplier;
    }
    h0 = a;
    h1 = b;
    h2 = c;
}

inline void set_bit(BloomFilter& bloom, uint64_t h) {
    uint64_t bit = h % format::kBloomBits;
    bloom[bit >> 6] |= uint64_t{1} << (bit & 63);
}

inline bool test_bit(const BloomFilter& bloom, uint64_t h) {
    uint64_t bit = h % format::kBloomBits;
    return (bloom[bit >> 6] >> (bit & 63)) & 1;
}

}  // namespace

void bloom_add(BloomFilter& bloom, const uint8_t* text, size_t len) {
    uint64_t h0, h1, h2;
    bloom_hashes(text, len, h0, h1, h2);
    set_bit(bloom, h0);
    set_bit(bloom, h1);
    set_bit(bloom, h2);
}

bool bloom_may_contain(const BloomFilter& bloom, const uint8_t* text, size_t len) {
    uint64_t h0, h1, h2;
    bloom_hashes(text, len, h0, h1, h2);
    return test_bit(bloom, h0) && test_bit(bloom, h1) && test_bit(bloom, h2);
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

void analyze_text_column(const TextBatch& batch, size_t col, Bytes& payload,
                         StreamChunkColMeta& meta) {
    meta = StreamChunkColMeta{};
    meta.encoding = static_cast<uint8_t>(ColumnEncoding::Plain);
    const size_t rows = batch.rows;
    const size_t stride = batch.columns;
    const TextSpan* cell = batch.cells.data() + col;
    const uint8_t* text = batch.text.data();

    size_t total = 0;
    for (size_t r = 0; r < rows; ++r) {
        uint32_t len = cell[r * stride].length;
        total += len + leb128_size(len);
    }
    payload.resize(total);
    uint8_t* out = payload.data();

    // Min and max are tracked as spans into the batch and copied once at the end.
    const uint8_t* min_p = nullptr;
    size_t min_n = 0;
    const uint8_t* max_p = nullptr;
    size_t max_n = 0;
    for (size_t r = 0; r < rows; ++r) {
        const TextSpan s = cell[r * stride];
        const uint8_t* p = text + batch.row_offsets[r] + s.offset;
        out += leb128_put(out, s.length);
        if (s.length) std::memcpy(out, p, s.length);
        out += s.length;
        bloom_add(meta.bloom, p, s.length);
        if (r == 0) {
            min_p = max_p = p;
            min_n = max_n = s.length;
        } else {
            if (compare_text(p, s.length, min_p, min_n) < 0) {
                min_p = p;
                min_n = s.length;
            }
            if (compare_text(p, s.length, max_p, max_n) > 0) {
                max_p = p;
                max_n = s.length;
            }
        }
    }
    if (rows) {
        meta.min_str.assign(reinterpret_cast<const char*>(min_p), min_n);
        meta.max_str.assign(reinterpret_cast<const char*>(max_p), max_n);
    }
}

}  // namespace varn
