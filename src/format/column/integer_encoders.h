// Integer encoders of Int and Float columns (and of nothing else): run-length,
// delta, frame-of-reference and constant-delta, over signed 64-bit values.
// None writes the number of values; a decoder is given the row count.
// Differences wrap around (two's complement), so every input has an encoding.
//
// Layouts (LEB128 unsigned, "zz" = LEB128 of the zigzag form):
//   Rle               LEB128 run count, then per run: LEB128 length, zz value.
//                     An empty list is the single byte 00.
//   Delta             zz v[0], then zz (v[i] - v[i-1]) for i >= 1. Empty: nothing.
//   FrameOfReference  zz min, one byte w (bits of max - min, 0 when all equal),
//                     then the offsets v[i] - min, w bits each, packed from
//                     the least significant bit of each byte up. Empty: nothing.
//   ConstDelta        zz v[0], zz (v[1] - v[0]) (00 for one value); stands for
//                     v[i] = v[0] + i * d. Empty: 00 00.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/bytes.h"

namespace varn {

// Each appends its encoding of `v` to `out`.
void encode_rle_int(std::span<const int64_t> v, Bytes& out);
void encode_delta_int(std::span<const int64_t> v, Bytes& out);
void encode_for(std::span<const int64_t> v, Bytes& out);
// Writes only v[0] and v[1] - v[0]: the caller guarantees the list has one
// common difference (or at most two values).
void encode_cdelta(std::span<const int64_t> v, Bytes& out);

// Exact output lengths, measured without building the bytes.
size_t rle_int_size(std::span<const int64_t> v);
size_t delta_int_size(std::span<const int64_t> v);
size_t for_size(std::span<const int64_t> v);

// Bit width of FrameOfReference for the range [lo, hi]: bits of hi - lo
// taken as unsigned, 0 when equal.
unsigned for_bit_width(int64_t lo, int64_t hi);

// LEB128 length of v, without a loop.
inline size_t leb128_length(uint64_t v) {
    unsigned bits = 64u - static_cast<unsigned>(__builtin_clzll(v | 1));
    return (bits + 6) / 7;
}

}  // namespace varn
