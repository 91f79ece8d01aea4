// Bulk helpers for text column statistics, shared by the writer's column
// analysis and the reader's verification, which must agree bit for bit.
//
// Filter hashing: a bit index is h mod 4096, and the low 12 bits of
// (h XOR b) * m depend only on the low 12 bits of h and m. So the three
// chains run in 12-bit lanes of one 64-bit word, 24 bits apart: a 12-bit by
// 12-bit product fits its 24-bit lane, and one multiply steps all three.
// BloomBuilder hashes four texts side by side so the multiplies overlap, and
// skips texts it has just added (a repeat sets the same bits).
//
// Min and max: texts are ranked first by their first eight bytes read as a
// big-endian number (zero-padded), which orders them exactly unless the
// numbers are equal; only then are the whole texts compared.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "format/column/column_encoding.h"

namespace varn::text_stats {

inline constexpr uint64_t kLaneMask = 0xFFFull | 0xFFFull << 24 | 0xFFFull << 48;
inline constexpr uint64_t kLaneMul = kBloomMultiplier & 0xFFF;
inline constexpr uint64_t kLaneSeeds = (kBloomSeeds[0] & 0xFFF) | (kBloomSeeds[1] & 0xFFF) << 24 |
                                       (kBloomSeeds[2] & 0xFFF) << 48;

// A byte value repeated in the three lanes.
struct LaneBytes {
    uint64_t v[256];
};
inline constexpr LaneBytes kLaneBytes = [] {
    LaneBytes t{};
    for (uint64_t b = 0; b < 256; ++b) t.v[b] = b | b << 24 | b << 48;
    return t;
}();

inline uint64_t lane_step(uint64_t h, uint8_t b) {
    return ((h ^ kLaneBytes.v[b]) & kLaneMask) * kLaneMul;
}

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

// Byte-wise order (as compare_text) of two texts whose prefix keys are
// equal. Then their first min(an, bn, 8) bytes are equal, so a text of at
// most eight bytes is a prefix of the other; longer ones are settled by
// the next eight bytes, mostly without a call.
inline int compare_tied(const uint8_t* a, size_t an, const uint8_t* b, size_t bn) {
    if (an <= 8 || bn <= 8) return an < bn ? -1 : (an > bn ? 1 : 0);
    if (an >= 16 && bn >= 16) {
        const uint64_t x = big_endian(load64(a + 8)), y = big_endian(load64(b + 8));
        if (x != y) return x < y ? -1 : 1;
    }
    return compare_text(a + 8, an - 8, b + 8, bn - 8);
}

// True when a[8..n) equals b[8..n) (n > 8).
inline bool same_after_key(const uint8_t* a, const uint8_t* b, size_t n) {
    size_t i = 8;
    for (; i + 8 <= n; i += 8)
        if (load64(a + i) != load64(b + i)) return false;
    return load64(a + n - 8) == load64(b + n - 8);
}

// The least and greatest text of a column, ranked byte-wise (a text that
// is a prefix of another comes first), kept as views with their prefix
// keys: most comparisons are settled by the keys alone. The writer's text
// analysis and the verifier rank the same way through this.
class TextRange {
public:
    // The first text: both ends.
    void start(ByteView t, uint64_t key) {
        lo_ = hi_ = t;
        lo_key_ = hi_key_ = key;
    }
    void add(ByteView t, uint64_t key) {
        if (key < lo_key_ || (key == lo_key_ && compare_tied(t.data(), t.size(), lo_.data(), lo_.size()) < 0)) {
            lo_ = t;
            lo_key_ = key;
        }
        if (key > hi_key_ || (key == hi_key_ && compare_tied(t.data(), t.size(), hi_.data(), hi_.size()) > 0)) {
            hi_ = t;
            hi_key_ = key;
        }
    }
    ByteView min() const { return lo_; }
    ByteView max() const { return hi_; }

private:
    ByteView lo_, hi_;
    uint64_t lo_key_ = 0, hi_key_ = 0;
};

// Adds texts to a Bloom filter in bulk. The texts must stay in place until
// flush(), which adds whatever is still pending; it must be called last.
class BloomBuilder {
public:
    explicit BloomBuilder(BloomFilter& bloom) : bloom_(bloom) {
        std::fill(added_, added_ + kAddedSlots, Added{nullptr, 0, SIZE_MAX});
    }

    // `key` is prefix_key(p, n, ...).
    void add(const uint8_t* p, size_t n, uint64_t key) {
        const uint64_t tail = n > 8 ? load64(p + n - 8) : 0;
        Added& slot = added_[((key ^ (tail * 0x9E3779B97F4A7C15ull) ^ n) * 0xD6E8FEB86659FD93ull) >>
                             (64 - kAddedBits)];
        if (slot.n == n && slot.key == key && (n <= 8 || same_after_key(slot.p, p, n))) return;
        slot = Added{p, key, n};
        text_[count_] = p;
        len_[count_] = n;
        if (++count_ == kPending) flush();
    }

    void flush();

private:
    // Texts already added, by their first eight bytes, last eight bytes and
    // length: most repeats within a column are caught here.
    static constexpr int kAddedBits = 8;
    static constexpr size_t kAddedSlots = size_t{1} << kAddedBits;
    struct Added {
        const uint8_t* p;
        uint64_t key;
        size_t n;
    };
    static constexpr size_t kPending = 64;

    BloomFilter& bloom_;
    Added added_[kAddedSlots];
    const uint8_t* text_[kPending];
    size_t len_[kPending];
    size_t count_ = 0;
};

inline void BloomBuilder::flush() {
    size_t i = 0;
    for (; i + 4 <= count_; i += 4) {
        const uint8_t* p0 = text_[i];
        const uint8_t* p1 = text_[i + 1];
        const uint8_t* p2 = text_[i + 2];
        const uint8_t* p3 = text_[i + 3];
        const size_t n0 = len_[i], n1 = len_[i + 1], n2 = len_[i + 2], n3 = len_[i + 3];
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
        set_lane_bits(bloom_, h0);
        set_lane_bits(bloom_, h1);
        set_lane_bits(bloom_, h2);
        set_lane_bits(bloom_, h3);
    }
    for (; i < count_; ++i) set_lane_bits(bloom_, lane_hash(text_[i], len_[i]));
    count_ = 0;
}

}  // namespace varn::text_stats
