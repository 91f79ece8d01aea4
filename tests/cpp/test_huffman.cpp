// Huffman coder: fixed vectors, byte-for-byte agreement with a slow reference
// coder (owning tree nodes, the frequency queue exactly as the format fixes
// it, bit-by-bit packing), length limiting on deep trees, and the decoder's
// handling of malformed blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "format/block/block_compression.h"
#include "format/block/block_internal.h"

namespace varn {
namespace {

// ---- reference coder ----

struct Node {
    std::unique_ptr<Node> left, right;
    uint32_t freq = 0;
    std::optional<uint8_t> symbol;
};
using NodePtr = std::unique_ptr<Node>;

class RefQueue {
public:
    size_t size() const { return slots_.size(); }
    void push(NodePtr x) {
        slots_.push_back(nullptr);
        place(slots_.size() - 1, std::move(x));
    }
    NodePtr pop() {
        NodePtr removed = std::move(slots_.back());
        slots_.pop_back();
        if (slots_.empty()) return removed;
        NodePtr result = std::move(slots_[0]);
        size_t hole = 0;
        const size_t n = slots_.size();
        while (2 * hole + 2 < n) {
            size_t l = 2 * hole + 1, r = 2 * hole + 2;
            size_t c = slots_[r]->freq <= slots_[l]->freq ? r : l;
            slots_[hole] = std::move(slots_[c]);
            hole = c;
        }
        if (2 * hole + 1 < n) {
            slots_[hole] = std::move(slots_[2 * hole + 1]);
            hole = 2 * hole + 1;
        }
        place(hole, std::move(removed));
        return result;
    }

private:
    void place(size_t i, NodePtr x) {
        while (i > 0 && slots_[(i - 1) / 2]->freq > x->freq) {
            slots_[i] = std::move(slots_[(i - 1) / 2]);
            i = (i - 1) / 2;
        }
        slots_[i] = std::move(x);
    }
    std::vector<NodePtr> slots_;
};

void assign(const Node* node, int depth, std::vector<int>& lengths) {
    if (node->symbol) {
        lengths[*node->symbol] = std::max(depth, 1);
        return;
    }
    assign(node->left.get(), depth + 1, lengths);
    assign(node->right.get(), depth + 1, lengths);
}

// Unlimited tree lengths for the bytes of `in` (0 for absent values).
std::vector<int> ref_lengths(const Bytes& in) {
    std::vector<uint32_t> counts(256, 0);
    for (uint8_t b : in) ++counts[b];
    RefQueue q;
    for (int s = 0; s < 256; ++s) {
        if (!counts[s]) continue;
        auto leaf = std::make_unique<Node>();
        leaf->freq = counts[s];
        leaf->symbol = static_cast<uint8_t>(s);
        q.push(std::move(leaf));
    }
    std::vector<int> lengths(256, 0);
    if (q.size() == 0) return lengths;
    while (q.size() > 1) {
        NodePtr a = q.pop();
        NodePtr b = q.pop();
        auto parent = std::make_unique<Node>();
        parent->freq = a->freq + b->freq;
        parent->left = std::move(a);
        parent->right = std::move(b);
        q.push(std::move(parent));
    }
    NodePtr root = q.pop();
    assign(root.get(), 0, lengths);
    return lengths;
}

// The Huffman block for `in`, or nullopt when its tree is deeper than 15.
std::optional<Bytes> ref_huffman(const Bytes& in) {
    if (in.empty()) return Bytes{};
    std::vector<int> len = ref_lengths(in);
    if (*std::max_element(len.begin(), len.end()) > 15) return std::nullopt;
    std::vector<std::pair<int, int>> pairs;  // (length, symbol)
    for (int s = 0; s < 256; ++s)
        if (len[s]) pairs.emplace_back(len[s], s);
    std::sort(pairs.begin(), pairs.end());
    std::vector<uint32_t> code(256, 0);
    for (size_t i = 0; i < pairs.size(); ++i) {
        if (i == 0)
            code[pairs[i].second] = 0;
        else
            code[pairs[i].second] = (code[pairs[i - 1].second] + 1)
                                    << (pairs[i].first - pairs[i - 1].first);
    }
    Bytes out;
    if (pairs.size() >= 127) {
        out.push_back(0xFE);
        for (int s = 0; s < 256; ++s) out.push_back(static_cast<uint8_t>(len[s]));
    } else {
        out.push_back(0xFF);
        out.push_back(static_cast<uint8_t>(pairs.size()));
        for (int s = 0; s < 256; ++s)
            if (len[s]) {
                out.push_back(static_cast<uint8_t>(s));
                out.push_back(static_cast<uint8_t>(len[s]));
            }
    }
    put_le<uint32_t>(out, static_cast<uint32_t>(in.size()));
    std::vector<bool> bits;
    for (uint8_t b : in)
        for (int i = len[b] - 1; i >= 0; --i) bits.push_back((code[b] >> i) & 1);
    for (size_t i = 0; i < bits.size(); i += 8) {
        uint8_t byte = 0;
        for (size_t j = 0; j < 8; ++j)
            if (i + j < bits.size() && bits[i + j]) byte = static_cast<uint8_t>(byte | (0x80 >> j));
        out.push_back(byte);
    }
    return out;
}

// ---- inputs ----

Bytes repeat(uint8_t b, size_t n) { return Bytes(n, b); }

Bytes random_bytes(std::mt19937_64& rng, size_t n, int alphabet) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng() % alphabet);
    return b;
}

// Bytes whose value v has weight proportional to ratio^v: a skewed alphabet.
Bytes skewed_bytes(std::mt19937_64& rng, size_t n, double ratio) {
    std::geometric_distribution<int> g(1.0 - ratio);
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(std::min(g(rng), 255));
    return b;
}

// Symbol i occurs fib(i) times, shuffled: the most lopsided tree there is.
Bytes fibonacci_bytes(int symbols, uint64_t seed) {
    Bytes b;
    uint64_t f0 = 1, f1 = 1;
    for (int s = 0; s < symbols; ++s) {
        b.insert(b.end(), f0, static_cast<uint8_t>(s * 7 + 3));
        uint64_t f2 = f0 + f1;
        f0 = f1;
        f1 = f2;
    }
    std::mt19937_64 rng(seed);
    std::shuffle(b.begin(), b.end(), rng);
    return b;
}

Bytes roundtrip(const Bytes& block, size_t max_output) {
    Bytes out;
    Status st = huffman_decompress(as_bytes(block), out, max_output);
    EXPECT_TRUE(st.is_ok()) << st.message();
    return out;
}

TEST(Huffman, FixedVectors) {
    Bytes all256;
    for (int rep = 0; rep < 3; ++rep)
        for (int s = 0; s < 256; ++s) all256.push_back(static_cast<uint8_t>(s));
    Bytes ab;
    for (int i = 0; i < 512; ++i) ab.push_back(i % 2 ? 0x62 : 0x61);

    Bytes e600 = {0xFF, 0x01, 0x41, 0x01, 0x58, 0x02, 0x00, 0x00};
    e600.resize(e600.size() + 75, 0);
    Bytes eab = {0xFF, 0x02, 0x61, 0x01, 0x62, 0x01, 0x00, 0x02, 0x00, 0x00};
    eab.resize(eab.size() + 64, 0x55);
    Bytes e256 = {0xFE};
    e256.resize(257, 0x08);
    put_le<uint32_t>(e256, 768);
    e256.insert(e256.end(), all256.begin(), all256.end());

    struct Case {
        const char* name;
        Bytes in, expect;
    } cases[] = {
        {"empty", {}, {}},
        {"600 x 0x41", repeat(0x41, 600), e600},
        {"alternating a b", ab, eab},
        {"all 256 values equally often", all256, e256},
        // 9 bits of one symbol: the last byte keeps one bit and seven zero bits.
        {"single symbol, 9 bytes", repeat(7, 9), {0xFF, 1, 7, 1, 9, 0, 0, 0, 0, 0}},
        // a=0, b=10, c=11: "abcaba" is 0 10 11 0 10 0 -> 01011010 0 + padding.
        {"three symbols", {'a', 'b', 'c', 'a', 'b', 'a'},
         {0xFF, 3, 'a', 1, 'b', 2, 'c', 2, 6, 0, 0, 0, 0x5A, 0x00}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes got = huffman_compress(as_bytes(c.in));
        EXPECT_EQ(got, c.expect);
        EXPECT_EQ(roundtrip(got, c.in.size()), c.in);
    }
}

TEST(Huffman, TableFormFollowsDistinctCount) {
    for (int distinct : {2, 126, 127, 255, 256}) {
        SCOPED_TRACE(distinct);
        Bytes in;
        for (int rep = 0; rep < 4; ++rep)
            for (int s = 0; s < distinct; ++s) in.push_back(static_cast<uint8_t>(255 - s));
        Bytes got = huffman_compress(as_bytes(in));
        ASSERT_FALSE(got.empty());
        if (distinct >= 127) {
            EXPECT_EQ(got[0], 0xFE);
        } else {
            EXPECT_EQ(got[0], 0xFF);
            EXPECT_EQ(got[1], distinct);
            // Pairs come in ascending symbol order whatever order the input has.
            for (int i = 1; i < distinct; ++i) EXPECT_LT(got[2 + 2 * (i - 1)], got[2 + 2 * i]);
        }
        EXPECT_EQ(roundtrip(got, in.size()), in);
    }
}

TEST(Huffman, MatchesReferenceCoder) {
    std::mt19937_64 rng(11);
    std::vector<Bytes> inputs;
    for (size_t n : {1u, 2u, 3u, 7u, 8u, 9u, 255u, 256u, 511u, 512u, 1000u, 4097u, 70000u})
        for (int alphabet : {1, 2, 3, 5, 17, 64, 200, 256}) inputs.push_back(random_bytes(rng, n, alphabet));
    for (double ratio : {0.3, 0.5, 0.7, 0.9, 0.97})
        for (size_t n : {100u, 3000u, 50000u}) inputs.push_back(skewed_bytes(rng, n, ratio));
    // Many equal frequencies: the queue's tie order decides the tree shape.
    for (int distinct : {3, 6, 10, 33, 100}) {
        Bytes b;
        for (int i = 0; i < 1000; ++i) b.push_back(static_cast<uint8_t>((i * 7) % distinct));
        inputs.push_back(b);
    }
    inputs.push_back(fibonacci_bytes(16, 1));  // tree exactly 15 deep: no limiting

    size_t compared = 0;
    for (const auto& in : inputs) {
        SCOPED_TRACE(in.size());
        Bytes got = huffman_compress(as_bytes(in));
        EXPECT_EQ(roundtrip(got, in.size()), in);
        // The most skewed inputs build trees deeper than 15; their limited
        // lengths are checked in DeepTreesGetLimitedLengths.
        if (std::optional<Bytes> want = ref_huffman(in)) {
            ++compared;
            EXPECT_EQ(got, *want);
        }
    }
    EXPECT_GE(compared, inputs.size() - 3);
}

// Fibonacci counts force trees deeper than 15; the stored lengths must still
// be a prefix code of at most 15 bits that decodes to the input.
TEST(Huffman, DeepTreesGetLimitedLengths) {
    for (int symbols : {17, 20, 26, 30}) {
        SCOPED_TRACE(symbols);
        Bytes in = fibonacci_bytes(symbols, static_cast<uint64_t>(symbols));
        uint32_t counts[256], depths[256];
        block::byte_histogram(in.data(), in.size(), counts);
        ASSERT_GT(block::huffman_tree_depths(counts, depths), 15);

        Bytes got = huffman_compress(as_bytes(in));
        ASSERT_EQ(got[0], 0xFF);
        ASSERT_EQ(got[1], symbols);
        uint64_t kraft = 0, bits = 0;
        for (int i = 0; i < got[1]; ++i) {
            uint8_t s = got[2 + 2 * i], l = got[3 + 2 * i];
            ASSERT_GE(l, 1);
            ASSERT_LE(l, 15);
            kraft += uint64_t{1} << (15 - l);
            bits += uint64_t{counts[s]} * l;
        }
        EXPECT_LE(kraft, uint64_t{1} << 15);
        EXPECT_EQ(got.size(), 2 + 2 * static_cast<size_t>(got[1]) + 4 + (bits + 7) / 8);
        EXPECT_EQ(roundtrip(got, in.size()), in);
        // Limiting costs a little against the unlimited tree, not a lot.
        uint64_t tree_bits = 0;
        for (int s = 0; s < 256; ++s) tree_bits += uint64_t{counts[s]} * depths[s];
        EXPECT_LE(bits, tree_bits + tree_bits / 50);
    }
}

// ---- decoder on hand-made codes ----

// The block of `symbols` under the canonical code of `len` (256-entry table
// form), packed bit by bit; `junk_at` (if set) inserts 15 one bits before
// that symbol, which an incomplete code reads as no codeword.
Bytes pack_block(const std::vector<int>& len, const Bytes& symbols, std::optional<size_t> junk_at = {}) {
    std::vector<std::pair<int, int>> pairs;  // (length, symbol)
    for (int s = 0; s < 256; ++s)
        if (len[s]) pairs.emplace_back(len[s], s);
    std::sort(pairs.begin(), pairs.end());
    std::vector<uint32_t> code(256, 0);
    for (size_t i = 1; i < pairs.size(); ++i)
        code[pairs[i].second] = (code[pairs[i - 1].second] + 1) << (pairs[i].first - pairs[i - 1].first);
    Bytes out{0xFE};
    for (int s = 0; s < 256; ++s) out.push_back(static_cast<uint8_t>(len[s]));
    put_le<uint32_t>(out, static_cast<uint32_t>(symbols.size()));
    std::vector<bool> bits;
    for (size_t k = 0; k < symbols.size(); ++k) {
        if (junk_at == k) bits.insert(bits.end(), 15, true);
        const uint8_t b = symbols[k];
        for (int i = len[b] - 1; i >= 0; --i) bits.push_back((code[b] >> i) & 1);
    }
    for (size_t i = 0; i < bits.size(); i += 8) {
        uint8_t byte = 0;
        for (size_t j = 0; j < 8 && i + j < bits.size(); ++j)
            if (bits[i + j]) byte = static_cast<uint8_t>(byte | (0x80 >> j));
        out.push_back(byte);
    }
    return out;
}

struct CodeShape {
    const char* name;
    std::vector<int> len;  // 256 lengths
};

// Codes that reach every length from 1 to 15, stop at 14 (the decoder then
// takes four lookups per refill instead of three), give three symbols per
// lookup, one per lookup, or only long codes.
std::vector<CodeShape> code_shapes() {
    std::vector<CodeShape> shapes;
    auto ladder = [](int longest) {  // lengths 1, 2, ..., longest, longest: complete
        std::vector<int> len(256, 0);
        for (int l = 1; l <= longest; ++l) len[40 + l] = l;
        len[200] = longest;
        return len;
    };
    shapes.push_back({"lengths 1 to 15", ladder(15)});
    shapes.push_back({"lengths 1 to 14", ladder(14)});
    shapes.push_back({"lengths 1 to 12", ladder(12)});
    std::vector<int> two(256, 0);
    two['a'] = two['b'] = 1;
    shapes.push_back({"two 1-bit codes", two});
    shapes.push_back({"256 8-bit codes", std::vector<int>(256, 8)});
    // 1/2 + 1/4 + ... + 1/64, and 128 codes of 13 bits for the last 1/64.
    std::vector<int> wide(256, 0);
    for (int s = 0; s < 128; ++s) wide[s] = 13;
    for (int l = 1; l <= 6; ++l) wide[256 - l] = l;
    shapes.push_back({"128 13-bit codes", wide});
    return shapes;
}

Bytes random_symbols(const std::vector<int>& len, size_t n, uint64_t seed) {
    std::vector<uint8_t> present;
    for (int s = 0; s < 256; ++s)
        if (len[s]) present.push_back(static_cast<uint8_t>(s));
    std::mt19937_64 rng(seed);
    Bytes b(n);
    for (auto& x : b) x = present[rng() % present.size()];
    return b;
}

// Sizes at the ends of the decoder's paths: symbol-at-a-time below 2,048,
// the fast loop's last rounds (it needs 13 symbols and 8 bytes of input
// left), and long runs.
constexpr size_t kBoundarySizes[] = {1, 2, 12, 13, 14, 15, 100, 2047, 2048, 2049, 2050, 2059, 2060, 2061, 4099, 70001};

TEST(Huffman, DecoderPathsAgreeForEveryCodeShapeAndSize) {
    for (const CodeShape& shape : code_shapes()) {
        uint64_t kraft = 0;
        for (int l : shape.len) kraft += l ? uint64_t{1} << (15 - l) : 0;
        ASSERT_EQ(kraft, uint64_t{1} << 15) << shape.name;  // complete codes only
        for (size_t n : kBoundarySizes) {
            SCOPED_TRACE(std::string(shape.name) + ", " + std::to_string(n) + " symbols");
            const Bytes in = random_symbols(shape.len, n, n * 31 + shape.len[200]);
            EXPECT_EQ(roundtrip(pack_block(shape.len, in), n), in);
        }
    }
}

TEST(Huffman, DecoderFindsNoCodewordWherever) {
    // Kraft sum 7/8 and 15/16: the all-ones patterns are no codeword.
    std::vector<int> short_code(256, 0);
    short_code['a'] = 1, short_code['b'] = 2, short_code['c'] = 3;
    std::vector<int> long_code(256, 0);
    for (int l = 1; l <= 14; ++l) long_code[60 + l] = l;  // sum 1 - 2^-14
    for (const auto& [name, len] : {std::pair{"short codes", short_code}, std::pair{"codes to 14 bits", long_code}}) {
        for (size_t n : {size_t{20}, size_t{2048}, size_t{5000}}) {
            const Bytes in = random_symbols(len, n, n);
            for (size_t at : {size_t{0}, size_t{1}, size_t{7}, n / 2, n - 14, n - 1}) {
                SCOPED_TRACE(std::string(name) + ", " + std::to_string(n) + " symbols, junk before " +
                             std::to_string(at));
                Bytes out;
                Status st = huffman_decompress(as_bytes(pack_block(len, in, at)), out, n);
                ASSERT_TRUE(st.failed());
                EXPECT_NE(st.message().find("no codeword"), std::string::npos) << st.message();
            }
        }
    }
}

TEST(Huffman, DecoderRejectsMalformedBlocks) {
    // A valid block to damage: "aab" with a=0 (1 bit), b=1 (1 bit).
    const Bytes good = {0xFF, 2, 'a', 1, 'b', 1, 3, 0, 0, 0, 0x20};
    ASSERT_EQ(huffman_compress(as_bytes(Bytes{'a', 'a', 'b'})), good);
    Bytes padded = good;
    padded.back() = 0x21;
    Bytes longer = good;
    longer[6] = 9;  // content length 9 needs more than the 8 bits present
    Bytes trailing = good;
    trailing.push_back(0);
    Bytes full_zero(257, 0);
    full_zero[0] = 0xFE;
    put_le<uint32_t>(full_zero, 0);

    struct Case {
        const char* name;
        Bytes block;
        const char* error;
    } cases[] = {
        {"unknown form", {0x12, 0, 0}, "table form"},
        {"table cut short", {0xFF, 3, 'a', 1, 'b'}, "truncated"},
        {"no content length", {0xFF, 2, 'a', 1, 'b', 1, 3, 0}, "truncated"},
        {"zero symbols", {0xFF, 0, 0, 0, 0, 0}, "no symbols"},
        {"full table of zeros", full_zero, "no symbols"},
        {"symbols out of order", {0xFF, 2, 'b', 1, 'a', 1, 3, 0, 0, 0, 0}, "ascending"},
        {"length 16", {0xFF, 2, 'a', 1, 'b', 16, 3, 0, 0, 0, 0}, "out of range"},
        {"length 0 in pair table", {0xFF, 2, 'a', 0, 'b', 1, 3, 0, 0, 0, 0}, "out of range"},
        {"not a prefix code", {0xFF, 3, 'a', 1, 'b', 1, 'c', 1, 1, 0, 0, 0, 0}, "prefix code"},
        {"content longer than the bits", longer, "truncated"},
        {"trailing byte", trailing, "after its last code"},
        {"padding not zero", padded, "padding"},
        // One symbol with codeword 0: a set bit is no codeword.
        {"bit pattern of no codeword", {0xFF, 1, 'a', 1, 2, 0, 0, 0, 0x40}, "no codeword"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes out;
        Status st = huffman_decompress(as_bytes(c.block), out, 1000);
        ASSERT_TRUE(st.failed());
        EXPECT_NE(st.message().find(c.error), std::string::npos) << st.message();
    }
    Bytes out;
    EXPECT_TRUE(huffman_decompress(as_bytes(good), out, 3).is_ok());
    Status st = huffman_decompress(as_bytes(good), out, 2);
    ASSERT_TRUE(st.failed());
    EXPECT_NE(st.message().find("limit"), std::string::npos);
}

}  // namespace
}  // namespace varn
