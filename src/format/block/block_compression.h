// Block compression: an LZ77 stage of its own, a canonical Huffman coder and a
// static order-0 range coder; compress_block keeps the smallest of up to six
// candidates behind a one-byte tag. The decoders mirror each encoder.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "common/result.h"
#include "common/bytes.h"

namespace varn {

enum class BlockTag : uint8_t {
    Lz = 0,
    LzHuffman = 1,
    Stored = 2,
    Huffman = 3,
    Range = 4,
    LzRange = 5,
};

// How hard the compressor works. Every level writes blocks of the same
// format, which any reader decodes; only the parse and the candidates differ.
//   Fast:    a cheap parse (one probe per position, skipping ahead through
//            stretches that do not match) and no range coder candidates.
//   Default: the standard parse and candidate rules (fixed output bytes).
//   Small:   a cost-driven parse over longer match chains, every candidate,
//            and never a block larger than Default's.
enum class BlockLevel : uint8_t { Fast, Default, Small };

// "fast", "default" or "small"; empty for any other text.
std::optional<BlockLevel> block_level_from_name(std::string_view name);
const char* block_level_name(BlockLevel level);

// Reusable scratch for compress_block: the match-finder tables and candidate
// buffers live across calls so a long conversion allocates nothing per block.
// Not thread-safe; use one per thread.
class BlockCompressor {
public:
    explicit BlockCompressor(BlockLevel level = BlockLevel::Default);
    ~BlockCompressor();
    BlockCompressor(const BlockCompressor&) = delete;
    BlockCompressor& operator=(const BlockCompressor&) = delete;

    // Replaces `out` with the compressed block of `in` (empty for empty input).
    void compress(ByteView in, Bytes& out);
    BlockLevel level() const { return level_; }
    void set_level(BlockLevel level) { level_ = level; }

private:
    struct Scratch;
    Scratch* s_;
    BlockLevel level_;
};

// The compressed block of `in`; a pure function of its input and the level.
Bytes compress_block(ByteView in);
Bytes compress_block(ByteView in, BlockLevel level);

// The LZ stream of `in` (appended to out).
void lz_compress(ByteView in, Bytes& out);
// Huffman block of `in` (empty for empty input).
Bytes huffman_compress(ByteView in);
// Range block of `in` (empty for empty input).
Bytes range_compress(ByteView in);

// Decoders. Each rejects malformed input with a message and never reads or
// writes out of bounds; `max_output` caps the decoded size (a block that
// would decode to more is an error), so untrusted blocks cannot exhaust memory.
// `out` is replaced; buffers handed in again and again keep their memory, so
// a caller decoding many blocks allocates (and clears) almost nothing.
Status decompress_block(ByteView block, Bytes& out, size_t max_output);
// The same with `scratch` for the intermediate LZ stream of a coded block;
// the stream and the output together may take at most `max_stream` bytes
// (and the stream never more than five bytes per byte of `max_output`).
Status decompress_block(ByteView block, Bytes& out, size_t max_output, Bytes& scratch,
                        size_t max_stream = SIZE_MAX);
Status lz_decompress(ByteView stream, Bytes& out, size_t max_output);
Status huffman_decompress(ByteView block, Bytes& out, size_t max_output);
// huffman_decompress into the front of `out`, which grows only when shorter
// than the content (and is never cut): `n` is the content's length. For
// scratch buffers, whose regrowth resize would zero-fill.
Status huffman_decompress_into(ByteView block, Bytes& out, size_t max_output, size_t& n);
Status range_decompress(ByteView block, Bytes& out, size_t max_output);
// True for a well-formed range block of one symbol value: it decodes to n
// copies of `symbol`.
bool range_single_symbol(ByteView block, uint8_t& symbol, size_t& n);

}  // namespace varn
