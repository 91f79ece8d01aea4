// Text columns: the raw text payload (LEB128 length + bytes per cell), the
// smallest and largest text, and the three-seed 4096-bit Bloom filter.
//
// This is the path every column of a converted CSV takes, so the batch
// analysis is one pass that writes the payload and tracks min and max, with
// the filter hashed per group of cells just written (still in L1).
//
// Filter hashing: a bit index is h mod 4096, and the low 12 bits of
// (h XOR b) * m depend only on the low 12 bits of h and m. So the three
// chains run in 12-bit lanes of one 64-bit word, 24 bits apart: a 12-bit by
// 12-bit product fits its 24-bit lane, and one multiply steps all three.
// Four cells are hashed side by side so the multiplies overlap.
//
// Min and max: texts are ranked first by their first eight bytes read as a
// big-endian number (zero-padded), which orders them exactly unless the
// numbers are equal; only then are the whole texts compared.
#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

#include "varn_v2/column_encoding.h"

namespace varn {

namespace {

constexpr uint64_t kLaneMask = 0xFFFull | 0xFFFull << 24 | 0xFFFull << 48;
constexpr uint64_t kLaneMul = kBloomMultiplier & 0xFFF;
constexpr uint64_t kLaneSeeds = (kBloomSeeds[0] & 0xFFF) | (kBloomSeeds[1] & 0xFFF) << 24 |
                                (kBloomSeeds[2] & 0xFFF) << 48;

// A byte value repeated in the three lanes.
constexpr auto kLaneBytes = [] {
    struct Table {
        uint64_t v[256];
    } t{};
    for (uint64_t b = 0; b < 256; ++b) t.v[b] = b | b << 24 | b << 48;
    return t;
}();

inline uint64_t lane_step(uint64_t h, uint8_t b) { return ((h ^ kLaneBytes.v[b]) & kLaneMask) * kLaneMul; }

inline uint64_t lane_hash(const uint8_t* p, size_t n) {
    uint64_t h = kLaneSeeds;
    for (size_t i = 0; i < n; ++i) h = lane_step(h, p[i]);
    return h;
}

inline void set_lane_bits(BloomFilter& bloom, uint64_t h) {
    const uint64_t b0 = h & 0xFFF, b1 = (h >> 24) & 0xFFF, b2 = (h >> 48) & 0xFFF;
    bloom[b0 >> 6] |= uint64_t{1} << (b0 & 63);
    bloom[b1 >> 6] |= uint64_t{1} << (b1 & 63);
    bloom[b2 >> 6] |= uint64_t{1} << (b2 & 63);
}

inline bool test_lane_bits(const BloomFilter& bloom, uint64_t h) {
    const uint64_t b0 = h & 0xFFF, b1 = (h >> 24) & 0xFFF, b2 = (h >> 48) & 0xFFF;
    return ((bloom[b0 >> 6] >> (b0 & 63)) & (bloom[b1 >> 6] >> (b1 & 63)) &
            (bloom[b2 >> 6] >> (b2 & 63)) & 1) != 0;
}

inline uint64_t load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

inline uint64_t big_endian(uint64_t v) {
    if constexpr (std::endian::native == std::endian::little) return __builtin_bswap64(v);
    return v;
}

// The first eight bytes of p[0..n) as a big-endian number, zero-padded. At
// least eight bytes must be readable at p when `readable` says so.
inline uint64_t prefix_key(const uint8_t* p, size_t n, bool readable) {
    if (n >= 8) return big_endian(load64(p));
    if (n == 0) return 0;
    uint64_t v = 0;
    if (readable) {
        v = load64(p);
        if constexpr (std::endian::native == std::endian::little)
            v &= ~uint64_t{0} >> (64 - 8 * n);
        else
            v &= ~uint64_t{0} << (64 - 8 * n);
    } else {
        std::memcpy(&v, p, n);
    }
    return big_endian(v);
}

// True when a[8..n) equals b[8..n) (n > 8).
inline bool same_after_key(const uint8_t* a, const uint8_t* b, size_t n) {
    size_t i = 8;
    for (; i + 8 <= n; i += 8)
        if (load64(a + i) != load64(b + i)) return false;
    return load64(a + n - 8) == load64(b + n - 8);
}

// Texts waiting to be added to the filter. Each hash is a chain of
// dependent multiplies, so they are hashed four at a time, side by side.
struct Pending {
    static constexpr size_t kSize = 64;
    const uint8_t* text[kSize];
    size_t len[kSize];
    size_t count = 0;

    void flush(BloomFilter& bloom) {
        size_t i = 0;
        for (; i + 4 <= count; i += 4) {
            const uint8_t* p0 = text[i];
            const uint8_t* p1 = text[i + 1];
            const uint8_t* p2 = text[i + 2];
            const uint8_t* p3 = text[i + 3];
            const size_t n0 = len[i], n1 = len[i + 1], n2 = len[i + 2], n3 = len[i + 3];
            const size_t common = std::min(std::min(n0, n1), std::min(n2, n3));
            uint64_t h0 = kLaneSeeds, h1 = kLaneSeeds, h2 = kLaneSeeds, h3 = kLaneSeeds;
            for (size_t j = 0; j < common; ++j) {
                h0 = lane_step(h0, p0[j]);
                h1 = lane_step(h1, p1[j]);
                h2 = lane_step(h2, p2[j]);
                h3 = lane_step(h3, p3[j]);
            }
            for (size_t j = common; j < n0; ++j) h0 = lane_step(h0, p0[j]);
            for (size_t j = common; j < n1; ++j) h1 = lane_step(h1, p1[j]);
            for (size_t j = common; j < n2; ++j) h2 = lane_step(h2, p2[j]);
            for (size_t j = common; j < n3; ++j) h3 = lane_step(h3, p3[j]);
            set_lane_bits(bloom, h0);
            set_lane_bits(bloom, h1);
            set_lane_bits(bloom, h2);
            set_lane_bits(bloom, h3);
        }
        for (; i < count; ++i) set_lane_bits(bloom, lane_hash(text[i], len[i]));
        count = 0;
    }
};

constexpr int kAddedBits = 8;
constexpr size_t kAddedSlots = size_t{1} << kAddedBits;

}  // namespace

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

void analyze_text_column(const TextBatch& batch, size_t col, Bytes& payload,
                         StreamChunkColMeta& meta) {
    meta = StreamChunkColMeta{};
    meta.encoding = static_cast<uint8_t>(ColumnEncoding::Plain);
    const size_t rows = batch.rows;
    if (rows == 0) {
        payload.clear();
        return;
    }
    const size_t stride = batch.columns;
    const TextSpan* cell = batch.cells.data() + col;
    const uint8_t* text = batch.text.data();
    const uint8_t* text_end = text + batch.text.size();
    const uint64_t* row_at = batch.row_offsets.data();

    // The column's spans are one per row of a row-major table: gather them
    // once (the only strided pass) and size the payload on the way.
    std::unique_ptr<const uint8_t*[]> at = std::make_unique_for_overwrite<const uint8_t*[]>(rows);
    std::unique_ptr<uint32_t[]> len = std::make_unique_for_overwrite<uint32_t[]>(rows);
    size_t total = 0;
    constexpr size_t kAhead = 64;  // rows between a prefetch and the use
    for (size_t r = 0; r < rows; ++r) {
        if (r + kAhead < rows) __builtin_prefetch(cell + (r + kAhead) * stride);
        const TextSpan s = cell[r * stride];
        at[r] = text + row_at[r] + s.offset;
        len[r] = s.length;
        total += s.length + (s.length < 0x80 ? 1 : leb128_size(s.length));
    }
    payload.resize(total);
    uint8_t* out = payload.data();
    uint8_t* const out_end = out + total;

    // Min and max are tracked as spans into the batch and copied once at the end.
    const uint8_t* min_p = at[0];
    size_t min_n = len[0];
    uint64_t min_key = prefix_key(min_p, min_n, text_end - min_p >= 8);
    const uint8_t* max_p = min_p;
    size_t max_n = min_n;
    uint64_t max_key = min_key;
    // Texts repeat a lot within a column, and a repeated text sets the same
    // filter bits again: a small table of texts already added (by their
    // first eight bytes, last eight bytes and length) skips most repeats.
    struct Added {
        const uint8_t* p;
        uint64_t key;
        size_t n;
    };
    Added added[kAddedSlots];
    std::fill(added, added + kAddedSlots, Added{nullptr, 0, SIZE_MAX});
    Pending pending;
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
        const uint64_t tail = n > 8 ? load64(p + n - 8) : 0;
        Added& slot = added[((key ^ (tail * 0x9E3779B97F4A7C15ull) ^ n) * 0xD6E8FEB86659FD93ull) >>
                            (64 - kAddedBits)];
        if (slot.n != n || slot.key != key || (n > 8 && !same_after_key(slot.p, p, n))) {
            slot = Added{p, key, n};
            pending.text[pending.count] = p;
            pending.len[pending.count] = n;
            if (++pending.count == Pending::kSize) pending.flush(meta.bloom);
        }
        if (key < min_key || (key == min_key && compare_text(p, n, min_p, min_n) < 0)) {
            min_p = p;
            min_n = n;
            min_key = key;
        }
        if (key > max_key || (key == max_key && compare_text(p, n, max_p, max_n) > 0)) {
            max_p = p;
            max_n = n;
            max_key = key;
        }
    }
    pending.flush(meta.bloom);
    meta.min_str.assign(reinterpret_cast<const char*>(min_p), min_n);
    meta.max_str.assign(reinterpret_cast<const char*>(max_p), max_n);
}

}  // namespace varn
