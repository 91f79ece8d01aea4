// Internals shared by the block compressor's parts (LZ stage, Huffman coder,
// range coder, candidate selection) and by their tests. Everything here works
// on reusable scratch so that a long conversion allocates nothing per block.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "format/block/block_compression.h"
#include "common/bytes.h"

namespace varn::block {

// The largest input whose positions and content length fit the 32-bit fields
// of the LZ tables and the coders' headers. Larger inputs are stored as is.
inline constexpr uint64_t kMaxCodedInput = 0xFFFFFFFFu;

inline uint32_t load32(const uint8_t* p) {
    if constexpr (std::endian::native == std::endian::little) {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    } else {
        return load_le<uint32_t>(p);
    }
}
inline uint64_t load64(const uint8_t* p) {
    if constexpr (std::endian::native == std::endian::little) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        return v;
    } else {
        return load_le<uint64_t>(p);
    }
}
inline void store64_be(uint8_t* p, uint64_t v) {
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    std::memcpy(p, &v, 8);
}

// Buffers of at least this many bytes are allocated at their exact size.
inline constexpr size_t kExactGrowth = size_t{64} << 20;

// A growable byte buffer that never zero-fills: the hot loops write through a
// raw pointer after one capacity check.
class ByteBuf {
public:
    uint8_t* data() { return p_.get(); }
    const uint8_t* data() const { return p_.get(); }
    size_t size() const { return size_; }
    ByteView view() const { return ByteView(p_.get(), size_); }
    void clear() { size_ = 0; }
    // Gives the memory back.
    void release() {
        p_.reset();
        size_ = cap_ = 0;
    }
    void set_size(size_t n) { size_ = n; }  // n <= capacity
    // Makes room for `extra` bytes past size() and returns where they go.
    uint8_t* tail(size_t extra) {
        if (cap_ - size_ < extra) grow(size_ + extra);
        return p_.get() + size_;
    }

private:
    void grow(size_t need) {
        size_t cap = cap_ < 4096 ? 4096 : cap_;
        while (cap < need) cap = cap > (SIZE_MAX >> 1) ? need : cap * 2;
        // A large buffer is taken at the size asked for: doubling would
        // reserve up to twice what a large block needs.
        if (need >= kExactGrowth) cap = need;
        auto np = std::make_unique_for_overwrite<uint8_t[]>(cap);
        if (size_) std::memcpy(np.get(), p_.get(), size_);
        p_ = std::move(np);
        cap_ = cap;
    }
    std::unique_ptr<uint8_t[]> p_;
    size_t size_ = 0;
    size_t cap_ = 0;
};

// Occurrence count of every byte value.
void byte_histogram(const uint8_t* p, size_t n, uint32_t counts[256]);

// Inputs of at least this many bytes are compressed with the least memory:
// the LZ stream's room is counted exactly, the range candidates are sized
// without being written, the winner is written straight into the output, and
// the scratch is released afterwards. The output is the same either way.
inline constexpr size_t kLargeBlock = size_t{64} << 20;

// ---- LZ stage ----

inline constexpr size_t kHashSize = 65536;
inline constexpr size_t kBucketWays = 8;  // 7 positions used; 32 bytes per bucket

// Match-finder state: per hash value, the seven most recently inserted
// positions with that hash, newest first. A position p of the current call is
// stored as base + p + 1, and each call raises base past every value it
// stored, so entries left by earlier calls (and the zeros of a fresh table)
// read as out of reach and the table never needs clearing between calls.
class LzTables {
public:
    LzTables() = default;
    ~LzTables();
    LzTables(const LzTables&) = delete;
    LzTables& operator=(const LzTables&) = delete;

    uint32_t* buckets = nullptr;  // kHashSize * kBucketWays entries, 64-byte aligned
    uint32_t base = 0;            // stored values of this call start at base + 1
    void* mem = nullptr;          // the allocation holding the buckets
    size_t mapped = 0;            // its size when mapped from the system, else 0 (heap)
};

// Appends the LZ stream of in[0..n) to out. n <= kMaxCodedInput. An input
// of at least kLargeBlock bytes reserves room for exactly the longest stream
// it can give (one byte per byte, five per 0xFF byte), else five per byte.
void lz_encode(LzTables& t, const uint8_t* in, size_t n, ByteBuf& out, size_t large_from = kLargeBlock);

// ---- Huffman coder ----

struct HuffmanCode {
    uint8_t len[256];    // 0 for absent values
    uint32_t code[256];  // canonical codewords
    int nsym = 0;        // number of occurring values
};

// Builds the code for the given counts (at least one nonzero). Trees
// deeper than 15 levels get their lengths limited to 15.
void huffman_build(const uint32_t counts[256], HuffmanCode& hc);
// The depth of each leaf of the tree the frequency queue builds, unlimited
// (0 for absent values, 1 for a lone symbol). Returns the largest depth.
int huffman_tree_depths(const uint32_t counts[256], uint32_t depths[256]);
// Exact size of the Huffman block of the bytes these counts describe.
size_t huffman_block_size(const uint32_t counts[256], const HuffmanCode& hc);
// Writes the Huffman block of in[0..n) at dst, which must have room for
// huffman_block_size(...) + 8 bytes. Returns the block size.
size_t huffman_write(const uint8_t* in, size_t n, const HuffmanCode& hc, uint8_t* dst);

// ---- Range coder ----

inline constexpr uint32_t kRangeTotal = 1u << 14;

struct RangeModel {
    uint16_t freq[256];  // scaled frequencies, 0 for absent values
    uint32_t cum[257];
    int nsym = 0;
};

// Scales the counts of n bytes (n >= 1) to frequencies summing to 16,384.
void range_build_model(const uint32_t counts[256], size_t n, RangeModel& m);
// Appends the range block of in[0..n) (n >= 1) to out.
void range_encode(const uint8_t* in, size_t n, const RangeModel& m, ByteBuf& out);
// Writes the range block of in[0..n) at dst, which must have room for
// 2 + 3 * 256 + 4 + 2 * n + 4 bytes, or for range_encoded_size(...) bytes
// (exactly what is written). Returns the block size.
size_t range_encode_to(const uint8_t* in, size_t n, const RangeModel& m, uint8_t* dst);
// The size of the range block of in[0..n), found without writing it.
size_t range_encoded_size(const uint8_t* in, size_t n, const RangeModel& m);

// ---- Candidate selection ----

inline constexpr size_t kCoderMinStream = 512;  // LZ streams below this try no coder
inline constexpr size_t kHuffmanRawMin = 512;   // Huffman on the input: input size at least
inline constexpr size_t kRangeRawMin = 256;     // range coder on the input: input size at least

// Replaces `out` with the block: the tag, then p[0..n).
inline void emit(Bytes& out, BlockTag tag, const uint8_t* p, size_t n) {
    out.resize(1 + n);
    out[0] = static_cast<uint8_t>(tag);
    if (n) std::memcpy(out.data() + 1, p, n);
}

// Replaces `out` with the Huffman block of in[0..n) behind `tag`; `cost` is
// its size from huffman_block_size plus one.
inline void emit_huffman(Bytes& out, BlockTag tag, size_t cost, const uint8_t* in, size_t n,
                         const HuffmanCode& hc) {
    out.resize(cost + 8);  // the packer stores eight bytes at a time
    out[0] = static_cast<uint8_t>(tag);
    const size_t written = huffman_write(in, n, hc, out.data() + 1);
    out.resize(1 + written);
}

struct BlockScratch {
    LzTables lz;
    ByteBuf lz_stream;
    ByteBuf range_lz;
    ByteBuf range_raw;
    HuffmanCode huff_lz;
    HuffmanCode huff_raw;
    uint32_t counts_lz[256];
    uint32_t counts_raw[256];
};

// compress_block on reusable scratch. Inputs longer than `max_coded` bytes
// get the Stored form; callers pass kMaxCodedInput (tests pass less). Inputs
// of `large_from` bytes or more take the low-memory route (tests pass less).
void compress_with_scratch(BlockScratch& s, ByteView in, Bytes& out, uint64_t max_coded,
                           size_t large_from = kLargeBlock);

// ---- The fast and small levels ----

// Match-finder state of the fast parse: one position per hash of six bytes,
// stored offset by a per-call base as in LzTables.
struct FastTables {
    std::unique_ptr<uint32_t[]> head;  // kHashSize entries
    uint32_t base = 0;
};

// State of the small parse: hash chains over the last 64 KiB (a head per
// hash of six bytes, a link per position in a ring of 65,536), and the
// arrays of the cost-driven parse of one segment of the input.
struct SmallTables {
    std::unique_ptr<uint32_t[]> head;  // kHashSize entries
    std::unique_ptr<uint32_t[]> link;  // 65,536 entries, by position mod 65,536
    uint32_t base = 0;
    std::unique_ptr<uint32_t[]> cost;   // per segment position + 1
    std::unique_ptr<uint16_t[]> from;   // length of the token ending there (1: literal)
    std::unique_ptr<uint16_t[]> from_dist;
    std::unique_ptr<uint16_t[]> match;  // longest match found at each position
    std::unique_ptr<uint16_t[]> match_dist;
    std::unique_ptr<uint16_t[]> path;   // the chosen tokens, last first
    std::unique_ptr<uint16_t[]> path_dist;
};

// The LZ streams of the two levels, appended to out (n <= kMaxCodedInput).
// Both are valid streams for lz_decompress; the fast one is cheap to make,
// the small one aims at the fewest bits after the entropy coders.
void lz_encode_fast(FastTables& t, const uint8_t* in, size_t n, ByteBuf& out);
void lz_encode_small(SmallTables& t, const uint8_t* in, size_t n, ByteBuf& out);

struct LevelScratch {
    FastTables fast;
    SmallTables small;
    Bytes level_block;    // the small level's own block
    Bytes default_block;  // and the default one it is compared with
};

// compress_with_scratch at the fast or small level (Default goes to
// compress_with_scratch). Inputs of `large_from` bytes or more, and short
// ones, get the default output.
void compress_level(BlockScratch& s, LevelScratch& ls, BlockLevel level, ByteView in, Bytes& out,
                    uint64_t max_coded, size_t large_from = kLargeBlock);

}  // namespace varn::block
