// Byte strings and the small integer codecs every part of the file format uses:
// little-endian fixed-width fields, LEB128 and zigzag.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace varn {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

inline ByteView as_bytes(const Bytes& b) { return ByteView(b.data(), b.size()); }
inline ByteView as_bytes(const void* p, size_t n) {
    return ByteView(static_cast<const uint8_t*>(p), n);
}

inline uint64_t zigzag_encode(int64_t v) {
    return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
}
inline int64_t zigzag_decode(uint64_t u) {
    return static_cast<int64_t>((u >> 1) ^ (~(u & 1) + 1));
}

// Writes v as LEB128 at p (at most 10 bytes); returns the byte count.
inline size_t leb128_put(uint8_t* p, uint64_t v) {
    size_t n = 0;
    while (v >= 0x80) {
        p[n++] = static_cast<uint8_t>(v | 0x80);
        v >>= 7;
    }
    p[n++] = static_cast<uint8_t>(v);
    return n;
}

inline void put_leb128(Bytes& out, uint64_t v) {
    uint8_t tmp[10];
    size_t n = leb128_put(tmp, v);
    out.insert(out.end(), tmp, tmp + n);
}
inline void put_zigzag(Bytes& out, int64_t v) { put_leb128(out, zigzag_encode(v)); }

inline size_t leb128_size(uint64_t v) {
    size_t n = 1;
    while (v >= 0x80) {
        v >>= 7;
        ++n;
    }
    return n;
}

template <class T>
inline void put_le(Bytes& out, T v) {
    static_assert(std::is_unsigned_v<T>);
    for (size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
template <class T>
inline void store_le(uint8_t* p, T v) {
    static_assert(std::is_unsigned_v<T>);
    for (size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
template <class T>
inline T load_le(const uint8_t* p) {
    static_assert(std::is_unsigned_v<T>);
    T v = 0;
    for (size_t i = 0; i < sizeof(T); ++i) v |= static_cast<T>(static_cast<T>(p[i]) << (8 * i));
    return v;
}

// A bounds-checked cursor over untrusted bytes. Every read reports failure
// instead of reading past the end; decoders test ok() once at the end or bail early.
class ByteReader {
public:
    explicit ByteReader(ByteView data) : p_(data.data()), end_(data.data() + data.size()) {}

    size_t remaining() const { return static_cast<size_t>(end_ - p_); }
    bool at_end() const { return p_ == end_; }
    const uint8_t* position() const { return p_; }

    bool read_u8(uint8_t& v) {
        if (p_ == end_) return false;
        v = *p_++;
        return true;
    }
    template <class T>
    bool read_le(T& v) {
        if (remaining() < sizeof(T)) return false;
        v = load_le<T>(p_);
        p_ += sizeof(T);
        return true;
    }
    bool read_leb128(uint64_t& v) {
        uint64_t result = 0;
        for (unsigned shift = 0; shift < 64; shift += 7) {
            if (p_ == end_) return false;
            uint8_t b = *p_++;
            if (shift == 63 && (b & 0x7E)) return false;  // more than 64 bits
            result |= static_cast<uint64_t>(b & 0x7F) << shift;
            if (!(b & 0x80)) {
                v = result;
                return true;
            }
        }
        return false;
    }
    bool read_zigzag(int64_t& v) {
        uint64_t u;
        if (!read_leb128(u)) return false;
        v = zigzag_decode(u);
        return true;
    }
    bool read_bytes(size_t n, ByteView& out) {
        if (remaining() < n) return false;
        out = ByteView(p_, n);
        p_ += n;
        return true;
    }
    bool skip(size_t n) {
        if (remaining() < n) return false;
        p_ += n;
        return true;
    }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

}  // namespace varn
