// The byte-oriented LZ77 stage and its decoder.
//
// Matches are searched among the seven nearest earlier positions whose four
// bytes hash alike (a multiplicative hash of the 4-byte word, 16 bits), with
// a one-step deferral probe. A classic head table plus per-position links
// would walk those seven as a chain of dependent loads; here each hash owns a
// bucket holding its seven most recently inserted positions, newest first,
// which is exactly the sequence such a chain visits. A search then reads one
// cache line and all candidate compares are independent, so they overlap.
// A search reads the bucket before its own position is inserted, which again
// matches a chain that starts from the position's link. Matches are extended
// eight bytes at a time, and short candidates are ranked without branches.
#include <algorithm>
#include <cstdlib>
#include <string>

#include "varn_v2/block_internal.h"

namespace varn {
namespace block {
namespace {

constexpr size_t kMinSearched = 10;      // shorter inputs are literals only
constexpr uint32_t kMinCopy = 6;
constexpr uint32_t kMaxCopy = 65535;
constexpr size_t kMaxDistance = 65535;
constexpr int kCandidates = 7;
constexpr uint32_t kGoodEnough = 127;    // a longer match ends the search
constexpr size_t kSmallInput = 16384;    // below this, clear only touched buckets
constexpr size_t kPrefetchAhead = 8;
static_assert(kCandidates < kBucketWays, "a bucket holds every candidate of a search");

inline uint32_t hash_at(const uint8_t* p) { return (load32(p) * 0x9E3779B1u) >> 16; }

// Number of equal bytes at a[i] and b[i], i < limit.
inline size_t match_length(const uint8_t* a, const uint8_t* b, size_t limit) {
    size_t i = 0;
    while (i + 8 <= limit) {
        uint64_t x = load64(a + i) ^ load64(b + i);
        // load64 puts the first byte lowest, so the first difference is
        // at the lowest set bit.
        if (x != 0) return i + (static_cast<size_t>(std::countr_zero(x)) >> 3);
        i += 8;
    }
    while (i < limit && a[i] == b[i]) ++i;
    return i;
}

struct Match {
    uint32_t len;
    uint32_t dist;
};

class Encoder {
public:
    Encoder(uint32_t* buckets, const uint8_t* in, size_t n, ByteBuf& out)
        : buckets_(buckets), in_(in), n_(n), out_(out) {}

    void run();

private:
    uint32_t* bucket(size_t p) const { return buckets_ + static_cast<size_t>(hash_at(in_ + p)) * kBucketWays; }

    static void insert(uint32_t* b, size_t p) {
        uint32_t keep[kCandidates - 1];  // fixed-size copies compile to plain moves
        std::memcpy(keep, b, sizeof keep);
        std::memcpy(b + 1, keep, sizeof keep);
        b[0] = static_cast<uint32_t>(p + 1);
    }

    // Longest match for q among the positions of its bucket `b` (q itself
    // not yet inserted).
    Match search(const uint32_t* b, size_t q) const {
        if (n_ - q < 8) return search_near_end(b, q);
        const size_t limit = std::min<size_t>(n_ - q, kMaxCopy);
        const uint8_t* cur = in_ + q;
        const uint64_t cur8 = load64(cur);
        size_t best = 0;
        size_t best_dist = 0;
        for (int i = 0; i < kCandidates; ++i) {
            const uint32_t c = b[i];
            if (c == 0) break;
            const size_t cand = c - 1;
            const size_t d = q - cand;
            if (d > kMaxDistance) break;
            const uint8_t* cp = in_ + cand;
            if (best < 8) {
                // Short matches are the common case: one 8-byte compare and
                // a branch-free update (the outcome is unpredictable).
                const uint64_t x = load64(cp) ^ cur8;
                size_t len = x ? static_cast<size_t>(std::countr_zero(x)) >> 3 : 8;
                if (len == 8) len += match_length(cp + 8, cur + 8, limit - 8);
                const bool better = len >= 4 && len > best;
                best = better ? len : best;
                best_dist = better ? d : best_dist;
            } else if (cp[best] == cur[best] && load32(cp) == load32(cur)) {
                // A candidate can only win if it also matches at offset `best`.
                const size_t len = 4 + match_length(cp + 4, cur + 4, limit - 4);
                if (len > best) {
                    best = len;
                    best_dist = d;
                }
            }
            if (best > kGoodEnough || best == limit) break;
        }
        return Match{static_cast<uint32_t>(best), static_cast<uint32_t>(best_dist)};
    }

    // The same search for the last few searchable positions, where an 8-byte
    // load would pass the end of the input.
    Match search_near_end(const uint32_t* b, size_t q) const {
        const size_t limit = n_ - q;
        const uint8_t* cur = in_ + q;
        size_t best = 0;
        size_t best_dist = 0;
        for (int i = 0; i < kCandidates; ++i) {
            const uint32_t c = b[i];
            if (c == 0) break;
            const size_t cand = c - 1;
            const size_t d = q - cand;
            if (d > kMaxDistance) break;
            const uint8_t* cp = in_ + cand;
            if (load32(cp) == load32(cur)) {
                const size_t len = 4 + match_length(cp + 4, cur + 4, limit - 4);
                if (len > best) {
                    best = len;
                    best_dist = d;
                    if (best == limit) break;
                }
            }
        }
        return Match{static_cast<uint32_t>(best), static_cast<uint32_t>(best_dist)};
    }

    Match insert_and_search(size_t p) {
        // The bucket table is larger than the nearest caches: fetch the
        // bucket that a search a few positions on is likely to need.
        if (p + kPrefetchAhead + 4 <= n_) __builtin_prefetch(bucket(p + kPrefetchAhead));
        uint32_t* b = bucket(p);
        Match m = search(b, p);
        insert(b, p);
        return m;
    }

    uint8_t* room(size_t k) {
        if (static_cast<size_t>(lim_ - op_) < k) {
            out_.set_size(static_cast<size_t>(op_ - out_.data()));
            op_ = out_.tail(std::max<size_t>(k, (n_ >> 3) + 64));
            lim_ = op_ + std::max<size_t>(k, (n_ >> 3) + 64);
        }
        return op_;
    }
    void literal(uint8_t v) {
        uint8_t* o = room(5);
        if (v != 0xFF) {
            *o = v;
            op_ = o + 1;
        } else {
            o[0] = 0xFF;
            o[1] = 0;
            o[2] = 0;
            o[3] = 1;
            o[4] = 0;
            op_ = o + 5;
        }
    }
    void copy(Match m) {
        uint8_t* o = room(5);
        o[0] = 0xFF;
        o[1] = static_cast<uint8_t>(m.dist);
        o[2] = static_cast<uint8_t>(m.dist >> 8);
        o[3] = static_cast<uint8_t>(m.len);
        o[4] = static_cast<uint8_t>(m.len >> 8);
        op_ = o + 5;
    }

    uint32_t* buckets_;
    const uint8_t* in_;
    size_t n_;
    ByteBuf& out_;
    uint8_t* op_ = nullptr;
    uint8_t* lim_ = nullptr;
};

void Encoder::run() {
    op_ = out_.tail(n_ + (n_ >> 3) + 64);
    lim_ = op_ + n_ + (n_ >> 3) + 64;
    const size_t searchable = n_ - 4;  // p is searched when p + 4 < n
    size_t p = 0;
    bool have_pending = false;  // p was inserted and searched by the last probe
    Match pending{0, 0};
    while (p < searchable) {
        Match m;
        if (have_pending) {
            m = pending;
            have_pending = false;
        } else {
            m = insert_and_search(p);
        }
        if (m.len < kMinCopy) {
            literal(in_[p]);
            ++p;
            continue;
        }
        size_t k = 1;
        if (m.len <= kGoodEnough && p + 1 < searchable) {
            Match m2 = insert_and_search(p + 1);
            if (m2.len >= kMinCopy && m2.len > m.len + 1) {
                literal(in_[p]);
                ++p;
                pending = m2;
                have_pending = true;
                continue;
            }
            k = 2;  // p + 1 is in the tables already
        }
        copy(m);
        const size_t step = m.len <= 32 ? 1 : m.len <= 64 ? 2 : 4;
        if (k == 2) k = 1 + step;
        const size_t stop = std::min<size_t>(m.len, searchable - p);  // k < len, p + k + 4 < n
        for (; k < stop; k += step) insert(bucket(p + k), p + k);
        p += m.len;
    }
    for (; p < n_; ++p) literal(in_[p]);
    out_.set_size(static_cast<size_t>(op_ - out_.data()));
}

}  // namespace

void LzTables::BucketFree::operator()(uint32_t* p) const { std::free(p); }

void lz_encode(LzTables& t, const uint8_t* in, size_t n, ByteBuf& out) {
    // Positions past 32 bits cannot enter the tables: such inputs (which
    // compress_block stores instead) get a stream of literals, still valid.
    if (n < kMinSearched || n > kMaxCodedInput) {
        uint8_t* o = out.tail(5 * n);
        uint8_t* start = o;
        for (size_t i = 0; i < n; ++i) {
            if (in[i] != 0xFF) {
                *o++ = in[i];
            } else {
                const uint8_t esc[5] = {0xFF, 0, 0, 1, 0};
                std::memcpy(o, esc, 5);
                o += 5;
            }
        }
        out.set_size(out.size() + static_cast<size_t>(o - start));
        return;
    }
    constexpr size_t kTableBytes = kHashSize * kBucketWays * sizeof(uint32_t);
    if (!t.buckets) {
        // calloc: fresh pages come zeroed from the system, so a compressor
        // used once for a small block touches only the buckets it needs.
        // Buckets are aligned so that each lies in one cache line.
        void* mem = std::calloc(kTableBytes + 64, 1);
        if (!mem) std::abort();  // running out of memory is not reported
        t.mem.reset(static_cast<uint32_t*>(mem));
        const uintptr_t at = (reinterpret_cast<uintptr_t>(mem) + 63) & ~uintptr_t{63};
        t.buckets = reinterpret_cast<uint32_t*>(at);
        t.clean = true;
    }
    if (!t.clean) std::memset(t.buckets, 0, kTableBytes);
    Encoder enc(t.buckets, in, n, out);
    enc.run();
    if (n < kSmallInput) {
        // Cheaper than clearing the whole table next time: every bucket
        // written belongs to the hash of some searchable position.
        for (size_t p = 0; p + 4 < n; ++p)
            std::memset(t.buckets + static_cast<size_t>(hash_at(in + p)) * kBucketWays, 0,
                        kBucketWays * sizeof(uint32_t));
        t.clean = true;
    } else {
        t.clean = false;
    }
}

}  // namespace block

void lz_compress(ByteView in, Bytes& out) {
    block::LzTables t;
    block::ByteBuf buf;
    block::lz_encode(t, in.data(), in.size(), buf);
    out.insert(out.end(), buf.data(), buf.data() + buf.size());
}

Status lz_decompress(ByteView stream, Bytes& out, size_t max_output) {
    out.clear();
    ByteReader r(stream);
    while (!r.at_end()) {
        // Literal runs are copied in one go.
        const uint8_t* p = r.position();
        const uint8_t* ff = static_cast<const uint8_t*>(std::memchr(p, 0xFF, r.remaining()));
        size_t run = ff ? static_cast<size_t>(ff - p) : r.remaining();
        if (run > 0) {
            if (run > max_output - out.size())
                return Status::error("LZ stream decodes to more than " + std::to_string(max_output) +
                                     " bytes");
            out.insert(out.end(), p, p + run);
            (void)r.skip(run);
            continue;
        }
        uint8_t marker;
        uint16_t dist, len;
        if (!r.read_u8(marker) || !r.read_le(dist) || !r.read_le(len))
            return Status::error("LZ stream truncated inside a copy token");
        if (dist == 0) {
            if (len != 1)
                return Status::error("LZ escape token with length " + std::to_string(len) +
                                     " (expected 1)");
            if (out.size() >= max_output)
                return Status::error("LZ stream decodes to more than " + std::to_string(max_output) +
                                     " bytes");
            out.push_back(0xFF);
            continue;
        }
        if (len < block::kMinCopy)
            return Status::error("LZ copy length " + std::to_string(len) + " is below 6");
        if (dist > out.size())
            return Status::error("LZ copy at distance " + std::to_string(dist) +
                                 " reaches before the start of the output (" +
                                 std::to_string(out.size()) + " bytes so far)");
        if (len > max_output - out.size())
            return Status::error("LZ stream decodes to more than " + std::to_string(max_output) +
                                 " bytes");
        const size_t at = out.size();
        out.resize(at + len);
        uint8_t* d = out.data() + at;
        const uint8_t* s = d - dist;
        if (dist >= len) {
            std::memcpy(d, s, len);
        } else {
            for (size_t i = 0; i < len; ++i) d[i] = s[i];  // overlapping: byte by byte
        }
    }
    return Status::ok();
}

}  // namespace varn
