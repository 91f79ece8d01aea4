// The fast and small compression levels: two more parses into the same LZ
// stream format, and their candidate choice. Kept apart from the default
// parse (lz77.cpp), whose output bytes are fixed.
//
// Fast: one hash table slot per hash of six bytes (the shortest copy), one
// probe per position, no deferral; the step grows through stretches that do
// not match, a found match is first extended backwards over the literals
// before it, and inside a copy only two positions enter the table.
//
// Small: hash chains over the 64 KiB window, searched deeper than the
// default parse, and a shortest-path parse per segment of the input whose
// token costs are the code lengths of a Huffman code for the stream made so
// far (a first pass over each segment gives the statistics of its own
// stream). Positions inside a long match are not searched: that match is
// taken.
#include <algorithm>
#include <bit>
#include <cstring>

#include "format/block/block_internal.h"

namespace varn {
namespace block {
namespace {

constexpr uint32_t kMinCopy = 6;
constexpr uint32_t kMaxCopy = 65535;
constexpr uint32_t kMaxDistance = 65535;
constexpr size_t kLevelMinInput = 16;  // shorter inputs take the default path

inline size_t match_length(const uint8_t* a, const uint8_t* b, size_t limit) {
    size_t i = 0;
    while (i + 8 <= limit) {
        const uint64_t x = load64(a + i) ^ load64(b + i);
        if (x != 0) return i + (static_cast<size_t>(std::countr_zero(x)) >> 3);
        i += 8;
    }
    while (i < limit && a[i] == b[i]) ++i;
    return i;
}

// Hash of the six bytes at the low end of w.
inline uint32_t hash6(uint64_t w) { return static_cast<uint32_t>(((w << 16) * 0x9E3779B97F4A7C15ull) >> 48); }

inline uint8_t* put_copy(uint8_t* op, uint32_t dist, uint32_t len) {
    op[0] = 0xFF;
    op[1] = static_cast<uint8_t>(dist);
    op[2] = static_cast<uint8_t>(dist >> 8);
    op[3] = static_cast<uint8_t>(len);
    op[4] = static_cast<uint8_t>(len >> 8);
    return op + 5;
}

// Literals in[0..n), 0xFF escaped; eight at a time while none is 0xFF. The
// output has room for five bytes per literal plus eight.
inline uint8_t* put_literals(const uint8_t* in, size_t n, uint8_t* op) {
    constexpr uint64_t kOnes = 0x0101010101010101ULL, kHigh = 0x8080808080808080ULL;
    size_t i = 0;
    while (i + 8 <= n) {
        const uint64_t w = load64(in + i);
        const uint64_t x = ~w;
        if (((x - kOnes) & ~x & kHigh) != 0) break;
        std::memcpy(op, in + i, 8);
        op += 8;
        i += 8;
    }
    for (; i < n; ++i) {
        if (in[i] != 0xFF) {
            *op++ = in[i];
        } else {
            const uint8_t esc[5] = {0xFF, 0, 0, 1, 0};
            std::memcpy(op, esc, 5);
            op += 5;
        }
    }
    return op;
}

// Readies a table of per-call base offsets for a call storing n positions:
// allocated zeroed on first use, cleared when the values would pass 32 bits.
void ready_table(std::unique_ptr<uint32_t[]>& table, size_t entries, uint32_t& base, size_t n) {
    if (!table) {
        table = std::make_unique<uint32_t[]>(entries);  // zeroed
        base = 0;
    }
    if (uint64_t{base} + n > UINT32_MAX) {
        std::memset(table.get(), 0, entries * sizeof(uint32_t));
        base = 0;
    }
}

uint8_t* fast_parse(uint32_t* head, uint32_t base1, const uint8_t* in, size_t n, uint8_t* op) {
    const size_t last = n - 8;  // positions p <= last can load eight bytes
    size_t p = 0, anchor = 0;
    uint32_t misses = 0;
    while (p <= last) {
        const uint64_t w = load64(in + p);
        uint32_t* slot = head + hash6(w);
        const uint32_t c = *slot;
        const uint32_t qv = static_cast<uint32_t>(p) + base1;
        *slot = qv;
        if (c < base1 || qv - c > kMaxDistance || ((load64(in + (c - base1)) ^ w) << 16) != 0) {
            // The step grows by one every 32 misses in a row.
            p += 1 + (misses++ >> 5);
            continue;
        }
        size_t cand = c - base1;
        while (p > anchor && cand > 0 && in[p - 1] == in[cand - 1]) {
            --p;
            --cand;
        }
        const size_t len = match_length(in + cand, in + p, std::min<size_t>(n - p, kMaxCopy));
        op = put_literals(in + anchor, p - anchor, op);
        op = put_copy(op, static_cast<uint32_t>(p - cand), static_cast<uint32_t>(len));
        // Two positions of the copy enter the table: its second and its
        // next to last.
        if (p + 1 <= last) head[hash6(load64(in + p + 1))] = static_cast<uint32_t>(p + 1) + base1;
        if (len > 3 && p + len - 2 <= last)
            head[hash6(load64(in + p + len - 2))] = static_cast<uint32_t>(p + len - 2) + base1;
        p += len;
        anchor = p;
        misses = 0;
    }
    return put_literals(in + anchor, n - anchor, op);
}

// ---- small ----

constexpr size_t kSegment = size_t{1} << 17;  // positions per shortest-path parse
constexpr int kChain = 48;                    // candidates per search
constexpr uint32_t kTakeWhole = 192;          // a longer match is taken without parsing inside it
constexpr uint32_t kHeadLengths = 24;         // every copy length up to this is tried,
constexpr uint32_t kTailLengths = 24;         // and this many below the longest
constexpr uint32_t kInfinite = UINT32_MAX;

// Token costs in bits, from code lengths of the stream's bytes.
struct Costs {
    uint32_t bits[256];
    uint32_t literal[256];
    void from_counts(const uint32_t counts[256]) {
        bool any = false;
        for (int i = 0; i < 256; ++i) any |= counts[i] != 0;
        if (!any) {
            for (int i = 0; i < 256; ++i) bits[i] = 8;
        } else {
            HuffmanCode hc;
            huffman_build(counts, hc);
            uint32_t longest = 1;
            for (int i = 0; i < 256; ++i) longest = std::max<uint32_t>(longest, hc.len[i]);
            // A byte not seen yet costs a little more than the rarest one.
            for (int i = 0; i < 256; ++i) bits[i] = hc.len[i] ? hc.len[i] : longest + 1;
        }
        for (int i = 0; i < 256; ++i) literal[i] = bits[i];
        literal[0xFF] = bits[0xFF] + 3 * bits[0] + bits[1];
    }
    uint32_t copy_head(uint32_t dist) const { return bits[0xFF] + bits[dist & 0xFF] + bits[dist >> 8]; }
    uint32_t length(uint32_t len) const { return bits[len & 0xFF] + bits[len >> 8]; }
};

void count_literal(uint32_t counts[256], uint8_t b) {
    if (b != 0xFF) {
        ++counts[b];
    } else {
        ++counts[0xFF];
        counts[0] += 3;
        ++counts[1];
    }
}
void count_copy(uint32_t counts[256], uint32_t dist, uint32_t len) {
    ++counts[0xFF];
    ++counts[dist & 0xFF];
    ++counts[dist >> 8];
    ++counts[len & 0xFF];
    ++counts[len >> 8];
}

class SmallParser {
public:
    SmallParser(SmallTables& t, const uint8_t* in, size_t n)
        : t_(t), base1_(t.base + 1), in_(in), n_(n) {}

    uint8_t* run(uint8_t* op) {
        uint32_t counts[256] = {};  // the stream's bytes so far
        for (size_t s = 0; s < n_; s += kSegment) {
            const size_t e = std::min(n_, s + kSegment);
            find_matches(s, e);
            // First pass: costs from the stream so far; its tokens are only
            // counted. Second pass: costs that include them.
            Costs costs;
            costs.from_counts(counts);
            uint32_t trial[256];
            std::memcpy(trial, counts, sizeof trial);
            const size_t tokens1 = parse(s, e, costs);
            count_path(s, tokens1, trial);
            costs.from_counts(trial);
            const size_t tokens = parse(s, e, costs);
            op = emit_path(s, tokens, counts, op);
        }
        return op;
    }

private:
    void insert(size_t p) {
        uint32_t& h = t_.head[hash6(load64(in_ + p))];
        t_.link[p & 0xFFFF] = h;
        h = static_cast<uint32_t>(p) + base1_;
    }

    // The longest match at p among its chain (p not yet inserted), of at
    // most `limit` bytes; its length is 0 when shorter than kMinCopy.
    void search(size_t p, size_t limit, uint16_t& len_out, uint16_t& dist_out) const {
        len_out = 0;
        if (limit < kMinCopy) return;
        const uint32_t qv = static_cast<uint32_t>(p) + base1_;
        const uint32_t lo = qv - base1_ > kMaxDistance ? qv - kMaxDistance : base1_;
        const uint8_t* cur = in_ + p;
        uint32_t c = t_.head[hash6(load64(cur))];
        size_t best = kMinCopy - 1;
        uint32_t best_dist = 0;
        for (int i = 0; i < kChain && c >= lo; ++i) {
            const size_t cand = c - base1_;
            const uint8_t* cp = in_ + cand;
            if (cp[best] == cur[best]) {
                const size_t len = match_length(cp, cur, limit);
                if (len > best) {
                    best = len;
                    best_dist = qv - c;
                    if (len >= kTakeWhole || len == limit) break;
                }
            }
            c = t_.link[cand & 0xFFFF];
        }
        if (best_dist) {
            len_out = static_cast<uint16_t>(best);
            dist_out = static_cast<uint16_t>(best_dist);
        }
    }

    // Longest matches of the positions of [s, e), copies ending by e.
    void find_matches(size_t s, size_t e) {
        uint16_t* match = t_.match.get();
        uint16_t* match_dist = t_.match_dist.get();
        const size_t hashed_end = n_ - 7;  // p < hashed_end: eight bytes can be loaded at p
        size_t p = s;
        while (p < e) {
            match[p - s] = 0;
            if (p >= hashed_end) {
                ++p;
                continue;
            }
            search(p, std::min<size_t>(e - p, kMaxCopy), match[p - s], match_dist[p - s]);
            insert(p);
            const size_t len = match[p - s];
            ++p;
            if (len >= kTakeWhole) {
                // The positions inside are inserted, not searched.
                const size_t stop = std::min(p - 1 + len, e);
                for (; p < stop; ++p) {
                    match[p - s] = 0;
                    if (p < hashed_end) insert(p);
                }
            }
        }
    }

    // Cheapest token sequence for [s, e); returns how many tokens, stored
    // last first in path/path_dist (length 1 is a literal).
    size_t parse(size_t s, size_t e, const Costs& costs) {
        const size_t m = e - s;
        uint32_t* cost = t_.cost.get();
        uint16_t* from = t_.from.get();
        uint16_t* from_dist = t_.from_dist.get();
        const uint16_t* match = t_.match.get();
        const uint16_t* match_dist = t_.match_dist.get();
        cost[0] = 0;
        std::fill(cost + 1, cost + m + 1, kInfinite);
        for (size_t i = 0; i < m; ++i) {
            const uint32_t ci = cost[i];
            const uint32_t lit = ci + costs.literal[in_[s + i]];
            if (lit < cost[i + 1]) {
                cost[i + 1] = lit;
                from[i + 1] = 1;
            }
            const uint32_t len = match[i];
            if (len < kMinCopy) continue;
            const uint32_t dist = match_dist[i];
            const uint32_t head = ci + costs.copy_head(dist);
            auto relax = [&](uint32_t k) {
                const uint32_t c = head + costs.length(k);
                if (c < cost[i + k]) {
                    cost[i + k] = c;
                    from[i + k] = static_cast<uint16_t>(k);
                    from_dist[i + k] = static_cast<uint16_t>(dist);
                }
            };
            const uint32_t head_end = std::min(len, kHeadLengths);
            for (uint32_t k = kMinCopy; k <= head_end; ++k) relax(k);
            for (uint32_t k = std::max(head_end + 1, len > kTailLengths ? len - kTailLengths : 0); k <= len; ++k)
                relax(k);
        }
        size_t tokens = 0;
        for (size_t i = m; i > 0;) {
            const uint16_t k = from[i];
            t_.path[tokens] = k;
            t_.path_dist[tokens] = k == 1 ? 0 : from_dist[i];
            ++tokens;
            i -= k;
        }
        return tokens;
    }

    void count_path(size_t s, size_t tokens, uint32_t counts[256]) const {
        size_t p = s;
        for (size_t j = tokens; j-- > 0;) {
            const uint16_t k = t_.path[j];
            if (k == 1)
                count_literal(counts, in_[p]);
            else
                count_copy(counts, t_.path_dist[j], k);
            p += k;
        }
    }

    uint8_t* emit_path(size_t s, size_t tokens, uint32_t counts[256], uint8_t* op) const {
        size_t p = s;
        for (size_t j = tokens; j-- > 0;) {
            const uint16_t k = t_.path[j];
            if (k == 1) {
                count_literal(counts, in_[p]);
                op = put_literals(in_ + p, 1, op);
            } else {
                count_copy(counts, t_.path_dist[j], k);
                op = put_copy(op, t_.path_dist[j], k);
            }
            p += k;
        }
        return op;
    }

    SmallTables& t_;
    uint32_t base1_;
    const uint8_t* in_;
    size_t n_;
};

void ready_small(SmallTables& t, size_t n) {
    ready_table(t.head, kHashSize, t.base, n);
    if (!t.link) {
        t.link = std::make_unique<uint32_t[]>(65536);
        t.cost = std::make_unique_for_overwrite<uint32_t[]>(kSegment + 1);
        t.from = std::make_unique_for_overwrite<uint16_t[]>(kSegment + 1);
        t.from_dist = std::make_unique_for_overwrite<uint16_t[]>(kSegment + 1);
        t.match = std::make_unique_for_overwrite<uint16_t[]>(kSegment);
        t.match_dist = std::make_unique_for_overwrite<uint16_t[]>(kSegment);
        t.path = std::make_unique_for_overwrite<uint16_t[]>(kSegment);
        t.path_dist = std::make_unique_for_overwrite<uint16_t[]>(kSegment);
    }
}

}  // namespace

void lz_encode_fast(FastTables& t, const uint8_t* in, size_t n, ByteBuf& out) {
    uint8_t* const start = out.tail(5 * n + 8);
    uint8_t* end;
    if (n < kLevelMinInput || n > kMaxCodedInput) {
        end = put_literals(in, n, start);
    } else {
        ready_table(t.head, kHashSize, t.base, n);
        end = fast_parse(t.head.get(), t.base + 1, in, n, start);
        t.base += static_cast<uint32_t>(n);
    }
    out.set_size(out.size() + static_cast<size_t>(end - start));
}

void lz_encode_small(SmallTables& t, const uint8_t* in, size_t n, ByteBuf& out) {
    uint8_t* const start = out.tail(5 * n + 8);
    uint8_t* end;
    if (n < kLevelMinInput || n > kMaxCodedInput) {
        end = put_literals(in, n, start);
    } else {
        ready_small(t, n);
        end = SmallParser(t, in, n).run(start);
        t.base += static_cast<uint32_t>(n);
    }
    out.set_size(out.size() + static_cast<size_t>(end - start));
}

namespace {

// The fast level's choice: the LZ stream as is, stored, or Huffman coded
// (of the stream, or of the input where LZ saved little); no range coder.
void choose_fast(BlockScratch& s, ByteView in, Bytes& out) {
    const size_t n = in.size();
    const uint8_t* lz = s.lz_stream.data();
    const size_t l = s.lz_stream.size();
    if (l < kCoderMinStream) {
        if (n <= l)
            emit(out, BlockTag::Stored, in.data(), n);
        else
            emit(out, BlockTag::Lz, lz, l);
        return;
    }
    byte_histogram(lz, l, s.counts_lz);
    huffman_build(s.counts_lz, s.huff_lz);
    const uint64_t cost_lz_huffman = huffman_block_size(s.counts_lz, s.huff_lz) + 1;
    uint64_t cost_huffman = 0;
    if (n >= kHuffmanRawMin && 100 * uint64_t{l} > 85 * uint64_t{n}) {
        byte_histogram(in.data(), n, s.counts_raw);
        huffman_build(s.counts_raw, s.huff_raw);
        cost_huffman = huffman_block_size(s.counts_raw, s.huff_raw) + 1;
    }
    const uint64_t cost_stored = uint64_t{n} + 1, cost_lz = uint64_t{l} + 1;
    if (cost_stored <= cost_lz_huffman && (cost_huffman == 0 || cost_stored <= cost_huffman) &&
        cost_stored <= cost_lz) {
        emit(out, BlockTag::Stored, in.data(), n);
    } else if (cost_lz_huffman <= cost_lz && (cost_huffman == 0 || cost_lz_huffman <= cost_huffman)) {
        emit_huffman(out, BlockTag::LzHuffman, cost_lz_huffman, lz, l, s.huff_lz);
    } else if (cost_huffman != 0 && cost_huffman <= cost_lz) {
        emit_huffman(out, BlockTag::Huffman, cost_huffman, in.data(), n, s.huff_raw);
    } else {
        emit(out, BlockTag::Lz, lz, l);
    }
}

// The small level's choice among every candidate of its own stream, then
// the smaller of that and the default block.
void choose_small(BlockScratch& s, LevelScratch& ls, ByteView in, Bytes& out, uint64_t max_coded,
                  size_t large_from) {
    const size_t n = in.size();
    const uint8_t* lz = s.lz_stream.data();
    const size_t l = s.lz_stream.size();
    const uint64_t n64 = n, l64 = l;
    const BlockTag order[6] = {BlockTag::Range,     BlockTag::LzRange, BlockTag::Stored,
                               BlockTag::LzHuffman, BlockTag::Huffman, BlockTag::Lz};
    uint64_t costs[6] = {0, 0, n64 + 1, 0, 0, l64 + 1};
    byte_histogram(lz, l, s.counts_lz);
    huffman_build(s.counts_lz, s.huff_lz);
    costs[3] = huffman_block_size(s.counts_lz, s.huff_lz) + 1;
    RangeModel m;
    range_build_model(s.counts_lz, l, m);
    s.range_lz.clear();
    range_encode(lz, l, m, s.range_lz);
    costs[1] = s.range_lz.size() + 1;
    byte_histogram(in.data(), n, s.counts_raw);
    huffman_build(s.counts_raw, s.huff_raw);
    costs[4] = huffman_block_size(s.counts_raw, s.huff_raw) + 1;
    if (n >= kRangeRawMin) {
        range_build_model(s.counts_raw, n, m);
        s.range_raw.clear();
        range_encode(in.data(), n, m, s.range_raw);
        costs[0] = s.range_raw.size() + 1;
    }
    int best = -1;
    for (int i = 0; i < 6; ++i)
        if (costs[i] != 0 && (best < 0 || costs[i] < costs[best])) best = i;

    // The default block, made after the candidates above were sized (it
    // reuses the same scratch), is kept when it is no larger.
    const uint64_t small_cost = costs[best];
    Bytes& def = ls.default_block;
    Bytes& mine = ls.level_block;
    switch (order[best]) {
        case BlockTag::Range: emit(mine, BlockTag::Range, s.range_raw.data(), s.range_raw.size()); break;
        case BlockTag::LzRange: emit(mine, BlockTag::LzRange, s.range_lz.data(), s.range_lz.size()); break;
        case BlockTag::Stored: emit(mine, BlockTag::Stored, in.data(), n); break;
        case BlockTag::LzHuffman: emit_huffman(mine, BlockTag::LzHuffman, costs[3], lz, l, s.huff_lz); break;
        case BlockTag::Huffman: emit_huffman(mine, BlockTag::Huffman, costs[4], in.data(), n, s.huff_raw); break;
        case BlockTag::Lz: emit(mine, BlockTag::Lz, lz, l); break;
    }
    compress_with_scratch(s, in, def, max_coded, large_from);
    if (def.size() <= small_cost) {
        out.swap(def);
    } else {
        out.swap(mine);
    }
}

}  // namespace

void compress_level(BlockScratch& s, LevelScratch& ls, BlockLevel level, ByteView in, Bytes& out,
                    uint64_t max_coded, size_t large_from) {
    const size_t n = in.size();
    if (level == BlockLevel::Default || n < kLevelMinInput || n > max_coded || n >= large_from) {
        compress_with_scratch(s, in, out, max_coded, large_from);
        return;
    }
    s.lz_stream.clear();
    if (level == BlockLevel::Fast) {
        lz_encode_fast(ls.fast, in.data(), n, s.lz_stream);
        choose_fast(s, in, out);
    } else {
        lz_encode_small(ls.small, in.data(), n, s.lz_stream);
        choose_small(s, ls, in, out, max_coded, large_from);
    }
}

}  // namespace block
}  // namespace varn
