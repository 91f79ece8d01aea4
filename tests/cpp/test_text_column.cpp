// Text column payloads and statistics, and the CSV text scanning helpers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/text_scan.h"
#include "format/column/column_encoding.h"

namespace varn {
namespace {

Bytes raw(const std::vector<std::string>& texts) {
    std::vector<ByteView> views;
    for (const auto& t : texts) views.push_back(as_bytes(t.data(), t.size()));
    Bytes out;
    encode_raw_str(views, out);
    return out;
}

TextBatch batch_of(const std::vector<std::string>& cells) {
    TextBatch b;
    b.columns = 1;
    for (const auto& c : cells) {
        const TextSpan span{0, static_cast<uint32_t>(c.size())};
        b.push_row(b.text.size(), &span);
        b.text.insert(b.text.end(), c.begin(), c.end());
    }
    return b;
}

std::vector<int> set_bits(const BloomFilter& f) {
    std::vector<int> bits;
    for (int k = 0; k < 4096; ++k)
        if ((f[k / 64] >> (k % 64)) & 1) bits.push_back(k);
    return bits;
}

TEST(TextPayload, LengthPrefixes) {
    EXPECT_EQ(raw({"a", "", "bc"}), (Bytes{0x01, 0x61, 0x00, 0x02, 0x62, 0x63}));
    EXPECT_TRUE(raw({}).empty());
    struct Case {
        size_t len;
        Bytes prefix;
    } cases[] = {{127, {0x7F}}, {128, {0x80, 0x01}}, {200, {0xC8, 0x01}}, {16384, {0x80, 0x80, 0x01}}};
    for (const auto& c : cases) {
        Bytes out = raw({std::string(c.len, 'q')});
        ASSERT_EQ(out.size(), c.len + c.prefix.size());
        EXPECT_EQ(Bytes(out.begin(), out.begin() + c.prefix.size()), c.prefix) << c.len;
    }
}

TEST(TextStats, MinMaxInByteOrder) {
    struct Case {
        std::vector<std::string> cells;
        std::string min, max;
    } cases[] = {
        {{"b", "a", "ab", ""}, "", "b"},
        {{"apple", "app"}, "app", "apple"},
        {{"x"}, "x", "x"},
        {{"zebra", "\xC3\xA9t\xC3\xA9"}, "zebra", "\xC3\xA9t\xC3\xA9"},  // bytes >= 0x80 sort last
        {{"", "", ""}, "", ""},
        // Ties in the first eight bytes: trailing NULs, then the next bytes.
        {{std::string("x\0", 2), "x"}, "x", std::string("x\0", 2)},
        {{"2015-01-02 00:00:00", "2015-01-01 23:59:59", "2015-01-02 00:00:01"},
         "2015-01-01 23:59:59", "2015-01-02 00:00:01"},
        {{"abcdefghi", "abcdefgh", "abcdefgh\x01"}, "abcdefgh", "abcdefghi"},
        {{"abcdefghABCDEFGHz", "abcdefghABCDEFGH", "abcdefghABCDEFGHa"}, "abcdefghABCDEFGH",
         "abcdefghABCDEFGHz"},
    };
    for (const auto& c : cases) {
        TextBatch b = batch_of(c.cells);
        Bytes payload;
        StreamChunkColMeta meta;
        analyze_text_column(b, 0, payload, meta);
        EXPECT_EQ(meta.min_str, c.min);
        EXPECT_EQ(meta.max_str, c.max);
        EXPECT_EQ(meta.null_count, 0u);
        EXPECT_EQ(meta.encoding, 0);
        EXPECT_EQ(meta.min, 0);
        EXPECT_EQ(meta.max, 0);
        EXPECT_EQ(payload, raw(c.cells));

        // The cell-by-cell statistics used for KVal rows agree with the batch path.
        StreamChunkColMeta meta2;
        TextColumnStats stats(meta2);
        for (const auto& t : c.cells)
            stats.add(reinterpret_cast<const uint8_t*>(t.data()), t.size());
        EXPECT_EQ(meta2.min_str, meta.min_str);
        EXPECT_EQ(meta2.max_str, meta.max_str);
        EXPECT_EQ(meta2.bloom, meta.bloom);
    }
}

TEST(TextStats, BloomBits) {
    BloomFilter f{};
    bloom_add(f, nullptr, 0);
    EXPECT_EQ(set_bits(f), (std::vector<int>{322, 1465, 3093}));
    EXPECT_EQ((f[48] >> 21) & 1, 1u);
    BloomFilter g{};
    bloom_add(g, reinterpret_cast<const uint8_t*>("abc"), 3);
    EXPECT_EQ(set_bits(g), (std::vector<int>{1025, 1301, 3978}));
    EXPECT_TRUE(bloom_may_contain(g, reinterpret_cast<const uint8_t*>("abc"), 3));
    EXPECT_FALSE(bloom_may_contain(g, nullptr, 0));
}

TEST(TextStats, NullCellsCountAndHashAsEmpty) {
    StreamChunkColMeta meta;
    TextColumnStats stats(meta);
    stats.add_null();
    stats.add(reinterpret_cast<const uint8_t*>("m"), 1);
    stats.add_null();
    EXPECT_EQ(meta.null_count, 2u);
    EXPECT_EQ(meta.min_str, "m");
    EXPECT_EQ(meta.max_str, "m");
    EXPECT_TRUE(bloom_may_contain(meta.bloom, nullptr, 0));
}

TEST(TextScan, Utf8Validation) {
    struct Case {
        std::string bytes;
        bool valid;
    } cases[] = {
        {"plain ascii, long enough for the word loop", true},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", true},
        {"\xC3", false},                  // truncated
        {"\xC0\xAF", false},              // overlong
        {"\xE0\x80\xAF", false},          // overlong
        {"\xED\xA0\x80", false},          // surrogate
        {"\xF4\x90\x80\x80", false},      // above U+10FFFF
        {"\xFF", false},
        {"abcdefgh\x80", false},          // stray continuation after a word
        {std::string("a\0b", 3), true},   // NUL is valid text
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf8_valid(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()), c.valid)
            << c.bytes;
    }
}

TEST(TextScan, TrimsUnicodeWhiteSpace) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"  a b \t", "a b"},
        {"\r\n\v\fx\x0B", "x"},
        {"\xC2\x85\xC2\xA0x\xC2\xA0", "x"},
        {"\xE1\x9A\x80x\xE2\x80\x8A", "x"},
        {"\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAFx\xE2\x81\x9F\xE3\x80\x80", "x"},
        {"\xE2\x80\x8Bx", "\xE2\x80\x8Bx"},  // zero-width space is not White_Space
        {"\xC3\xA0", "\xC3\xA0"},           // a letter ending in 0xA0 is kept
        {"   ", ""},
    };
    for (const auto& c : cases) {
        const uint8_t* b = reinterpret_cast<const uint8_t*>(c.in.data());
        const uint8_t* e = b + c.in.size();
        trim_space(b, e);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(b), static_cast<size_t>(e - b)), c.out)
            << c.in;
    }
}

}  // namespace
}  // namespace varn
