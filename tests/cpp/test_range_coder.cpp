// Range coder: frequency scaling, fixed vectors, byte-for-byte agreement with
// a reference coder that keeps the exact coded value as a digit string (so a
// carry is plain long addition), carries into bytes already written, and the
// decoder's handling of malformed blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "format/block/block_compression.h"

namespace varn {
namespace {

// ---- reference coder ----

struct RefRange {
    Bytes block;
    int carries = 0;          // additions that changed an already written byte
    int carries_over_ff = 0;  // ... and passed through a written 0xFF on the way
};

std::vector<uint32_t> ref_scaled(const Bytes& in) {
    std::vector<uint64_t> c(256, 0);
    for (uint8_t b : in) ++c[b];
    std::vector<uint32_t> f(256, 0);
    uint64_t sum = 0;
    for (int s = 0; s < 256; ++s) {
        if (!c[s]) continue;
        f[s] = static_cast<uint32_t>(c[s] * 16384 / in.size());
        if (f[s] == 0) f[s] = 1;
        sum += f[s];
    }
    if (sum < 16384) {
        int best = -1;
        for (int s = 255; s >= 0; --s)
            if (c[s] && (best < 0 || c[s] > c[best])) best = s;
        f[best] += static_cast<uint32_t>(16384 - sum);
    }
    while (sum > 16384) {
        int best = -1;
        for (int s = 255; s >= 0; --s)
            if (f[s] > 1 && (best < 0 || f[s] > f[best])) best = s;
        --f[best];
        --sum;
    }
    return f;
}

RefRange ref_range(const Bytes& in) {
    RefRange r;
    if (in.empty()) return r;
    std::vector<uint32_t> f = ref_scaled(in);
    int k = 0;
    for (int s = 0; s < 256; ++s) k += f[s] != 0;
    put_le<uint16_t>(r.block, static_cast<uint16_t>(k));
    for (int s = 0; s < 256; ++s)
        if (f[s]) {
            r.block.push_back(static_cast<uint8_t>(s));
            put_le<uint16_t>(r.block, static_cast<uint16_t>(f[s]));
        }
    put_le<uint32_t>(r.block, static_cast<uint32_t>(in.size()));
    if (k == 1) return r;
    std::vector<uint64_t> cum(257, 0);
    for (int s = 0; s < 256; ++s) cum[s + 1] = cum[s] + f[s];
    // The exact value, base 256, most significant first; the last four digits
    // are the coder's `low`, the ones before it are already written.
    std::vector<uint8_t> digits(4, 0);
    uint64_t range = 0xFFFFFFFF;
    for (uint8_t s : in) {
        uint64_t r14 = range >> 14;
        uint64_t add = cum[s] * r14;
        size_t i = digits.size();
        bool passed_ff = false;
        while (add) {
            EXPECT_GT(i, 0u) << "carry out of the top digit";
            if (i == 0) break;
            --i;
            if (i < digits.size() - 4) {
                if (digits[i] == 0xFF) passed_ff = true;
            }
            uint64_t t = digits[i] + (add & 0xFF);
            digits[i] = static_cast<uint8_t>(t);
            add = (add >> 8) + (t >> 8);
            if (add && i == digits.size() - 4) {
                ++r.carries;
            }
        }
        if (passed_ff) ++r.carries_over_ff;
        range = f[s] * r14;
        while (range < 65536) {
            digits.push_back(0);
            range <<= 8;
        }
    }
    r.block.insert(r.block.end(), digits.begin(), digits.end());
    return r;
}

// Scaled frequencies from a block's table, by byte value.
std::vector<std::pair<int, int>> table_of(const Bytes& block) {
    std::vector<std::pair<int, int>> rows;
    int k = load_le<uint16_t>(block.data());
    for (int i = 0; i < k; ++i)
        rows.emplace_back(block[2 + 3 * i], load_le<uint16_t>(block.data() + 3 + 3 * i));
    return rows;
}

Bytes from_counts(const std::vector<std::pair<int, size_t>>& counts) {
    Bytes b;
    for (auto [s, c] : counts) b.insert(b.end(), c, static_cast<uint8_t>(s));
    return b;
}

Bytes roundtrip(const Bytes& block, size_t n) {
    Bytes out;
    Status st = range_decompress(as_bytes(block), out, n);
    EXPECT_TRUE(st.is_ok()) << st.message();
    return out;
}

TEST(RangeCoder, FixedVectors) {
    struct Case {
        const char* name;
        Bytes in, expect;
    } cases[] = {
        {"empty", {}, {}},
        {"300 x 0x41", Bytes(300, 0x41), {0x01, 0x00, 0x41, 0x00, 0x40, 0x2C, 0x01, 0x00, 0x00}},
        // r = 2^18 - 1, then 2^17 - 1; low = 8192 * (2^17 - 1) = 0x3FFFE000.
        {"ab", {'a', 'b'},
         {0x02, 0x00, 'a', 0x00, 0x20, 'b', 0x00, 0x20, 0x02, 0x00, 0x00, 0x00, 0x3F, 0xFF, 0xE0, 0x00}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes got = range_compress(as_bytes(c.in));
        EXPECT_EQ(got, c.expect);
        EXPECT_EQ(roundtrip(got, c.in.size()), c.in);
    }
}

TEST(RangeCoder, FrequencyScaling) {
    std::vector<std::pair<int, size_t>> skew = {{0x10, 19800}};
    std::vector<std::pair<int, int>> skew_rows = {{0x10, 16184}};
    // 2 x 30000 + 199 singletons: both large values scale to 8164, the
    // singletons are raised to 1, and the excess of 143 is taken one at a
    // time from the larger, the higher value first on ties.
    std::vector<std::pair<int, size_t>> twin = {{0x05, 30000}, {0x06, 30000}};
    std::vector<std::pair<int, int>> twin_rows = {{0x05, 8093}, {0x06, 8092}};
    for (int s = 0x20; s < 0x20 + 200; ++s) {
        skew.emplace_back(s, 1);
        skew_rows.emplace_back(s, 1);
        if (s < 0x20 + 199) {
            twin.emplace_back(s, 1);
            twin_rows.emplace_back(s, 1);
        }
    }
    struct Case {
        const char* name;
        std::vector<std::pair<int, size_t>> counts;
        std::vector<std::pair<int, int>> rows;
    } cases[] = {
        {"shortfall to the most frequent", {{0x61, 2}, {0x62, 1}}, {{0x61, 10923}, {0x62, 5461}}},
        {"shortfall tie goes to the highest value", {{0x63, 1}, {0x61, 1}, {0x62, 1}},
         {{0x61, 5461}, {0x62, 5461}, {0x63, 5462}}},
        {"two equal halves", {{0x01, 7}, {0xFE, 7}}, {{0x01, 8192}, {0xFE, 8192}}},
        {"raised rare values, excess taken from the largest", skew, skew_rows},
        {"excess alternates between equal frequencies", twin, twin_rows},
        {"rows ascend whatever the counts", {{0xF0, 50}, {0x02, 3}, {0x80, 700}},
         {{0x02, 65}, {0x80, 15232}, {0xF0, 1087}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes in = from_counts(c.counts);
        std::mt19937_64 rng(3);
        std::shuffle(in.begin(), in.end(), rng);
        Bytes got = range_compress(as_bytes(in));
        EXPECT_EQ(table_of(got), c.rows);
        EXPECT_EQ(got, ref_range(in).block);
        EXPECT_EQ(roundtrip(got, in.size()), in);
    }
}

Bytes corpus_input(std::mt19937_64& rng, int kind, size_t n) {
    Bytes b(n);
    switch (kind) {
        case 0:  // uniform
            for (auto& x : b) x = static_cast<uint8_t>(rng());
            break;
        case 1:  // two values, one rare: long runs of tiny steps
            for (auto& x : b) x = rng() % 50 == 0 ? 1 : 0;
            break;
        case 2: {  // skewed
            std::geometric_distribution<int> g(0.2);
            for (auto& x : b) x = static_cast<uint8_t>(std::min(g(rng), 255));
            break;
        }
        case 3:  // a few values, one very rare: big jumps in `low`
            for (auto& x : b) {
                uint64_t v = rng() % 1000;
                x = v == 0 ? 0xEE : static_cast<uint8_t>(0xF0 + v % 3);
            }
            break;
        default:  // text-like
            for (auto& x : b) x = static_cast<uint8_t>("etaoin shrdlu,0123456789\n"[rng() % 25]);
            break;
    }
    return b;
}

TEST(RangeCoder, MatchesReferenceIncludingCarries) {
    std::mt19937_64 rng(5);
    int carries = 0, carries_over_ff = 0;
    for (int kind = 0; kind < 5; ++kind) {
        for (size_t n : {2u, 3u, 10u, 255u, 256u, 257u, 4096u, 100000u, 400000u}) {
            SCOPED_TRACE(testing::Message() << "kind " << kind << " n " << n);
            Bytes in = corpus_input(rng, kind, n);
            RefRange want = ref_range(in);
            carries += want.carries;
            carries_over_ff += want.carries_over_ff;
            Bytes got = range_compress(as_bytes(in));
            ASSERT_EQ(got, want.block);
            ASSERT_EQ(roundtrip(got, in.size()), in);
        }
    }
    // The corpus must exercise carries, including ones through written 0xFF bytes.
    EXPECT_GT(carries, 100);
    EXPECT_GT(carries_over_ff, 0);
}

TEST(RangeCoder, DecoderRejectsMalformedBlocks) {
    const Bytes ab = range_compress(as_bytes(Bytes{'a', 'b'}));
    ASSERT_EQ(ab.size(), 16u);
    const Bytes cut(ab.begin(), ab.end() - 1);
    Bytes trailing = ab;
    trailing.push_back(0);
    Bytes longer = ab;
    longer[8] = 200;  // 200 symbols cannot come out of four coded bytes
    Bytes corrupt = ab;
    corrupt[12] = 0xFF, corrupt[13] = 0xFF, corrupt[14] = 0xFF, corrupt[15] = 0xFF;
    Bytes single_trailing = {0x01, 0x00, 0x41, 0x00, 0x40, 0x03, 0, 0, 0, 0x00};

    struct Case {
        const char* name;
        Bytes block;
        const char* error;
    } cases[] = {
        {"count cut short", {0x02}, "truncated"},
        {"count 0", {0x00, 0x00, 1, 0, 0, 0}, "symbols"},
        {"count 257", {0x01, 0x01}, "symbols"},
        {"table cut short", {0x02, 0x00, 'a', 0x00, 0x20, 'b', 0x00}, "truncated"},
        {"symbols out of order", {0x02, 0x00, 'b', 0x00, 0x20, 'a', 0x00, 0x20, 2, 0, 0, 0, 0, 0, 0, 0},
         "ascending"},
        {"frequency 0", {0x02, 0x00, 'a', 0x00, 0x40, 'b', 0x00, 0x00, 2, 0, 0, 0, 0, 0, 0, 0}, "frequency 0"},
        {"frequencies sum short", {0x02, 0x00, 'a', 0x00, 0x20, 'b', 0xFF, 0x1F, 2, 0, 0, 0, 0, 0, 0, 0},
         "not 16384"},
        {"frequencies sum over", {0x01, 0x00, 'a', 0x01, 0x40, 2, 0, 0, 0}, "not 16384"},
        {"no content length", {0x01, 0x00, 'a', 0x00, 0x40, 2, 0}, "truncated"},
        {"coded bytes cut short", cut, "truncated"},
        {"content length disagrees", longer, "truncated"},
        {"trailing byte", trailing, "after its coded data"},
        {"single value with coded bytes", single_trailing, "trailing"},
        {"value outside every interval", corrupt, "corrupt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes out;
        Status st = range_decompress(as_bytes(c.block), out, 1000);
        ASSERT_TRUE(st.failed());
        EXPECT_NE(st.message().find(c.error), std::string::npos) << st.message();
    }
    Bytes out;
    const Bytes a300 = range_compress(as_bytes(Bytes(300, 0x41)));
    EXPECT_TRUE(range_decompress(as_bytes(a300), out, 300).is_ok());
    Status st = range_decompress(as_bytes(a300), out, 299);
    ASSERT_TRUE(st.failed());
    EXPECT_NE(st.message().find("limit"), std::string::npos);
}

}  // namespace
}  // namespace varn
