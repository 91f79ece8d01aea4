// Fuzz target: compress_block round trip. Every input must come back
// unchanged through decompress_block under a cap of exactly its own size, the
// block must be at most one byte longer than the input, and compressing is a
// pure function of the input: a BlockCompressor whose scratch tables were
// used by every earlier input gives the same block as a fresh call. Each coder
// is also round-tripped on its own, since compress_block only tries the
// coders above a few hundred bytes.
//
// Every input also goes through the fast and small levels: their blocks must
// decode to the input under the same cap, be at most one byte longer than it,
// agree between fresh and reused compressors, and the small block is never
// larger than the default one.
//
// Inputs starting with the byte 0xFE are expanded before use (see expand) so
// that long matches, distances up to 65,535 and runs longer than one copy
// token are reached from a short input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_common.h"
#include "format/block/block_compression.h"

namespace {

using varn::Bytes;
using varn::ByteView;

// 0xFE, u16 count, body: the body repeated until count * 2 bytes (up to
// 128 KiB) are filled, the first byte of each repetition XORed with the
// repetition number so that copies are long but not all identical.
bool expand(const uint8_t* data, size_t size, Bytes& out) {
    if (size < 4 || data[0] != 0xFE) return false;
    const size_t total = (size_t{data[1]} | size_t{data[2]} << 8) * 2;
    const uint8_t* body = data + 3;
    const size_t n = size - 3;
    out.resize(total);
    for (size_t at = 0, rep = 0; at < total; at += n, ++rep) {
        const size_t k = total - at < n ? total - at : n;
        std::memcpy(out.data() + at, body, k);
        out[at] = static_cast<uint8_t>(out[at] ^ rep);
    }
    return true;
}

void check_round_trip(ByteView in) {
    const size_t n = in.size();
    const Bytes block = varn::compress_block(in);
    FUZZ_CHECK(n > 0 || block.empty(), "the empty input gave %zu bytes", block.size());
    FUZZ_CHECK(n == 0 || (block.size() >= 2 && block.size() <= n + 1),
               "a block of %zu bytes for %zu input bytes", block.size(), n);
    if (n > 0) FUZZ_CHECK(block[0] <= 5, "unknown tag %u", block[0]);
    if (n > 0 && n < 10) {
        FUZZ_CHECK(block[0] == static_cast<uint8_t>(varn::BlockTag::Stored),
                   "an input of %zu bytes got tag %u instead of Stored", n, block[0]);
    }

    // The same compressor across all inputs of the run: stale scratch would
    // show up as a block that differs from the fresh one.
    static varn::BlockCompressor reused;
    Bytes block2;
    reused.compress(in, block2);
    FUZZ_CHECK(block2 == block, "a reused BlockCompressor gave a different block (%zu vs %zu bytes)",
               block2.size(), block.size());

    Bytes out;
    varn::Status st = varn::decompress_block(varn::as_bytes(block), out, n);
    FUZZ_CHECK(st.is_ok(), "tag %u block of %zu bytes does not decode: %s",
               block.empty() ? 0u : block[0], block.size(), st.message().c_str());
    FUZZ_CHECK(out.size() == n && std::equal(out.begin(), out.end(), in.begin()),
               "tag %u block decodes to %zu bytes that differ from the %zu input bytes",
               block.empty() ? 0u : block[0], out.size(), n);

    // Each coder alone. Under a cap of exactly the input size, and the LZ
    // stream also as the content of each entropy coder as compress_block uses it.
    Bytes lz;
    varn::lz_compress(in, lz);
    st = varn::lz_decompress(varn::as_bytes(lz), out, n);
    FUZZ_CHECK(st.is_ok() && out.size() == n && std::equal(out.begin(), out.end(), in.begin()),
               "LZ round trip failed: %s", st.message().c_str());

    const Bytes huff = varn::huffman_compress(in);
    if (!huff.empty()) {
        st = varn::huffman_decompress(varn::as_bytes(huff), out, n);
        FUZZ_CHECK(st.is_ok() && out.size() == n && std::equal(out.begin(), out.end(), in.begin()),
                   "Huffman round trip failed: %s", st.message().c_str());
    }
    const Bytes range = varn::range_compress(in);
    if (!range.empty()) {
        st = varn::range_decompress(varn::as_bytes(range), out, n);
        FUZZ_CHECK(st.is_ok() && out.size() == n && std::equal(out.begin(), out.end(), in.begin()),
                   "range round trip failed: %s", st.message().c_str());
    }
    FUZZ_CHECK(n > 0 || (huff.empty() && range.empty()), "a coder gave bytes for the empty input");

    static varn::BlockCompressor reused_levels[2] = {varn::BlockCompressor(varn::BlockLevel::Fast),
                                                     varn::BlockCompressor(varn::BlockLevel::Small)};
    for (varn::BlockCompressor& c : reused_levels) {
        const char* name = varn::block_level_name(c.level());
        const Bytes level_block = varn::compress_block(in, c.level());
        FUZZ_CHECK(n == 0 ? level_block.empty() : level_block.size() >= 2 && level_block.size() <= n + 1,
                   "level %s: a block of %zu bytes for %zu input bytes", name, level_block.size(), n);
        c.compress(in, block2);
        FUZZ_CHECK(block2 == level_block, "level %s: a reused compressor gave a different block", name);
        st = varn::decompress_block(varn::as_bytes(level_block), out, n);
        FUZZ_CHECK(st.is_ok() && out.size() == n && std::equal(out.begin(), out.end(), in.begin()),
                   "level %s: tag %u block does not decode to the input: %s", name,
                   level_block.empty() ? 0u : level_block[0], st.message().c_str());
        if (c.level() == varn::BlockLevel::Small)
            FUZZ_CHECK(level_block.size() <= block.size(), "level small: %zu bytes against default's %zu",
                       level_block.size(), block.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes expanded;
    if (expand(data, size, expanded)) {
        check_round_trip(varn::as_bytes(expanded));
    } else {
        check_round_trip(ByteView(data, size));
    }
    return 0;
}
