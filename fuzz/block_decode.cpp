// Fuzz target: the block decoder on arbitrary bytes. Any input must give an
// error or a decoded block, never a crash, a hang or an out-of-bounds access.
// The first byte is the tag, so one input reaches the LZ, Huffman and range
// decoders and their LZ-stream combinations. A decoded block must also obey
// the output cap exactly: it decodes again under a cap equal to its size,
// to the same bytes, and fails under a cap one byte smaller.
#include <cstddef>
#include <cstdint>

#include "fuzz_common.h"
#include "format/block/block_compression.h"

namespace {

// Room for two copies of the longest LZ length: every decoder path is in
// reach, and a block announcing more (the Huffman and range coders store
// 32-bit lengths) is cut by the cap instead of being decoded at length.
constexpr size_t kCap = size_t{1} << 17;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const varn::ByteView block(data, size);
    varn::Bytes out;
    varn::Status st = varn::decompress_block(block, out, kCap);
    if (st.failed()) {
        FUZZ_CHECK(!st.message().empty(), "a failure without a message");
        return 0;
    }
    FUZZ_CHECK(out.size() <= kCap, "decoded %zu bytes past the cap of %zu", out.size(), kCap);
    FUZZ_CHECK(size > 0 || out.empty(), "the empty block decoded to %zu bytes", out.size());

    varn::Bytes again;
    st = varn::decompress_block(block, again, out.size());
    FUZZ_CHECK(st.is_ok(), "decodes under a cap of %zu but not under its own size %zu: %s", kCap,
               out.size(), st.message().c_str());
    FUZZ_CHECK(again == out, "decoding twice gave different bytes");
    if (!out.empty()) {
        st = varn::decompress_block(block, again, out.size() - 1);
        FUZZ_CHECK(st.failed(), "a block of %zu decoded bytes passed a cap of %zu", out.size(),
                   out.size() - 1);
    }
    return 0;
}
