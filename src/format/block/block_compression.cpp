// Candidate selection for compressed blocks and the block decoder. The LZ
// stream is always built; the coders are gated by size. Huffman candidates are
// costed from their code lengths alone and only the winner is packed; range
// candidates are coded into scratch because their size is known only after
// coding. All scratch lives in BlockCompressor and is reused across calls.
#include <algorithm>
#include <string>

#include "format/block/block_internal.h"

namespace varn {
namespace block {
namespace {

// Writes the winning candidate of a large input into `out`, with the
// scratch released as soon as it is no longer needed: a candidate coded from
// the input does not need the LZ stream, so the stream goes before the
// output is made.
void emit_large(BlockScratch& s, BlockTag tag, uint64_t cost, ByteView in, Bytes& out) {
    const uint8_t* lz = s.lz_stream.data();
    const size_t l = s.lz_stream.size();
    const bool from_lz = tag == BlockTag::Lz || tag == BlockTag::LzHuffman || tag == BlockTag::LzRange;
    if (!from_lz) s.lz_stream.release();
    s.range_lz.release();
    s.range_raw.release();
    out.clear();
    switch (tag) {
        case BlockTag::Range:
        case BlockTag::LzRange: {
            RangeModel m;
            if (tag == BlockTag::Range)
                range_build_model(s.counts_raw, in.size(), m);
            else
                range_build_model(s.counts_lz, l, m);
            out.resize(static_cast<size_t>(cost));
            out[0] = static_cast<uint8_t>(tag);
            const size_t written = tag == BlockTag::Range
                                       ? range_encode_to(in.data(), in.size(), m, out.data() + 1)
                                       : range_encode_to(lz, l, m, out.data() + 1);
            out.resize(1 + written);  // the same size as counted
            break;
        }
        case BlockTag::Stored:
            emit(out, BlockTag::Stored, in.data(), in.size());
            break;
        case BlockTag::LzHuffman:
            emit_huffman(out, BlockTag::LzHuffman, static_cast<size_t>(cost), lz, l, s.huff_lz);
            break;
        case BlockTag::Huffman:
            emit_huffman(out, BlockTag::Huffman, static_cast<size_t>(cost), in.data(), in.size(), s.huff_raw);
            break;
        case BlockTag::Lz:
            emit(out, BlockTag::Lz, lz, l);
            break;
    }
    s.lz_stream.release();
}

}  // namespace

void compress_with_scratch(BlockScratch& s, ByteView in, Bytes& out, uint64_t max_coded,
                           size_t large_from) {
    const size_t n = in.size();
    if (n == 0) {
        out.clear();
        return;
    }
    if (n > max_coded) {
        // Positions and content lengths would not fit their 32-bit fields.
        emit(out, BlockTag::Stored, in.data(), n);
        return;
    }
    s.lz_stream.clear();
    const bool large = n >= large_from;
    lz_encode(s.lz, in.data(), n, s.lz_stream, large_from);
    const uint8_t* lz = s.lz_stream.data();
    const size_t l = s.lz_stream.size();
    if (l < kCoderMinStream) {
        if (n <= l)
            emit(out, BlockTag::Stored, in.data(), n);
        else
            emit(out, BlockTag::Lz, lz, l);
        if (large) s.lz_stream.release();  // its reservation is about n bytes
        return;
    }

    // Costs are payload + 1; 0 marks a candidate that was not formed.
    const uint64_t n64 = n, l64 = l;
    const uint64_t cost_lz = l64 + 1;
    const uint64_t cost_stored = n64 + 1;

    byte_histogram(lz, l, s.counts_lz);
    huffman_build(s.counts_lz, s.huff_lz);
    const uint64_t cost_lz_huffman = huffman_block_size(s.counts_lz, s.huff_lz) + 1;

    uint64_t cost_huffman = 0;
    bool raw_counted = false;
    if (n >= kHuffmanRawMin && 100 * l64 > 85 * n64) {
        byte_histogram(in.data(), n, s.counts_raw);
        raw_counted = true;
        huffman_build(s.counts_raw, s.huff_raw);
        cost_huffman = huffman_block_size(s.counts_raw, s.huff_raw) + 1;
    }

    // A large input's range candidates are only sized here; the winner is
    // coded straight into the output below.
    uint64_t cost_lz_range = 0, cost_range = 0;
    if (100 * cost_lz_huffman >= 70 * (n64 + 1)) {
        RangeModel m;
        range_build_model(s.counts_lz, l, m);
        if (large) {
            cost_lz_range = range_encoded_size(lz, l, m) + 1;
        } else {
            s.range_lz.clear();
            range_encode(lz, l, m, s.range_lz);
            cost_lz_range = s.range_lz.size() + 1;
        }
        if (n >= kRangeRawMin) {
            if (!raw_counted) byte_histogram(in.data(), n, s.counts_raw);
            range_build_model(s.counts_raw, n, m);
            if (large) {
                cost_range = range_encoded_size(in.data(), n, m) + 1;
            } else {
                s.range_raw.clear();
                range_encode(in.data(), n, m, s.range_raw);
                cost_range = s.range_raw.size() + 1;
            }
        }
    }

    // Smallest cost wins; on ties the first in this order.
    const BlockTag order[6] = {BlockTag::Range,     BlockTag::LzRange, BlockTag::Stored,
                               BlockTag::LzHuffman, BlockTag::Huffman, BlockTag::Lz};
    const uint64_t costs[6] = {cost_range,      cost_lz_range, cost_stored,
                               cost_lz_huffman, cost_huffman,  cost_lz};
    int best = -1;
    for (int i = 0; i < 6; ++i)
        if (costs[i] != 0 && (best < 0 || costs[i] < costs[best])) best = i;

    if (large) {
        emit_large(s, order[best], costs[best], in, out);
        return;
    }
    switch (order[best]) {
        case BlockTag::Range:
            emit(out, BlockTag::Range, s.range_raw.data(), s.range_raw.size());
            break;
        case BlockTag::LzRange:
            emit(out, BlockTag::LzRange, s.range_lz.data(), s.range_lz.size());
            break;
        case BlockTag::Stored:
            emit(out, BlockTag::Stored, in.data(), n);
            break;
        case BlockTag::LzHuffman:
            emit_huffman(out, BlockTag::LzHuffman, cost_lz_huffman, lz, l, s.huff_lz);
            break;
        case BlockTag::Huffman:
            emit_huffman(out, BlockTag::Huffman, cost_huffman, in.data(), n, s.huff_raw);
            break;
        case BlockTag::Lz:
            emit(out, BlockTag::Lz, lz, l);
            break;
    }
}

}  // namespace block

std::optional<BlockLevel> block_level_from_name(std::string_view name) {
    if (name == "fast") return BlockLevel::Fast;
    if (name == "default") return BlockLevel::Default;
    if (name == "small") return BlockLevel::Small;
    return std::nullopt;
}

const char* block_level_name(BlockLevel level) {
    switch (level) {
        case BlockLevel::Fast: return "fast";
        case BlockLevel::Small: return "small";
        case BlockLevel::Default: break;
    }
    return "default";
}

struct BlockCompressor::Scratch : block::BlockScratch {
    // The other levels' tables, made on their first use.
    std::unique_ptr<block::LevelScratch> levels;
};

BlockCompressor::BlockCompressor(BlockLevel level) : s_(new Scratch), level_(level) {}
BlockCompressor::~BlockCompressor() { delete s_; }

void BlockCompressor::compress(ByteView in, Bytes& out) {
    if (level_ == BlockLevel::Default) {
        block::compress_with_scratch(*s_, in, out, block::kMaxCodedInput);
        return;
    }
    if (!s_->levels) s_->levels = std::make_unique<block::LevelScratch>();
    block::compress_level(*s_, *s_->levels, level_, in, out, block::kMaxCodedInput);
}

Bytes compress_block(ByteView in) { return compress_block(in, BlockLevel::Default); }

Bytes compress_block(ByteView in, BlockLevel level) {
    Bytes out;
    if (in.empty()) return out;
    BlockCompressor c(level);
    c.compress(in, out);
    return out;
}

Status decompress_block(ByteView block, Bytes& out, size_t max_output) {
    Bytes scratch;
    return decompress_block(block, out, max_output, scratch);
}

Status decompress_block(ByteView block, Bytes& out, size_t max_output, Bytes& stream,
                        size_t max_stream) {
    if (block.empty()) {
        out.clear();
        return Status::ok();
    }
    const uint8_t tag = block[0];
    const ByteView payload = block.subspan(1);
    // The compressor never writes a tag without a payload.
    if (payload.empty() && tag <= static_cast<uint8_t>(BlockTag::LzRange))
        return Status::corrupt("block has a tag but no payload");
    // An LZ stream is at most five bytes per byte it decodes to.
    const size_t lz_cap =
        std::min(max_output > SIZE_MAX / 5 ? SIZE_MAX : max_output * 5, max_stream);
    // What the output may take next to the decoded stream.
    auto room_after = [&](size_t stream_size) {
        return std::min(max_output, max_stream > stream_size ? max_stream - stream_size : size_t{0});
    };
    switch (static_cast<BlockTag>(tag)) {
        case BlockTag::Lz:
            return lz_decompress(payload, out, max_output);
        case BlockTag::LzHuffman: {
            // The stream buffer keeps its size between blocks: only its
            // front `n` bytes are this block's stream.
            size_t n = 0;
            VARN_RETURN_IF_ERROR(huffman_decompress_into(payload, stream, lz_cap, n));
            return lz_decompress(ByteView(stream.data(), n), out, room_after(n));
        }
        case BlockTag::Stored:
            if (payload.size() > max_output)
                return Status::corrupt("stored block of " + std::to_string(payload.size()) +
                                     " bytes exceeds the limit of " + std::to_string(max_output) +
                                     " bytes");
            out.assign(payload.begin(), payload.end());
            return Status::ok();
        case BlockTag::Huffman:
            return huffman_decompress(payload, out, max_output);
        case BlockTag::Range:
            return range_decompress(payload, out, max_output);
        case BlockTag::LzRange: {
            // An LZ stream that is a run of one byte value other than 0xFF is
            // that many literals: decoded without building the stream (a few
            // bytes can declare 4 GiB of it).
            uint8_t symbol;
            size_t n;
            if (range_single_symbol(payload, symbol, n) && symbol != 0xFF) {
                stream.clear();
                const size_t most = std::min(max_output, max_stream);
                if (n > most)
                    return Status::corrupt("range content length " + std::to_string(n) + " exceeds the limit of " +
                                         std::to_string(most) + " bytes");
                out.assign(n, symbol);
                return Status::ok();
            }
            VARN_RETURN_IF_ERROR(range_decompress(payload, stream, lz_cap));
            return lz_decompress(as_bytes(stream), out, room_after(stream.size()));
        }
    }
    return Status::corrupt("unknown block tag " + std::to_string(tag));
}

}  // namespace varn
