// The fast and small compression levels: every block decodes to its input,
// a level's output depends on its input alone (fresh and reused compressors
// agree), small is never larger than default, fast forms no range candidate,
// and both level parses write valid LZ streams on their own.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "format/block/block_compression.h"
#include "format/block/block_internal.h"

namespace varn {
namespace {

Bytes random_bytes(size_t n, uint64_t seed, int alphabet = 256) {
    std::mt19937_64 rng(seed);
    Bytes b(n);
    for (auto& x : b) x = static_cast<uint8_t>(rng() % static_cast<unsigned>(alphabet));
    return b;
}

// Rows of a CSV-like text column: words from a small vocabulary, numbers.
Bytes text_column(size_t n, uint64_t seed) {
    static const char* words[] = {"alpha", "bravo", "charlie", "delta", "echo", "fox", "golf",
                                  "hotel", "india", "juliet", "kilo", "lima", "mike"};
    std::mt19937_64 rng(seed);
    Bytes b;
    while (b.size() < n) {
        std::string cell = words[rng() % 13];
        cell += ' ';
        cell += words[rng() % 13];
        cell += ' ';
        cell += std::to_string(rng() % 1000);
        b.push_back(static_cast<uint8_t>(cell.size()));
        b.insert(b.end(), cell.begin(), cell.end());
    }
    b.resize(n);
    return b;
}

struct Case {
    std::string name;
    Bytes data;
};

std::vector<Case> level_cases() {
    std::vector<Case> cases;
    cases.push_back({"empty", {}});
    for (size_t n = 1; n <= 9; ++n) cases.push_back({"short" + std::to_string(n), random_bytes(n, n, 3)});
    cases.push_back({"ff9", Bytes(9, 0xFF)});
    cases.push_back({"sixteen", Bytes(16, 'a')});
    cases.push_back({"seventeen_ff", Bytes(17, 0xFF)});
    cases.push_back({"random", random_bytes(100000, 1)});
    cases.push_back({"small_alphabet", random_bytes(100000, 2, 4)});
    // Runs longer than one copy can take.
    cases.push_back({"zeros", Bytes(200000, 0)});
    {
        Bytes b;
        for (int r = 0; r < 40; ++r) b.insert(b.end(), 5000 + 97 * r, static_cast<uint8_t>(r % 3 == 0 ? 0xFF : r));
        cases.push_back({"runs", b});
    }
    {
        Bytes b = random_bytes(120000, 3, 2);  // 0 or 1...
        for (auto& x : b) x = x ? 0xFF : static_cast<uint8_t>('x');  // ...half of them 0xFF
        cases.push_back({"ff_heavy", b});
    }
    cases.push_back({"all_ff", Bytes(100000, 0xFF)});
    {
        // A 1,000-byte pattern repeated: matches far over 65,535 bytes.
        const Bytes unit = random_bytes(1000, 4);
        Bytes b;
        while (b.size() < 300000) b.insert(b.end(), unit.begin(), unit.end());
        cases.push_back({"long_matches", b});
    }
    // Random blocks repeated exactly at the largest distance, and one byte
    // beyond it (where no copy may reach).
    for (size_t period : {size_t{65535}, size_t{65536}}) {
        const Bytes unit = random_bytes(period, 5 + period);
        Bytes b = unit;
        b.insert(b.end(), unit.begin(), unit.begin() + 20000);
        cases.push_back({"window" + std::to_string(period), b});
    }
    cases.push_back({"text", text_column(400000, 6)});  // several parse segments
    return cases;
}

TEST(BlockLevels, EveryLevelRoundTripsAndSmallIsNeverLarger) {
    BlockCompressor reused_fast(BlockLevel::Fast), reused_small(BlockLevel::Small);
    for (const Case& c : level_cases()) {
        SCOPED_TRACE(c.name);
        const ByteView in = as_bytes(c.data);
        const Bytes def = compress_block(in);
        for (BlockLevel level : {BlockLevel::Fast, BlockLevel::Small}) {
            SCOPED_TRACE(block_level_name(level));
            const Bytes block = compress_block(in, level);
            if (c.data.empty()) {
                EXPECT_TRUE(block.empty());
                continue;
            }
            ASSERT_GE(block.size(), 2u);
            EXPECT_LE(block.size(), c.data.size() + 1);
            Bytes out;
            ASSERT_TRUE(decompress_block(as_bytes(block), out, c.data.size()).is_ok());
            EXPECT_EQ(out, c.data);
            // The scratch of every earlier input must not change the block.
            Bytes again;
            (level == BlockLevel::Fast ? reused_fast : reused_small).compress(in, again);
            EXPECT_EQ(again, block);
            if (level == BlockLevel::Small) {
                EXPECT_LE(block.size(), def.size());
            } else {
                EXPECT_NE(block[0], static_cast<uint8_t>(BlockTag::Range));
                EXPECT_NE(block[0], static_cast<uint8_t>(BlockTag::LzRange));
            }
        }
    }
}

TEST(BlockLevels, LevelStreamsDecodeOnTheirOwn) {
    block::FastTables fast;
    block::SmallTables small;
    for (const Case& c : level_cases()) {
        SCOPED_TRACE(c.name);
        for (int level = 0; level < 2; ++level) {
            block::ByteBuf stream;
            if (level == 0)
                block::lz_encode_fast(fast, c.data.data(), c.data.size(), stream);
            else
                block::lz_encode_small(small, c.data.data(), c.data.size(), stream);
            Bytes out;
            ASSERT_TRUE(lz_decompress(stream.view(), out, c.data.size()).is_ok()) << level;
            EXPECT_EQ(out, c.data) << level;
        }
    }
}

TEST(BlockLevels, SmallBeatsDefaultOnRepetitiveText) {
    // Not a promise for every input, but a parse that never gains here would
    // be no parse at all.
    const Bytes in = text_column(65536 * 4, 7);
    const size_t def = compress_block(as_bytes(in)).size();
    const size_t small = compress_block(as_bytes(in), BlockLevel::Small).size();
    EXPECT_LT(small, def);
}

TEST(BlockLevels, Names) {
    for (BlockLevel level : {BlockLevel::Fast, BlockLevel::Default, BlockLevel::Small})
        EXPECT_EQ(block_level_from_name(block_level_name(level)), level);
    for (const char* bad : {"", "Fast", "smallest", "1", "default "}) EXPECT_FALSE(block_level_from_name(bad)) << bad;
}

}  // namespace
}  // namespace varn
