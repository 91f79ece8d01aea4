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
// matches a chain that starts from the position's link.
//
// Only matches of at least 6 bytes can become copies, and a shorter best
// match changes neither which later candidate wins nor when the search stops,
// so the search starts from a best length of 5. Where SSE2 is at hand (every
// x86-64), each candidate's first 16 bytes are compared in one step and the
// candidates ranked without branches; only those matching all 16 are
// extended, one by one with the stop rules. Elsewhere candidates are ranked by
// one 8-byte compare each and those matching all eight are extended. When a
// copy's positions enter the tables, one 8-byte load yields the words of two
// of them. Positions are
// stored offset by a per-call base (see LzTables), so one compare rejects
// empty slots, entries of earlier calls and candidates beyond the largest
// distance alike.
#include <algorithm>
#include <cstring>
#include <cstdlib>
#include <new>
#include <string>

#if defined(__linux__)
#include <sys/mman.h>
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "format/block/block_internal.h"

namespace varn {
namespace block {
namespace {

constexpr size_t kMinSearched = 10;      // shorter inputs are literals only
constexpr uint32_t kMinCopy = 6;
constexpr uint32_t kMaxCopy = 65535;
constexpr uint32_t kMaxDistance = 65535;
constexpr int kCandidates = 7;
constexpr uint32_t kGoodEnough = 127;    // a longer match ends the search
constexpr size_t kPrefetchAhead = 8;
static_assert(kCandidates < kBucketWays, "a bucket holds every candidate of a search");

inline uint32_t hash_of(uint32_t word) { return (word * 0x9E3779B1u) >> 16; }

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
    uint32_t len;   // 0 when no match of at least kMinCopy bytes was found
    uint32_t dist;
};

class Encoder {
public:
    Encoder(uint32_t* buckets, uint32_t base, const uint8_t* in, size_t n, uint8_t* out)
        : buckets_(buckets), base1_(base + 1), in_(in), n_(n), op_(out) {}

    // Writes the LZ stream and returns its end.
    uint8_t* run();

private:
    uint32_t* bucket(size_t p) const { return bucket_of(load32(in_ + p)); }
    uint32_t* bucket_of(uint32_t word) const {
        return buckets_ + static_cast<size_t>(hash_of(word)) * kBucketWays;
    }

    void insert(uint32_t* b, size_t p) const {
        uint32_t keep[kCandidates - 1];  // fixed-size copies compile to plain moves
        std::memcpy(keep, b, sizeof keep);
        std::memcpy(b + 1, keep, sizeof keep);
        b[0] = static_cast<uint32_t>(p) + base1_;
    }

    // Longest match for q among the positions of its bucket `b` (q itself
    // not yet inserted), if it is longer than `floor` (5 to 127). Only a
    // longer match can matter to the caller, and a search that starts from
    // best = floor ends with the same winner as one that starts lower
    // whenever that winner is longer than floor: ties keep the earlier
    // candidate either way, and the early stop (on a match longer than 127)
    // depends only on lengths above floor. That last part needs floor <= 127:
    // a higher floor would pass over a first match of 128 that ends the
    // search, and find a longer one after it.
    [[gnu::always_inline]] Match search(const uint32_t* b, size_t q, uint32_t floor) const {
        const size_t left = n_ - q;
#if defined(__SSE2__)
        if (left >= 16) return search16(b, q, floor);
#endif
        if (left < 8) return search_near_end(b, q, floor);
        // A candidate c (a stored value) is usable when c >= lo, and its
        // distance is qv - c.
        const uint32_t qv = static_cast<uint32_t>(q) + base1_;
        const uint32_t lo = q > kMaxDistance ? qv - kMaxDistance : base1_;
        const uint8_t* cur = in_ + q;
        const uint64_t cur8 = load64(cur);
        const size_t limit = std::min<size_t>(left, kMaxCopy);
        uint32_t best = floor;
        uint32_t best_dist = 0;  // 0: nothing longer than floor yet
        int i = 0;
        if (best < 8) {
            for (; i < kCandidates; ++i) {
                const uint32_t c = b[i];
                if (c < lo) return Match{best_dist ? best : 0, best_dist};
                const uint8_t* cp = in_ + (c - base1_);
                const uint64_t x = load64(cp) ^ cur8;
                if (x == 0) {
                    // At least eight bytes, so longer than any best so far.
                    best = static_cast<uint32_t>(8 + match_length(cp + 8, cur + 8, limit - 8));
                    best_dist = qv - c;
                    if (best > kGoodEnough || best == limit) return Match{best, best_dist};
                    ++i;
                    break;
                }
                // Short matches are the common case and their outcome is
                // unpredictable: rank them without branches.
                const uint32_t len = static_cast<uint32_t>(std::countr_zero(x)) >> 3;
                const bool better = len > best;
                best = better ? len : best;
                best_dist = better ? qv - c : best_dist;
            }
            if (best < 8) return Match{best_dist ? best : 0, best_dist};
        } else if (best >= limit) {
            return Match{0, 0};  // nothing can be longer
        }
        // Best is at least 8: a candidate must match the first eight bytes
        // and the byte at `best` to beat it.
        uint8_t next = cur[best];  // the byte a longer match must also have
        for (; i < kCandidates; ++i) {
            const uint32_t c = b[i];
            if (c < lo) break;
            const uint8_t* cp = in_ + (c - base1_);
            if (cp[best] != next || load64(cp) != cur8) continue;
            const uint32_t len = static_cast<uint32_t>(8 + match_length(cp + 8, cur + 8, limit - 8));
            if (len > best) {
                best = len;
                best_dist = qv - c;
                if (best > kGoodEnough || best == limit) break;
                next = cur[best];
            }
        }
        return Match{best_dist ? best : 0, best_dist};
    }

#if defined(__SSE2__)
    // The search where 16 bytes can be read at q. Each usable candidate's
    // first 16 bytes are compared in one step; the usable slots form a prefix of
    // the bucket (newer positions first, older calls' entries below them), so
    // the scan ends at the first unusable one. A candidate matching fewer than
    // 16 bytes has its exact length from that compare, and the longest of them
    // (the earliest on ties) is found without branches, by the largest key
    // length * 8 + (7 - slot). Candidates matching all 16 beat every shorter
    // one; they are extended in bucket order, from the first of them, with the
    // same stop rules as the step-by-step search, so the winner is the same.
    // A floor of 15 or more (a deferral probe after a long match) leaves only
    // such candidates in the race, so the ranking is skipped.
    [[gnu::always_inline]] Match search16(const uint32_t* b, size_t q, uint32_t floor) const {
        const uint32_t qv = static_cast<uint32_t>(q) + base1_;
        const uint32_t lo = q > kMaxDistance ? qv - kMaxDistance : base1_;
        const uint8_t* cur = in_ + q;
        const size_t limit = std::min<size_t>(n_ - q, kMaxCopy);  // at least 16
        if (floor >= limit) return Match{0, 0};  // nothing can be longer
        const __m128i cur16 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cur));
        // The bytes of stored value c start at at_ + c.
        const uintptr_t at = reinterpret_cast<uintptr_t>(in_) - base1_;
        // Bit i set: byte i of the candidate at stored value c equals cur[i].
        auto equal16 = [&](uint32_t c) {
            const __m128i cand = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + c));
            return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(cand, cur16)));
        };
        int first_long = kCandidates;  // the first slot matching all 16 bytes
        if (floor < 15) {
            uint32_t best_key = 0;
            for (int i = 0; i < kCandidates; ++i) {
                const uint32_t c = b[i];
                if (c < lo) break;
                // ~mask has bit 16 set: never zero, and a full match counts 16.
                const uint32_t len = static_cast<uint32_t>(__builtin_ctz(~equal16(c)));
                best_key = std::max(best_key, len * 8 + static_cast<uint32_t>(kCandidates - i));
            }
            const uint32_t len = best_key >> 3;
            const int slot = kCandidates - static_cast<int>(best_key & 7);
            if (len < 16) {
                if (len <= floor) return Match{0, 0};
                return Match{len, qv - b[slot]};
            }
            first_long = slot;
        } else {
            for (int i = 0; i < kCandidates; ++i) {
                const uint32_t c = b[i];
                if (c < lo) return Match{0, 0};
                if (equal16(c) == 0xFFFF) {
                    first_long = i;
                    break;
                }
            }
            if (first_long == kCandidates) return Match{0, 0};
        }
        // Every long candidate beats the short ones: walk them as the
        // step-by-step search would, from best = max(floor, 15).
        uint32_t best = std::max<uint32_t>(floor, 15);
        uint32_t best_dist = 0;
        uint8_t next = cur[best];  // the byte a longer match must also have
        for (int i = first_long; i < kCandidates; ++i) {
            const uint32_t c = b[i];
            if (c < lo) break;
            const uint8_t* cp = reinterpret_cast<const uint8_t*>(at + c);
            if (cp[best] != next || (i != first_long && equal16(c) != 0xFFFF)) continue;
            const uint32_t len = static_cast<uint32_t>(16 + match_length(cp + 16, cur + 16, limit - 16));
            if (len > best) {
                best = len;
                best_dist = qv - c;
                if (best > kGoodEnough || best == limit) break;
                next = cur[best];
            }
        }
        return Match{best_dist ? best : 0, best_dist};
    }
#endif

    // The same search for the last few searchable positions, where an 8-byte
    // load would pass the end of the input.
    Match search_near_end(const uint32_t* b, size_t q, uint32_t floor) const {
        const size_t limit = n_ - q;
        const uint32_t qv = static_cast<uint32_t>(q) + base1_;
        const uint32_t lo = q > kMaxDistance ? qv - kMaxDistance : base1_;
        const uint8_t* cur = in_ + q;
        uint32_t best = floor;
        uint32_t best_dist = 0;
        for (int i = 0; i < kCandidates; ++i) {
            const uint32_t c = b[i];
            if (c < lo) break;
            const uint8_t* cp = in_ + (c - base1_);
            size_t len = 0;
            while (len < limit && cp[len] == cur[len]) ++len;
            if (len > best) {
                best = static_cast<uint32_t>(len);
                best_dist = qv - c;
                if (best == limit) break;
            }
        }
        return Match{best_dist ? best : 0, best_dist};
    }

    [[gnu::always_inline]] Match insert_and_search(size_t p, uint32_t floor) {
        // The bucket table is larger than the nearest caches: fetch the
        // bucket that a search a few positions on is likely to need.
        if (p + kPrefetchAhead + 4 <= n_) __builtin_prefetch(bucket(p + kPrefetchAhead));
        uint32_t* b = bucket(p);
        Match m = search(b, p, floor);
        insert(b, p);
        return m;
    }

    void literal(uint8_t v) {
        if (v != 0xFF) {
            *op_++ = v;
        } else {
            const uint8_t esc[5] = {0xFF, 0, 0, 1, 0};
            std::memcpy(op_, esc, 5);
            op_ += 5;
        }
    }
    void copy(Match m) {
        op_[0] = 0xFF;
        op_[1] = static_cast<uint8_t>(m.dist);
        op_[2] = static_cast<uint8_t>(m.dist >> 8);
        op_[3] = static_cast<uint8_t>(m.len);
        op_[4] = static_cast<uint8_t>(m.len >> 8);
        op_ += 5;
    }

    uint32_t* buckets_;
    uint32_t base1_;
    const uint8_t* in_;
    size_t n_;
    uint8_t* op_;
};

uint8_t* Encoder::run() {
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
            m = insert_and_search(p, kMinCopy - 1);
        }
        if (m.len == 0) {
            literal(in_[p]);
            ++p;
            continue;
        }
        // The search after the copy needs this bucket: start fetching it
        // now, while the probe runs.
        if (p + m.len < searchable) __builtin_prefetch(bucket(p + m.len));
        size_t k = 1;
        if (m.len <= kGoodEnough && p + 1 < searchable) {
            // The probe only matters if it finds a match at least two
            // bytes longer: search above that length, but never above 127
            // (see search).
            Match m2 = insert_and_search(p + 1, std::min<uint32_t>(m.len + 1, kGoodEnough));
            if (m2.len > m.len + 1) {
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
        // Two positions per 8-byte load (step <= 4, so both words lie in
        // it), while that load stays inside the input.
        const size_t load_stop = n_ - p > 7 ? n_ - p - 7 : 0;  // k < load_stop: p + k + 8 <= n
        for (; k + step < stop && k < load_stop; k += 2 * step) {
            const uint64_t w = load64(in_ + p + k);
            insert(bucket_of(static_cast<uint32_t>(w)), p + k);
            insert(bucket_of(static_cast<uint32_t>(w >> (8 * step))), p + k + step);
        }
        for (; k < stop; k += step) insert(bucket(p + k), p + k);
        p += m.len;
    }
    for (; p < n_; ++p) literal(in_[p]);
    return op_;
}

}  // namespace

LzTables::~LzTables() {
#if defined(__linux__)
    if (mapped) {
        ::munmap(mem, mapped);
        return;
    }
#endif
    std::free(mem);
}

namespace {

constexpr size_t kTableBytes = kHashSize * kBucketWays * sizeof(uint32_t);

// The table is reached at random: on Linux it is mapped on its own, 2 MiB
// aligned and marked for huge pages, which spares most address translation
// misses. Elsewhere (or if that fails) it comes from calloc. Either way the
// memory starts out zeroed and untouched pages cost nothing.
void allocate(LzTables& t) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr size_t kHuge = size_t{2} << 20;
    const size_t bytes = kTableBytes + kHuge;
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED) {
        const uintptr_t at = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~uintptr_t{kHuge - 1};
        (void)::madvise(reinterpret_cast<void*>(at), kTableBytes, MADV_HUGEPAGE);
        t.mem = p;
        t.mapped = bytes;
        t.buckets = reinterpret_cast<uint32_t*>(at);
        t.base = 0;
        return;
    }
#endif
    void* mem = std::calloc(kTableBytes + 64, 1);
    if (!mem) throw std::bad_alloc();
    t.mem = mem;
    t.mapped = 0;
    // Buckets are aligned so that each lies in one cache line.
    const uintptr_t at = (reinterpret_cast<uintptr_t>(mem) + 63) & ~uintptr_t{63};
    t.buckets = reinterpret_cast<uint32_t*>(at);
    t.base = 0;
}

}  // namespace

void lz_encode(LzTables& t, const uint8_t* in, size_t n, ByteBuf& out, size_t large_from) {
    // Every byte costs at most five (an escaped 0xFF): reserve that once so
    // the encoder writes without checks. Pages never written stay untouched.
    // A large input reserves only what its 0xFF bytes can take, which keeps
    // the address space it needs (ulimit -v) near its size.
    const size_t most = n >= large_from ? n + 4 * static_cast<size_t>(std::count(in, in + n, uint8_t{0xFF}))
                                         : 5 * n;
    uint8_t* const start = out.tail(most + 8);
    // Positions past 32 bits cannot enter the tables: such inputs (which
    // compress_block stores instead) get a stream of literals, still valid.
    if (n < kMinSearched || n > kMaxCodedInput) {
        uint8_t* o = start;
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
    if (!t.buckets) allocate(t);
    // This call stores values base + 1 to base + n - 4; start over from a
    // cleared table when they would not fit in 32 bits.
    if (uint64_t{t.base} + n > UINT32_MAX) {
        std::memset(t.buckets, 0, kTableBytes);
        t.base = 0;
    }
    Encoder enc(t.buckets, t.base, in, n, start);
    uint8_t* end = enc.run();
    t.base += static_cast<uint32_t>(n);
    out.set_size(out.size() + static_cast<size_t>(end - start));
}

}  // namespace block

void lz_compress(ByteView in, Bytes& out) {
    block::LzTables t;
    block::ByteBuf buf;
    block::lz_encode(t, in.data(), in.size(), buf);
    out.insert(out.end(), buf.data(), buf.data() + buf.size());
}

namespace {

constexpr size_t kDecodeSlack = 32;  // spare output bytes past the decoded size

// Copies len bytes (6 to 65,535) from dist bytes back (1 to 65,535) to dst,
// as LZ copies overlap: byte i is byte i - dist. Writes whole 16- or 8-byte
// steps, up to kDecodeSlack - 1 bytes past len (at most 26 when len <= 32),
// and reads only bytes already written.
[[gnu::always_inline]] inline void copy_match(uint8_t* dst, size_t dist, size_t len) {
    const uint8_t* src = dst - dist;
    if (dist >= 16) {
        // Most copies are short: two steps without a test, then the rest.
        // A step reads at most up to where the one before it ended.
        std::memcpy(dst, src, 16);
        std::memcpy(dst + 16, src + 16, 16);
        for (size_t i = 32; i < len; i += 16) std::memcpy(dst + i, src + i, 16);
    } else if (dist >= 8) {
        for (size_t i = 0; i < len; i += 8) std::memcpy(dst + i, src + i, 8);
    } else {
        // The first eight bytes one by one; from then on the output repeats
        // with period dist, so eight-byte steps can copy from `step` back,
        // the smallest multiple of dist that is at least 8 (and below
        // 8 + dist: the bytes it reads lie in what was written).
        for (size_t i = 0; i < 8; ++i) dst[i] = src[i];
        static constexpr uint8_t kStep[8] = {0, 8, 8, 9, 8, 10, 12, 14};
        const size_t step = kStep[dist];
        for (size_t i = 8; i < len; i += 8) std::memcpy(dst + i, dst + i - step, 8);
    }
}

}  // namespace

Status lz_decompress(ByteView stream, Bytes& out, size_t max_output) {
    // The output buffer keeps kSlack spare bytes past the decoded size, so
    // literals and copies move 8 or 16 bytes at a time without a bounds test
    // per byte; it grows geometrically and is cut to size at the end.
    constexpr size_t kSlack = kDecodeSlack;
    constexpr uint64_t kOnes = 0x0101010101010101ULL, kHigh = 0x8080808080808080ULL;
    auto too_long = [max_output] {
        return Status::corrupt("LZ stream decodes to more than " + std::to_string(max_output) + " bytes");
    };
    // Room already in `out` (from an earlier call, the same column of the
    // chunk before as a rule) is used as it is, since resize zero-fills what
    // it adds: such a buffer grows only as far as the output goes, in small
    // steps while its allocation has room, and geometrically past it.
    size_t cap;
    if (out.size() >= 64 + kSlack) {
        cap = std::min(max_output, out.size() - kSlack);
    } else {
        cap = std::min(max_output, std::max<size_t>(2 * stream.size(), 64));
        out.resize(cap + kSlack);
    }
    uint8_t* d = out.data();
    size_t o = 0;
    auto room = [&](size_t n) {  // false when n more bytes would pass max_output
        if (n > max_output - o) return false;
        if (n > cap - o) {
            size_t want = std::max(2 * cap, o + n);
            const size_t step = std::max<size_t>(cap / 8, 64 << 10);
            if (out.capacity() - kSlack >= o + n + step) want = std::max(o + n, std::min(2 * cap, cap + step));
            cap = std::min(max_output, want);
            out.resize(cap + kSlack);
            d = out.data();
        }
        return true;
    };
    const uint8_t* p = stream.data();
    const uint8_t* const end = p + stream.size();
    while (p < end) {
        // The fast loop, while 32 stream bytes remain and 16 output bytes fit
        // in `cap`: a literal run is found and stored 16 bytes at a time, and
        // a copy is checked with three tests. Anything else (an escaped 0xFF,
        // a bad token, a copy that needs the buffer to grow) leaves the token
        // to the checked path below.
        while (end - p >= 32 && cap - o >= 16) {
#if defined(__SSE2__)
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + o), v);
            const unsigned ff =
                static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(-1))));
            if (ff == 0) {
                o += 16;
                p += 16;
                continue;
            }
            const size_t run = static_cast<size_t>(std::countr_zero(ff));
#else
            const uint64_t w8 = block::load64(p);
            std::memcpy(d + o, &w8, 8);
            const uint64_t x = ~w8;  // a 0xFF byte is a zero byte of x
            const uint64_t zero = (x - kOnes) & ~x & kHigh;
            if (zero == 0) {
                o += 8;
                p += 8;
                continue;
            }
            const size_t run = static_cast<size_t>(std::countr_zero(zero)) >> 3;
#endif
            o += run;  // run < 16 <= cap - o
            p += run;  // at a 0xFF, with at least 17 bytes left
            const uint64_t w = block::load64(p);
            const size_t dist = static_cast<size_t>((w >> 8) & 0xFFFF);
            const size_t len = static_cast<size_t>((w >> 24) & 0xFFFF);
            // dist - 1 >= o also catches dist 0, the escape.
            if (dist - 1 >= o || len < block::kMinCopy || len > cap - o) break;
            copy_match(d + o, dist, len);
            o += len;
            p += 5;
        }
        if (p == end) break;
        if (*p != 0xFF) {
            // A literal run: up to the next 0xFF, found eight bytes at a time.
            const uint8_t* q = p;
            for (;;) {
                if (end - q < 8) {
                    while (q < end && *q != 0xFF) ++q;
                    break;
                }
                const uint64_t x = ~block::load64(q);  // a 0xFF byte is a zero byte of x
                const uint64_t zero = (x - kOnes) & ~x & kHigh;
                if (zero) {
                    // The lowest flag is exact (the borrow only runs upward).
                    q += std::countr_zero(zero) >> 3;
                    break;
                }
                q += 8;
            }
            const size_t run = static_cast<size_t>(q - p);
            if (!room(run)) return too_long();
            if (run <= 16 && end - p >= 16) {
                std::memcpy(d + o, p, 16);  // the slack takes what lies past the run
            } else {
                std::memcpy(d + o, p, run);
            }
            o += run;
            p = q;
            continue;
        }
        if (end - p < 5) return Status::corrupt("LZ stream truncated inside a copy token");
        const uint16_t dist = static_cast<uint16_t>(p[1] | p[2] << 8);
        const uint16_t len = static_cast<uint16_t>(p[3] | p[4] << 8);
        p += 5;
        if (dist == 0) {
            if (len != 1)
                return Status::corrupt("LZ escape token with length " + std::to_string(len) +
                                     " (expected 1)");
            if (!room(1)) return too_long();
            d[o++] = 0xFF;
            continue;
        }
        if (len < block::kMinCopy)
            return Status::corrupt("LZ copy length " + std::to_string(len) + " is below 6");
        if (dist > o)
            return Status::corrupt("LZ copy at distance " + std::to_string(dist) +
                                 " reaches before the start of the output (" + std::to_string(o) +
                                 " bytes so far)");
        if (!room(len)) return too_long();
        copy_match(d + o, dist, len);
        o += len;
    }
    out.resize(o);
    return Status::ok();
}

}  // namespace varn
