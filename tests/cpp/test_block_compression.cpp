// Block compressor: fixed blocks, LZ stream layout (distance and length
// limits, escapes), candidate choice, byte-for-byte agreement with a slow
// reference LZ stage and selection written straight from the format rules,
// round trips over many generated inputs, scratch reuse, the size guard, and
// decoders fed malformed, truncated and corrupted blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "format/block/block_compression.h"
#include "format/block/block_internal.h"

namespace varn {
namespace {

// ---- reference LZ stage: no shortcuts, plain byte loops, re-searches ----

Bytes ref_lz(const Bytes& in) {
    const size_t n = in.size();
    Bytes out;
    auto literal = [&](uint8_t b) {
        if (b == 0xFF)
            out.insert(out.end(), {0xFF, 0x00, 0x00, 0x01, 0x00});
        else
            out.push_back(b);
    };
    if (n < 10) {
        for (uint8_t b : in) literal(b);
        return out;
    }
    std::vector<uint32_t> head(65536, 0), link(n, 0);
    std::vector<bool> inserted(n, false);
    auto hash = [&](size_t p) {
        uint32_t w = in[p] | in[p + 1] << 8 | in[p + 2] << 16 | static_cast<uint32_t>(in[p + 3]) << 24;
        return static_cast<uint32_t>(w * 0x9E3779B1u) >> 16;
    };
    auto insert = [&](size_t p) {
        if (inserted[p]) return;
        inserted[p] = true;
        uint32_t h = hash(p);
        link[p] = head[h];
        head[h] = static_cast<uint32_t>(p + 1);
    };
    struct Found {
        size_t len = 0, dist = 0;
    };
    auto search = [&](size_t q) {
        Found best;
        uint32_t c = link[q];
        for (int i = 0; i < 7; ++i) {
            if (c == 0) break;
            size_t cand = c - 1, d = q - cand;
            if (d >= 65536) break;
            bool four = true;
            for (int j = 0; j < 4; ++j) four = four && in[cand + j] == in[q + j];
            if (four) {
                size_t limit = std::min<size_t>(n - q, 65535), len = 0;
                while (len < limit && in[cand + len] == in[q + len]) ++len;
                if (len > best.len) best = Found{len, d};
                if (best.len > 127) break;
            }
            c = link[cand];
        }
        return best;
    };
    size_t p = 0;
    while (p < n) {
        if (p + 4 >= n) {
            literal(in[p++]);
            continue;
        }
        insert(p);
        Found m = search(p);
        if (m.len < 6) {
            literal(in[p++]);
            continue;
        }
        if (m.len <= 127 && p + 1 + 4 < n) {
            insert(p + 1);
            Found m2 = search(p + 1);
            if (m2.len >= 6 && m2.len > m.len + 1) {
                literal(in[p++]);
                continue;
            }
        }
        out.push_back(0xFF);
        put_le<uint16_t>(out, static_cast<uint16_t>(m.dist));
        put_le<uint16_t>(out, static_cast<uint16_t>(m.len));
        size_t step = m.len <= 32 ? 1 : m.len <= 64 ? 2 : 4;
        for (size_t k = 1; k < m.len && p + k + 4 < n; k += step) insert(p + k);
        p += m.len;
    }
    return out;
}

// Reference selection over the reference LZ stream and the library coders
// (checked against their own references in the coder tests).
Bytes ref_block(const Bytes& in) {
    if (in.empty()) return {};
    const uint64_t n = in.size();
    Bytes lz = ref_lz(in);
    const uint64_t l = lz.size();
    auto tagged = [](BlockTag t, const Bytes& payload) {
        Bytes b{static_cast<uint8_t>(t)};
        b.insert(b.end(), payload.begin(), payload.end());
        return b;
    };
    if (l < 512) return n <= l ? tagged(BlockTag::Stored, in) : tagged(BlockTag::Lz, lz);
    struct Cand {
        BlockTag tag;
        Bytes payload;
        bool formed;
    };
    Bytes lzh = huffman_compress(as_bytes(lz));
    std::vector<Cand> c;  // in tie order
    bool ranges = 100 * (lzh.size() + 1) >= 70 * (n + 1);
    c.push_back({BlockTag::Range, ranges && n >= 256 ? range_compress(as_bytes(in)) : Bytes{},
                 ranges && n >= 256});
    c.push_back({BlockTag::LzRange, ranges ? range_compress(as_bytes(lz)) : Bytes{}, ranges});
    c.push_back({BlockTag::Stored, in, true});
    c.push_back({BlockTag::LzHuffman, lzh, true});
    bool raw_huff = n >= 512 && 100 * l > 85 * n;
    c.push_back({BlockTag::Huffman, raw_huff ? huffman_compress(as_bytes(in)) : Bytes{}, raw_huff});
    c.push_back({BlockTag::Lz, lz, true});
    const Cand* best = nullptr;
    for (const auto& x : c) {
        if (!x.formed || (x.payload.empty() && x.tag != BlockTag::Stored && x.tag != BlockTag::Lz)) continue;
        if (!best || x.payload.size() < best->payload.size()) best = &x;
    }
    return tagged(best->tag, best->payload);
}

// ---- generated inputs ----

Bytes text_like(std::mt19937_64& rng, size_t n) {
    static const char* words[] = {"the",  "quick", "brown", "fox",   "jumps", "over",  "lazy",
                                  "dog",  "alpha", "beta",  "gamma", "delta", "2024",  "12.5",
                                  "NULL", "true",  "false", "Paris", "Tokyo", "order", "id"};
    Bytes b;
    while (b.size() < n) {
        const char* w = words[rng() % std::size(words)];
        b.insert(b.end(), w, w + std::strlen(w));
        b.push_back(rng() % 8 == 0 ? ',' : rng() % 16 == 0 ? '\n' : ' ');
    }
    b.resize(n);
    return b;
}

// Column payload: LEB128 length + text per cell.
Bytes column_like(std::mt19937_64& rng, size_t cells) {
    Bytes b;
    uint64_t ts = 1700000000;
    for (size_t i = 0; i < cells; ++i) {
        std::string cell;
        switch (i % 3) {
            case 0: cell = std::to_string(100000 + i); break;
            case 1: ts += rng() % 30; cell = std::to_string(ts); break;
            default: cell = std::to_string(static_cast<double>(rng() % 100000) / 100.0); break;
        }
        put_leb128(b, cell.size());
        b.insert(b.end(), cell.begin(), cell.end());
    }
    return b;
}

Bytes runs(std::mt19937_64& rng, size_t n, size_t max_run) {
    Bytes b;
    while (b.size() < n) b.insert(b.end(), 1 + rng() % max_run, static_cast<uint8_t>(rng() % 4 == 0 ? 0xFF : rng()));
    b.resize(n);
    return b;
}

Bytes many_ff(std::mt19937_64& rng, size_t n) {
    Bytes b(n);
    for (auto& x : b) x = rng() % 3 == 0 ? 0xFF : static_cast<uint8_t>(rng() % 6);
    return b;
}

Bytes skewed(std::mt19937_64& rng, size_t n) {
    std::geometric_distribution<int> g(0.15);
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(std::min(g(rng), 255));
    return b;
}

Bytes random_bytes(std::mt19937_64& rng, size_t n, int alphabet = 256) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng() % alphabet);
    return b;
}

// Short random phrases repeated at varying distances: lots of deferrals.
Bytes phrases(std::mt19937_64& rng, size_t n) {
    std::vector<Bytes> pool;
    for (int i = 0; i < 40; ++i) pool.push_back(random_bytes(rng, 3 + rng() % 40, 16));
    Bytes b;
    while (b.size() < n) {
        const Bytes& p = pool[rng() % pool.size()];
        b.insert(b.end(), p.begin(), p.end());
        if (rng() % 3 == 0) b.push_back(static_cast<uint8_t>(rng()));
    }
    b.resize(n);
    return b;
}

// High-entropy bytes of which some stretches repeat earlier ones: the LZ
// stream stays large and its range coding can win.
Bytes mixed(std::mt19937_64& rng, size_t n, int copy_every, int alphabet) {
    Bytes b = random_bytes(rng, 64, alphabet);
    while (b.size() < n) {
        if (rng() % copy_every == 0) {
            size_t len = 8 + rng() % 60, from = rng() % (b.size() - 8);
            for (size_t i = 0; i < len && from + i < b.size(); ++i) b.push_back(b[from + i]);
        } else {
            for (int i = 0; i < 60; ++i) b.push_back(static_cast<uint8_t>(rng() % alphabet));
        }
    }
    b.resize(n);
    return b;
}

std::vector<Bytes> corpus() {
    std::mt19937_64 rng(2024);
    std::vector<Bytes> out;
    const size_t sizes[] = {1, 5, 9, 10, 11, 16, 100, 255, 256, 257, 511, 512, 513, 1000, 5000, 65536, 70000};
    for (size_t n : sizes) {
        out.push_back(random_bytes(rng, n));
        out.push_back(random_bytes(rng, n, 3));
        out.push_back(text_like(rng, n));
        out.push_back(runs(rng, n, 50));
        out.push_back(many_ff(rng, n));
        out.push_back(skewed(rng, n));
        out.push_back(phrases(rng, n));
        out.push_back(random_bytes(rng, n, 200));
        out.push_back(mixed(rng, n, 10, 100));
    }
    out.push_back(mixed(rng, 200000, 5, 100));
    out.push_back(runs(rng, 300000, 100000));  // runs longer than one copy
    out.push_back(column_like(rng, 20000));
    out.push_back(text_like(rng, 200000));
    out.push_back(phrases(rng, 150000));
    Bytes periodic;
    for (int i = 0; i < 5000; ++i) periodic.push_back(static_cast<uint8_t>("abcabd"[i % 6]));
    out.push_back(periodic);
    return out;
}

Bytes decode(const Bytes& block, size_t max_output) {
    Bytes out;
    Status st = decompress_block(as_bytes(block), out, max_output);
    EXPECT_TRUE(st.is_ok()) << st.message();
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes b;
    for (const auto& p : parts) b.insert(b.end(), p.begin(), p.end());
    return b;
}

// Random bytes below 0xFF in which no 4-byte sequence repeats, so the LZ
// stream equals the input.
Bytes unique_bytes(std::mt19937_64& rng, size_t n, int alphabet) {
    Bytes b;
    do {
        b = random_bytes(rng, n, alphabet);
    } while (ref_lz(b) != b);
    return b;
}

TEST(BlockCompression, FixedBlocks) {
    std::mt19937_64 rng(1);
    const Bytes uniq = unique_bytes(rng, 300, 200);  // no 0xFF, no repeats
    Bytes with_ff = uniq;
    for (size_t i = 0; i < with_ff.size(); i += 3) with_ff[i] = 0xFF;
    with_ff.resize(90);  // stream of 90 + 4 * 30 bytes: under 512, longer than the input

    struct Case {
        const char* name;
        Bytes in, expect;
    } cases[] = {
        {"empty", {}, {}},
        {"1,000 zero bytes", Bytes(1000, 0), {0x00, 0x00, 0xFF, 0x01, 0x00, 0xE7, 0x03}},
        {"one byte", {0x41}, {0x02, 0x41}},
        {"one 0xFF", {0xFF}, {0x02, 0xFF}},
        {"nine equal bytes", Bytes(9, 7), concat({{0x02}, Bytes(9, 7)})},
        {"nine 0xFF", Bytes(9, 0xFF), concat({{0x02}, Bytes(9, 0xFF)})},
        // Ten bytes are searched: a literal, then a copy of 9 at distance 1.
        {"ten equal bytes", Bytes(10, 7), {0x00, 7, 0xFF, 0x01, 0x00, 0x09, 0x00}},
        {"no repeats, under 512: equal sizes favour Stored", uniq, concat({{0x02}, uniq})},
        {"escapes make the stream longer", with_ff, concat({{0x02}, with_ff})},
        // Twenty zeros: 0, then copy(1, 19) = 6 bytes < 20: Lz.
        {"twenty zeros", Bytes(20, 0), {0x00, 0x00, 0xFF, 0x01, 0x00, 0x13, 0x00}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes got = compress_block(as_bytes(c.in));
        EXPECT_EQ(got, c.expect);
        EXPECT_EQ(decode(got, c.in.size()), c.in);
    }
}

TEST(BlockCompression, LzStreamLayout) {
    std::mt19937_64 rng(7);
    // A 20-byte phrase seen again exactly 65,535 or 65,536 bytes later.
    const Bytes filler = unique_bytes(rng, 65535 + 20, 250);
    Bytes at_max = filler;
    std::copy(filler.begin(), filler.begin() + 20, at_max.begin() + 65535);
    Bytes past_max = filler;
    past_max.insert(past_max.begin() + 65535, 0x01);
    past_max.resize(65536 + 20);
    std::copy(filler.begin(), filler.begin() + 20, past_max.begin() + 65536);

    Bytes lz;
    lz_compress(as_bytes(at_max), lz);
    Bytes want = Bytes(at_max.begin(), at_max.begin() + 65535);
    want.insert(want.end(), {0xFF, 0xFF, 0xFF, 20, 0});
    EXPECT_EQ(lz, want) << "distance 65,535 must be usable";

    lz.clear();
    lz_compress(as_bytes(past_max), lz);
    EXPECT_EQ(lz, past_max) << "distance 65,536 must not be used";

    // 200,000 zeros: one literal, then copies of at most 65,535 bytes.
    Bytes zeros(200000, 0);
    lz.clear();
    lz_compress(as_bytes(zeros), lz);
    ASSERT_EQ(lz.size(), 1u + 4 * 5);
    size_t total = 1;
    for (size_t i = 1; i < lz.size(); i += 5) {
        EXPECT_EQ(lz[i], 0xFF);
        total += load_le<uint16_t>(&lz[i + 3]);
    }
    EXPECT_EQ(load_le<uint16_t>(&lz[4]), 65535);
    EXPECT_EQ(total, zeros.size());
    EXPECT_EQ(lz, ref_lz(zeros));

    // A match of exactly 128 bytes is taken at once, skipping the deferral
    // probe that would find the 200-byte match one position on; 127 is probed.
    for (size_t first : {128u, 127u}) {
        SCOPED_TRACE(first);
        const Bytes y = unique_bytes(rng, 300, 250);
        Bytes in = {0xFD};
        in.insert(in.end(), y.begin(), y.begin() + 200);  // Y[0, 200) at 1
        in.push_back(0xFB);                               // u Y[0, first - 1) at 201
        in.insert(in.end(), y.begin(), y.begin() + static_cast<long>(first) - 1);
        in.push_back(0xFC);
        const size_t p = in.size();  // u Y[0, 200): `first` bytes match at 201
        in.push_back(0xFB);
        in.insert(in.end(), y.begin(), y.begin() + 200);
        lz.clear();
        lz_compress(as_bytes(in), lz);
        EXPECT_EQ(lz, ref_lz(in));
        const Bytes taken = {0xFF, static_cast<uint8_t>(p - 201), 0, static_cast<uint8_t>(first), 0};
        // Deferred: literal u, then Y[0, 200) copied from 1, p bytes back.
        const Bytes deferred = {0xFB, 0xFF, static_cast<uint8_t>(p), static_cast<uint8_t>(p >> 8), 200, 0};
        const bool has_taken = std::search(lz.begin(), lz.end(), taken.begin(), taken.end()) != lz.end();
        const bool has_deferred = std::search(lz.begin(), lz.end(), deferred.begin(), deferred.end()) != lz.end();
        EXPECT_EQ(has_taken, first == 128);
        EXPECT_EQ(has_deferred, first == 127);
    }

    // lz_compress appends.
    Bytes pre = {1, 2, 3};
    lz_compress(as_bytes(Bytes{0xFF, 0x41}), pre);
    EXPECT_EQ(pre, (Bytes{1, 2, 3, 0xFF, 0, 0, 1, 0, 0x41}));
}

TEST(BlockCompression, TieOrderAmongEqualCosts) {
    std::mt19937_64 rng(9);
    // LZ stream equal to the input: LzHuffman and Huffman cost the same and
    // LzHuffman comes first; with 64 equally likely values Huffman (6 bits)
    // beats the range coder's bigger table.
    Bytes in64 = unique_bytes(rng, 4000, 64);
    Bytes got = compress_block(as_bytes(in64));
    EXPECT_EQ(got[0], static_cast<uint8_t>(BlockTag::LzHuffman));
    EXPECT_EQ(got, ref_block(in64));
    // 160 equally likely values over 200,000 bytes: Huffman's 7/8-bit codes
    // lose to the range coder; Range and LzRange tie and Range comes first.
    Bytes in160 = unique_bytes(rng, 200000, 160);
    got = compress_block(as_bytes(in160));
    EXPECT_EQ(got[0], static_cast<uint8_t>(BlockTag::Range));
    EXPECT_EQ(got, ref_block(in160));
    EXPECT_EQ(decode(got, in160.size()), in160);
    // Uniform bytes: nothing beats storing them.
    Bytes noise = random_bytes(rng, 100000);
    EXPECT_EQ(compress_block(as_bytes(noise))[0], static_cast<uint8_t>(BlockTag::Stored));
}

TEST(BlockCompression, MatchesReferenceAndRoundTrips) {
    std::vector<Bytes> inputs = corpus();
    int tags[6] = {};
    BlockCompressor reused;
    Bytes out;
    for (size_t i = 0; i < inputs.size(); ++i) {
        const Bytes& in = inputs[i];
        SCOPED_TRACE(testing::Message() << "input " << i << ", " << in.size() << " bytes");
        Bytes lz;
        lz_compress(as_bytes(in), lz);
        ASSERT_EQ(lz, ref_lz(in));
        Bytes got = compress_block(as_bytes(in));
        ASSERT_EQ(got, ref_block(in));
        reused.compress(as_bytes(in), out);
        ASSERT_EQ(out, got) << "a reused compressor must give the same block";
        ASSERT_EQ(decode(got, in.size()), in);
        Bytes lz_back;
        ASSERT_TRUE(lz_decompress(as_bytes(lz), lz_back, in.size()).is_ok());
        ASSERT_EQ(lz_back, in);
        if (!got.empty()) ++tags[got[0]];
    }
    // The corpus reaches every block form.
    for (int t = 0; t < 6; ++t) EXPECT_GT(tags[t], 0) << "tag " << t;
}

// A match of exactly 127 bytes, then a deferral probe whose nearest long
// candidate matches exactly 128 bytes and an older one more: the probe stops
// at the 128 (it is over 127), which is not two bytes longer, so the 127-byte
// copy stays. Going on to the older candidate would defer instead.
TEST(BlockCompression, ProbeStopsAtItsFirstMatchOver127) {
    std::mt19937_64 rng(5);
    auto noise = [&](size_t n) {
        Bytes b(n);
        for (uint8_t& x : b) x = static_cast<uint8_t>(rng() % 200);
        return b;
    };
    const Bytes x = noise(200);
    const Bytes x128(x.begin(), x.begin() + 128);
    const Bytes x126(x.begin(), x.begin() + 126);
    const uint8_t c = 0xF0;  // a byte the noise never holds
    // Oldest to newest: x whole, x's first 128 bytes, c + x's first 126.
    const Bytes in = concat({x, noise(300), x128, {0xF1}, noise(300), {c}, x126, {0xF2}, noise(300),
                             {c}, x, noise(50)});
    Bytes lz;
    lz_compress(as_bytes(in), lz);
    EXPECT_EQ(lz, ref_lz(in));
    // The copy of 127 bytes (c and x's first 126) is in the stream.
    const uint8_t copy127[3] = {0x7F, 0x00};
    bool found = false;
    for (size_t i = 0; i + 5 <= lz.size(); ++i)
        if (lz[i] == 0xFF && lz[i + 3] == copy127[0] && lz[i + 4] == copy127[1]) found = true;
    EXPECT_TRUE(found);
}

TEST(BlockCompression, ReusedCompressorAlternatingSizes) {
    // Small blocks clean the head table behind them; large ones leave it for
    // the next call to clear. Either way every call starts from empty tables.
    std::mt19937_64 rng(4);
    BlockCompressor c;
    Bytes out;
    for (int round = 0; round < 12; ++round) {
        size_t n = round % 3 == 0 ? 100000 : round % 3 == 1 ? 700 : 16383 + round;
        Bytes in = round % 2 ? text_like(rng, n) : phrases(rng, n);
        c.compress(as_bytes(in), out);
        ASSERT_EQ(out, compress_block(as_bytes(in))) << "round " << round;
    }
    c.compress(ByteView(), out);
    EXPECT_TRUE(out.empty());
}

// Large inputs take a route that holds less at once (range candidates only
// sized, the winner coded straight into the output, the LZ stream's room
// counted exactly): every block form comes out byte for byte the same, also
// from a compressor whose scratch is reused across both routes.
TEST(BlockCompression, LowMemoryRouteGivesTheSameBlocks) {
    std::vector<Bytes> inputs = corpus();
    std::mt19937_64 rng(12);
    inputs.push_back(unique_bytes(rng, 200000, 160));  // Range
    Bytes ff(5000, 0xFF);                              // every byte escaped
    for (size_t i = 0; i < ff.size(); i += 7) ff[i] = static_cast<uint8_t>(rng());
    inputs.push_back(ff);
    block::BlockScratch lean;
    int tags[6] = {};
    Bytes out;
    for (size_t i = 0; i < inputs.size(); ++i) {
        const Bytes& in = inputs[i];
        SCOPED_TRACE(testing::Message() << "input " << i << ", " << in.size() << " bytes");
        block::compress_with_scratch(lean, as_bytes(in), out, block::kMaxCodedInput, 0);
        const Bytes usual = compress_block(as_bytes(in));
        ASSERT_EQ(out, usual);
        if (!out.empty()) ++tags[out[0]];
        if (in.empty()) continue;
        uint32_t counts[256];
        block::byte_histogram(in.data(), in.size(), counts);
        block::RangeModel m;
        block::range_build_model(counts, in.size(), m);
        EXPECT_EQ(block::range_encoded_size(in.data(), in.size(), m), range_compress(as_bytes(in)).size());
    }
    for (int t = 0; t < 6; ++t) EXPECT_GT(tags[t], 0) << "tag " << t;
}

TEST(BlockCompression, InputsTooLargeForTheFormatAreStored) {
    // The 32-bit limit is injected as 100 bytes here.
    block::BlockScratch scratch;
    Bytes out;
    const Bytes zeros(101, 0);
    block::compress_with_scratch(scratch, as_bytes(zeros), out, 100);
    EXPECT_EQ(out, concat({{0x02}, zeros}));
    EXPECT_EQ(decode(out, zeros.size()), zeros);
    block::compress_with_scratch(scratch, as_bytes(Bytes(100, 0)), out, 100);
    EXPECT_EQ(out[0], static_cast<uint8_t>(BlockTag::Lz));
    EXPECT_EQ(block::kMaxCodedInput, 0xFFFFFFFFu);
}

// The LZ stream decoded byte by byte, straight from the token rules.
Bytes ref_lz_decode(const Bytes& stream) {
    Bytes out;
    for (size_t i = 0; i < stream.size();) {
        if (stream[i] != 0xFF) {
            out.push_back(stream[i++]);
            continue;
        }
        const size_t dist = stream[i + 1] | stream[i + 2] << 8, len = stream[i + 3] | stream[i + 4] << 8;
        i += 5;
        if (dist == 0) {
            out.push_back(0xFF);
            continue;
        }
        for (size_t k = 0; k < len; ++k) out.push_back(out[out.size() - dist]);
    }
    return out;
}

// Literal runs of every length up to 40 (the decoder scans them eight bytes
// at a time and copies short ones sixteen at a time), each ended by the end
// of the stream, an escaped 0xFF or a copy at distances around its 8- and
// 16-byte steps, with the output exactly at its limit and one byte over it.
TEST(BlockCompression, LzDecoderRunsAndCopiesAtEveryLength) {
    std::mt19937_64 rng(21);
    const Bytes prefix = [&] {  // 40 bytes to copy from, no 0xFF
        Bytes b(40);
        for (auto& x : b) x = static_cast<uint8_t>(rng() % 255);
        return b;
    }();
    std::vector<Bytes> enders = {{}, {0xFF, 0, 0, 1, 0}};
    for (int dist : {1, 2, 7, 8, 9, 15, 16, 17, 40})
        for (int len : {6, 7, 8, 15, 16, 17, 31, 33})
            enders.push_back({0xFF, static_cast<uint8_t>(dist), 0, static_cast<uint8_t>(len), 0});
    Bytes out = Bytes(300, 0xAA);  // reused, starts longer than some outputs
    for (size_t run = 0; run <= 40; ++run) {
        for (const Bytes& ender : enders) {
            for (bool tail_literal : {false, true}) {
                Bytes stream = prefix;
                stream.insert(stream.end(), {0xFF, 0, 0, 1, 0});  // the run starts after a token
                for (size_t k = 0; k < run; ++k) stream.push_back(static_cast<uint8_t>(rng() % 255));
                stream.insert(stream.end(), ender.begin(), ender.end());
                if (tail_literal) stream.push_back(0x41);
                const Bytes want = ref_lz_decode(stream);
                SCOPED_TRACE(testing::Message() << "run " << run << ", ender of " << ender.size()
                                                << " bytes, tail literal " << tail_literal);
                Status st = lz_decompress(as_bytes(stream), out, want.size());
                ASSERT_TRUE(st.is_ok()) << st.message();
                EXPECT_EQ(out, want);
                st = lz_decompress(as_bytes(stream), out, want.size() - 1);
                ASSERT_TRUE(st.failed());
                EXPECT_NE(st.message().find("more than"), std::string::npos) << st.message();
            }
        }
    }
}

// Long streams of mixed tokens, so most are decoded with many stream bytes
// still ahead: literal runs of 0 to 40 bytes, escaped 0xFF bytes, and copies
// at every distance below 40 and some far ones, of lengths around the 8-,
// 16- and 32-byte steps and long ones (short distances repeat a pattern).
// Each stream goes into an empty buffer, a short reused one (the output
// grows while tokens are decoded) and one longer than the output, and
// must fail at one byte below its size.
TEST(BlockCompression, LzDecoderLongStreamsMatchTheReference) {
    std::mt19937_64 rng(31);
    const int lens[] = {6, 7, 8, 9, 15, 16, 17, 24, 31, 32, 33, 47, 48, 49, 64, 65, 300, 4000};
    for (int round = 0; round < 12; ++round) {
        Bytes stream;
        size_t produced = 0;
        while (stream.size() < 30000) {
            const int pick = static_cast<int>(rng() % 8);
            if (pick < 3 || produced == 0) {
                const size_t run = rng() % 41;
                for (size_t k = 0; k < run; ++k) stream.push_back(static_cast<uint8_t>(rng() % 255));
                produced += run;
            } else if (pick == 3) {
                stream.insert(stream.end(), {0xFF, 0, 0, 1, 0});
                ++produced;
            } else {
                size_t dist = pick == 4 ? 1 + rng() % 300 : 1 + rng() % 40;
                dist = std::min(dist, produced);
                const int len = lens[rng() % std::size(lens)];
                stream.insert(stream.end(), {0xFF, static_cast<uint8_t>(dist), static_cast<uint8_t>(dist >> 8),
                                             static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8)});
                produced += static_cast<size_t>(len);
            }
        }
        const Bytes want = ref_lz_decode(stream);
        ASSERT_EQ(want.size(), produced);
        for (size_t start : {size_t{0}, size_t{200}, want.size() + 100}) {
            SCOPED_TRACE(testing::Message() << "round " << round << ", buffer of " << start << " bytes");
            Bytes out(start, 0xAA);
            Status st = lz_decompress(as_bytes(stream), out, want.size());
            ASSERT_TRUE(st.is_ok()) << st.message();
            ASSERT_EQ(out, want);
            out.assign(start, 0xAA);
            st = lz_decompress(as_bytes(stream), out, want.size() - 1);
            ASSERT_TRUE(st.failed());
            EXPECT_NE(st.message().find("more than"), std::string::npos) << st.message();
        }
    }
}

TEST(BlockCompression, DecoderRejectsMalformedBlocks) {
    std::mt19937_64 rng(8);
    Bytes lzh_block = compress_block(as_bytes(text_like(rng, 3000)));
    ASSERT_EQ(lzh_block[0], static_cast<uint8_t>(BlockTag::LzHuffman));
    Bytes lzh_short = lzh_block;
    // Lower the Huffman content length: bytes are left over.
    size_t len_at = 1 + (lzh_block[1] == 0xFE ? 257 : 2 + 2 * lzh_block[2]);
    store_le<uint32_t>(&lzh_short[len_at], load_le<uint32_t>(&lzh_short[len_at]) - 100);

    struct Case {
        const char* name;
        Bytes block;
        const char* error;
    } cases[] = {
        {"unknown tag", {0x06, 1, 2, 3}, "unknown block tag 6"},
        {"tag without payload", {0x03}, "no payload"},
        {"copy before the start", {0x00, 0x41, 0xFF, 0x02, 0x00, 0x06, 0x00}, "before the start"},
        {"copy token cut short", {0x00, 0x41, 0xFF, 0x01, 0x00, 0x06}, "truncated"},
        {"copy shorter than 6", {0x00, 0x41, 0xFF, 0x01, 0x00, 0x05, 0x00}, "below 6"},
        {"escape of length 2", {0x00, 0xFF, 0x00, 0x00, 0x02, 0x00}, "escape"},
        {"LZ stream inside Huffman ends mid-token", {0x01, 0xFF, 0x01, 0xFF, 0x01, 1, 0, 0, 0, 0x00}, "truncated"},
        {"Huffman content length disagrees", lzh_short, "after its last code"},
        {"range block of LZ stream with a bad table", {0x05, 0x01, 0x00, 0x41, 0x00, 0x20, 1, 0, 0, 0}, "not 16384"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes out;
        Status st = decompress_block(as_bytes(c.block), out, 100000);
        ASSERT_TRUE(st.failed());
        EXPECT_NE(st.message().find(c.error), std::string::npos) << st.message();
    }

    // The output cap holds for every form.
    for (const Bytes& in : {Bytes(1000, 0), text_like(rng, 5000), random_bytes(rng, 3000),
                            random_bytes(rng, 200000, 160), Bytes(600, 0x41)}) {
        Bytes block = compress_block(as_bytes(in));
        SCOPED_TRACE(testing::Message() << "tag " << int{block[0]});
        Bytes out;
        EXPECT_TRUE(decompress_block(as_bytes(block), out, in.size()).is_ok());
        Status st = decompress_block(as_bytes(block), out, in.size() - 1);
        ASSERT_TRUE(st.failed());
        EXPECT_TRUE(st.message().find("limit") != std::string::npos ||
                    st.message().find("more than") != std::string::npos)
            << st.message();
    }
}

// Declared sizes a block cannot back are refused before their memory is
// taken; a run of one byte value (a single-symbol range block) is legal at
// any length and decodes within the limit.
TEST(BlockCompression, DeclaredSizesAgainstWhatTheBlockHolds) {
    auto range_header = [](std::initializer_list<std::pair<uint8_t, uint16_t>> table, uint32_t n) {
        Bytes b;
        put_le<uint16_t>(b, static_cast<uint16_t>(table.size()));
        for (auto [s, f] : table) {
            b.push_back(s);
            put_le<uint16_t>(b, f);
        }
        put_le<uint32_t>(b, n);
        return b;
    };
    const Bytes two_symbols = concat({{0x04}, range_header({{'a', 1}, {'b', 16383}}, 0xFFFFFFFFu), Bytes(6, 0)});
    const Bytes run_a = concat({{0x05}, range_header({{'A', 16384}}, 1000)});
    const Bytes run_ff = concat({{0x05}, range_header({{0xFF, 16384}}, 1000)});
    struct Case {
        const char* name;
        Bytes block;
        size_t limit;
        const char* error;  // nullptr: decodes to 1000 'A'
    } cases[] = {
        {"4 GiB from ten coded bytes", two_symbols, SIZE_MAX, "is more than its 6 coded bytes can hold"},
        {"run of literals", run_a, 1000, nullptr},
        {"run of literals past the limit", run_a, 999, "range content length 1000 exceeds the limit of 999 bytes"},
        {"run of 0xFF is a copy before the start", run_ff, 100000, "before the start"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes out, stream;
        Status st = decompress_block(as_bytes(c.block), out, c.limit, stream);
        if (!c.error) {
            ASSERT_TRUE(st.is_ok()) << st.message();
            EXPECT_EQ(out, Bytes(1000, 'A'));
            continue;
        }
        ASSERT_TRUE(st.failed());
        EXPECT_NE(st.message().find(c.error), std::string::npos) << st.message();
    }
}

// Every cut and many corruptions of valid blocks: the decoders must return
// an error or a bounded output, never touch memory outside their buffers
// (the sanitizer build checks that), and never accept a cut coded block.
TEST(BlockCompression, DecoderSurvivesTruncationAndCorruption) {
    std::mt19937_64 rng(77);
    std::vector<Bytes> inputs = {Bytes(1000, 0), text_like(rng, 4000), phrases(rng, 3000), many_ff(rng, 2000),
                                 random_bytes(rng, 200000, 160), skewed(rng, 3000), Bytes(600, 0x41),
                                 mixed(rng, 200000, 10, 100)};
    int forms_seen[6] = {};
    for (const Bytes& in : inputs) {
        const Bytes block = compress_block(as_bytes(in));
        const uint8_t tag = block[0];
        ++forms_seen[tag];
        const bool coded = tag != 0 && tag != 2;
        const size_t cap = in.size() + 64;
        Bytes out;
        // Every cut near either end, a few hundred in between.
        const size_t stride = std::max<size_t>(1, block.size() / 300);
        for (size_t cut = 0; cut < block.size(); cut += (cut < 64 || cut + 64 > block.size()) ? 1 : stride) {
            Status st = decompress_block(ByteView(block.data(), cut), out, cap);
            if (st.is_ok()) {
                EXPECT_LE(out.size(), cap);
                EXPECT_FALSE(coded && cut > 0) << "cut coded block of tag " << int{tag} << " accepted at " << cut;
            }
        }
        const int trials = block.size() > 50000 ? 60 : 400;
        for (int trial = 0; trial < trials; ++trial) {
            Bytes bad = block;
            int flips = 1 + static_cast<int>(rng() % 3);
            for (int f = 0; f < flips; ++f) bad[rng() % bad.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
            Status st = decompress_block(as_bytes(bad), out, cap);
            if (st.is_ok()) {
                EXPECT_LE(out.size(), cap);
            }
        }
    }
    for (BlockTag t : {BlockTag::Lz, BlockTag::LzHuffman, BlockTag::Huffman, BlockTag::Range, BlockTag::LzRange})
        EXPECT_GT(forms_seen[static_cast<int>(t)], 0) << "tag " << static_cast<int>(t);
}

}  // namespace
}  // namespace varn
