// The four integer encoders of Int and Float columns and their exact size
// measures. All arithmetic on differences is done on uint64_t so that wrap-
// around is defined; the measures mirror the encoders byte for byte so the
// column analysis can compare candidates without building them.
#include "format/column/integer_encoders.h"

namespace varn {

namespace {

inline uint64_t wrap_sub(int64_t a, int64_t b) {
    return static_cast<uint64_t>(a) - static_cast<uint64_t>(b);
}

inline size_t zz_length(int64_t v) { return leb128_length(zigzag_encode(v)); }

// Appends zigzag LEB128 of v without the per-call vector insert of put_zigzag.
inline uint8_t* put_zz(uint8_t* p, int64_t v) { return p + leb128_put(p, zigzag_encode(v)); }

}  // namespace

unsigned for_bit_width(int64_t lo, int64_t hi) {
    uint64_t range = wrap_sub(hi, lo);
    return range == 0 ? 0u : 64u - static_cast<unsigned>(__builtin_clzll(range));
}

void encode_rle_int(std::span<const int64_t> v, Bytes& out) {
    // Runs as (length, value); a length is counted in 64 bits so a run longer
    // than 2^32 - 1 values keeps its true length.
    std::vector<std::pair<uint64_t, int64_t>> runs;
    for (size_t i = 0; i < v.size();) {
        size_t j = i + 1;
        while (j < v.size() && v[j] == v[i]) ++j;
        runs.emplace_back(j - i, v[i]);
        i = j;
    }
    size_t at = out.size();
    out.resize(at + 10 + runs.size() * 20);
    uint8_t* p = out.data() + at;
    p += leb128_put(p, runs.size());
    for (const auto& [len, value] : runs) {
        p += leb128_put(p, len);
        p = put_zz(p, value);
    }
    out.resize(static_cast<size_t>(p - out.data()));
}

size_t rle_int_size(std::span<const int64_t> v) {
    size_t body = 0, runs = 0;
    for (size_t i = 0; i < v.size();) {
        size_t j = i + 1;
        while (j < v.size() && v[j] == v[i]) ++j;
        body += leb128_length(j - i) + zz_length(v[i]);
        ++runs;
        i = j;
    }
    return leb128_length(runs) + body;
}

void encode_delta_int(std::span<const int64_t> v, Bytes& out) {
    if (v.empty()) return;
    size_t at = out.size();
    out.resize(at + v.size() * 10);
    uint8_t* p = out.data() + at;
    p = put_zz(p, v[0]);
    for (size_t i = 1; i < v.size(); ++i) {
        p = put_zz(p, static_cast<int64_t>(wrap_sub(v[i], v[i - 1])));
    }
    out.resize(static_cast<size_t>(p - out.data()));
}

size_t delta_int_size(std::span<const int64_t> v) {
    if (v.empty()) return 0;
    size_t n = zz_length(v[0]);
    for (size_t i = 1; i < v.size(); ++i) {
        n += zz_length(static_cast<int64_t>(wrap_sub(v[i], v[i - 1])));
    }
    return n;
}

void encode_for(std::span<const int64_t> v, Bytes& out) {
    if (v.empty()) return;
    int64_t lo = v[0], hi = v[0];
    for (int64_t x : v) {
        lo = x < lo ? x : lo;
        hi = x > hi ? x : hi;
    }
    const unsigned w = for_bit_width(lo, hi);
    put_zigzag(out, lo);
    out.push_back(static_cast<uint8_t>(w));
    if (w == 0) return;

    const uint64_t mask = w == 64 ? ~uint64_t{0} : (uint64_t{1} << w) - 1;
    size_t at = out.size();
    // ceil(n * w / 8) without overflowing n * w.
    size_t packed = (v.size() / 8) * w + ((v.size() % 8) * w + 7) / 8;
    out.resize(at + packed);
    uint8_t* p = out.data() + at;
    uint64_t acc = 0;  // holds fewer than 8 pending bits between values
    unsigned nbits = 0;
    for (int64_t x : v) {
        uint64_t off = wrap_sub(x, lo) & mask;
        if (nbits + w <= 64) {
            acc |= off << nbits;
            nbits += w;
            while (nbits >= 8) {
                *p++ = static_cast<uint8_t>(acc);
                acc >>= 8;
                nbits -= 8;
            }
        } else {
            // nbits + w exceeds the accumulator: emit 64 bits, keep the carry.
            store_le<uint64_t>(p, acc | (off << nbits));
            p += 8;
            acc = off >> (64 - nbits);
            nbits = nbits + w - 64;
        }
    }
    if (nbits > 0) *p++ = static_cast<uint8_t>(acc);
}

size_t for_size(std::span<const int64_t> v) {
    if (v.empty()) return 0;
    int64_t lo = v[0], hi = v[0];
    for (int64_t x : v) {
        lo = x < lo ? x : lo;
        hi = x > hi ? x : hi;
    }
    const size_t w = for_bit_width(lo, hi);
    return zz_length(lo) + 1 + (v.size() / 8) * w + ((v.size() % 8) * w + 7) / 8;
}

void encode_cdelta(std::span<const int64_t> v, Bytes& out) {
    if (v.empty()) {
        out.push_back(0);
        out.push_back(0);
        return;
    }
    put_zigzag(out, v[0]);
    put_zigzag(out, v.size() == 1 ? 0 : static_cast<int64_t>(wrap_sub(v[1], v[0])));
}

}  // namespace varn
