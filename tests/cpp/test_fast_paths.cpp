// The converter's fast paths against plain references: UTF-8 scanning that
// reports the first bad character, the batch builder's column-grouped layout
// (split, trim, pad, drop) and the text column analysis over both layouts.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "convert/batch_builder.h"
#include "common/text_scan.h"
#include "format/column/column_encoding.h"

namespace varn {
namespace {

const uint8_t* u8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

TEST(FastPaths, Utf8ScanStopsAtFirstBadCharacter) {
    struct Case {
        std::string bytes;
        size_t bad;
    } cases[] = {
        {"plain", 5},
        {std::string(40, 'a') + "\xC3", 40},                       // truncated after a long ASCII run
        {std::string(33, 'b') + "\xE2\x82\xAC" + "x\x80y", 37},    // stray continuation
        {"\xC3\xA9\xC3\xA9\xED\xA0\x80", 4},                       // surrogate after good text
        {"ok\n\xC3\n", 3},                                         // lead byte before a line end
        {"\xF0\x9F\x98\x80 \xF4\x90\x80\x80", 5},                  // above U+10FFFF
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf8_scan(u8(c.bytes), c.bytes.size()), c.bad) << c.bytes;
        EXPECT_EQ(utf8_valid(u8(c.bytes), c.bytes.size()), c.bad == c.bytes.size());
    }
}

// The 16-bytes-per-step validator against utf8_scan: every pair of bytes,
// and sequences of three and four bytes over the values that decide them,
// placed to straddle its 16- and 64-byte steps, with ASCII after them (which
// it skips 64 bytes at a time); then valid text of several scripts with
// single bytes changed or cut short.
TEST(FastPaths, Utf8ValidLongAgreesWithScan) {
    size_t checked = 0, bad = 0;
    auto check = [&](const std::vector<uint8_t>& b) {
        ++checked;
        const bool want = utf8_scan(b.data(), b.size()) == b.size();
        if (utf8_valid_long(b.data(), b.size()) != want && ++bad <= 5)
            ADD_FAILURE() << "disagree on " << testing::PrintToString(b);
    };
    const size_t places[] = {0, 14, 15, 31, 62, 63, 64, 126};
    for (size_t at : places) {
        for (int x = 0; x < 256; ++x) {
            for (int y = 0; y < 256; ++y) {
                std::vector<uint8_t> b(at < 64 ? 130 : at + 2, 'a');
                b[at] = static_cast<uint8_t>(x);
                b[at + 1] = static_cast<uint8_t>(y);
                check(b);
            }
        }
    }
    const uint8_t deciding[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2, 0xE0, 0xF0, 0xFF};
    for (size_t at : places) {
        for (int x = 0xC0; x < 256; ++x) {
            for (int y = 0; y < 256; ++y) {
                for (uint8_t z : deciding) {
                    std::vector<uint8_t> b(at < 64 ? 130 : at + 3, 'a');
                    b[at] = static_cast<uint8_t>(x), b[at + 1] = static_cast<uint8_t>(y), b[at + 2] = z;
                    check(b);
                    if (x < 0xF0) continue;
                    for (uint8_t w : deciding) {
                        b.push_back('a');
                        b[at + 3] = w;
                        check(b);
                        b.pop_back();
                    }
                }
            }
        }
    }
    std::mt19937 rng(5);
    const std::string pieces[] = {"word ", "\xC3\xA9t\xC3\xA9 ", "\xD0\xBC\xD1\x8B ", "\xE7\xA7\x81\xE3\x81\xAF",
                                  "\xF0\x9F\x98\x80", "\xE2\x82\xAC", "x", "\xDF\xBF", "\xEF\xBF\xBD",
                                  std::string(70, 'z')};
    for (int trial = 0; trial < 20000; ++trial) {
        std::string text;
        const size_t parts = rng() % 60;
        for (size_t i = 0; i < parts; ++i) text += pieces[rng() % std::size(pieces)];
        std::vector<uint8_t> b(text.begin(), text.end());
        if (!b.empty() && trial % 2) b[rng() % b.size()] = static_cast<uint8_t>(rng());
        if (!b.empty() && trial % 3 == 0) b.resize(rng() % b.size());  // cut, maybe inside a character
        check(b);
    }
    EXPECT_EQ(bad, 0u) << "of " << checked;
}

// Reference split: every comma separates, pieces trimmed, short rows padded.
std::vector<std::string> reference_cells(const std::string& line, size_t columns) {
    std::vector<std::string> cells(columns);
    size_t start = 0;
    for (size_t i = 0; i < columns; ++i) {
        if (start > line.size()) break;
        size_t stop = line.find(',', start);
        if (stop == std::string::npos) stop = line.size();
        const uint8_t* b = u8(line) + start;
        const uint8_t* e = u8(line) + stop;
        trim_space(b, e);
        cells[i].assign(reinterpret_cast<const char*>(b), static_cast<size_t>(e - b));
        start = stop + 1;
    }
    return cells;
}

std::string random_line(std::mt19937& rng) {
    static const char* pieces[] = {"a", "bc", " d ", "\t", "\xC2\xA0", "\xE3\x80\x80x", "\xC3\xA9",
                                   ",", ",", ",", "0123456789abcdefghij", "  ", "\xE2\x80\x8B"};
    std::string line;
    const int n = static_cast<int>(rng() % 24);
    for (int i = 0; i < n; ++i) line += pieces[rng() % (sizeof pieces / sizeof *pieces)];
    if (rng() % 50 == 0) line += std::string(rng() % 3000, 'q');
    return line;
}

std::string cell_text(const TextBatch& b, size_t r, size_t c) {
    const TextSpan s = b.cell(r, c);
    return std::string(reinterpret_cast<const char*>(b.text.data() + b.row_offsets[r] + s.offset),
                       s.length);
}

TEST(FastPaths, BatchBuilderMatchesReferenceSplit) {
    // Two builders filled in turn, as the converter's two batches are: each
    // clear() and plan_like() sizes the next batch's segments from the one
    // before, which the next rows may outgrow (longer cells) or not fill.
    struct Round {
        int builder;
        int rows;
        size_t long_run;  // bytes of a run put into every line
    };
    const Round rounds[] = {{0, 2000, 0}, {1, 2000, 0}, {0, 2000, 300}, {1, 50, 0}, {0, 2000, 0}, {1, 3000, 40}};
    std::mt19937 rng(7);
    for (size_t columns : {1u, 3u, 17u}) {
        TextBatch batches[2];
        TextBatchBuilder builders[2] = {TextBatchBuilder(batches[0], columns), TextBatchBuilder(batches[1], columns)};
        std::vector<std::string> lines;
        int last = -1;
        for (const Round& round : rounds) {
            SCOPED_TRACE(&round - rounds);
            TextBatch& batch = batches[round.builder];
            TextBatchBuilder& builder = builders[round.builder];
            builder.clear();
            if (last >= 0 && last != round.builder) builder.plan_like(builders[last]);
            last = round.builder;
            lines.clear();
            for (int i = 0; i < round.rows; ++i) {
                std::string line = random_line(rng);
                if (round.long_run) line.insert(rng() % (line.size() + 1), std::string(round.long_run, 'L'));
                lines.push_back(line);
                std::string padded = lines.back() + std::string(TextBatchBuilder::kLineSlack, 'Z');
                builder.append_row(u8(padded), lines.back().size());
            }
            builder.flush();
            ASSERT_EQ(batch.rows, lines.size());
            for (size_t r = 0; r < lines.size(); ++r) {
                const std::vector<std::string> want = reference_cells(lines[r], columns);
                for (size_t c = 0; c < columns; ++c)
                    ASSERT_EQ(cell_text(batch, r, c), want[c]) << "line " << r << " column " << c;
            }
        }
    }
}

// A batch like the one before it takes one segment per column, sized from
// what the column held: its text stays near the bytes of its cells rather
// than the doubling series of segments the first batch grew through.
TEST(FastPaths, BatchLikeTheLastTakesAboutItsText) {
    const size_t columns = 50;
    TextBatch batch;
    TextBatchBuilder builder(batch, columns);
    std::string line;
    for (size_t c = 0; c < columns; ++c) line += (c ? "," : "") + std::string(3 + c % 5, 'v');
    const size_t cell_bytes = line.size() - (columns - 1);
    const std::string padded = line + std::string(TextBatchBuilder::kLineSlack, ' ');
    const size_t rows = 20000;
    size_t first = 0;
    for (int round = 0; round < 2; ++round) {
        builder.clear();
        for (size_t i = 0; i < rows; ++i) builder.append_row(u8(padded), line.size());
        if (round == 0) first = batch.text.size();
    }
    const size_t held = rows * cell_bytes;
    EXPECT_GT(first, held * 5 / 4);  // the doublings leave room unused
    EXPECT_LE(batch.text.size(), held * 5 / 4);
}

// The span table grows with the rows: a few rows of a very wide header must
// not take room for a whole batch of them (65,536 rows x 60,000 columns
// would be 31 GB).
TEST(FastPaths, BatchOfFewWideRowsStaysSmall) {
    const size_t columns = 60000;
    TextBatch batch;
    TextBatchBuilder builder(batch, columns);
    std::string line(columns - 1, ',');
    line[0] = 'x';
    line += std::string(TextBatchBuilder::kLineSlack, ' ');
    for (int i = 0; i < 3; ++i) builder.append_row(u8(line), columns - 1);
    builder.flush();
    EXPECT_EQ(batch.rows, 3u);
    EXPECT_EQ(cell_text(batch, 2, 0), "x");
    EXPECT_EQ(cell_text(batch, 2, columns - 1), "");
    EXPECT_LE(batch.cells.size(), 4 * columns);
}

TEST(FastPaths, BlankLines) {
    for (const char* s : {"", " ", "\t \r", "\xE3\x80\x80", "\xC2\xA0 "})
        EXPECT_TRUE(blank_line(reinterpret_cast<const uint8_t*>(s), std::strlen(s))) << s;
    for (const char* s : {",", " x", "\xE2\x80\x8B", "\xC3\xA0"})
        EXPECT_FALSE(blank_line(reinterpret_cast<const uint8_t*>(s), std::strlen(s))) << s;
}

// Reference statistics: memcmp order, 64-bit three-chain filter hash.
void reference_stats(const std::vector<std::string>& texts, Bytes& payload, std::string& mn,
                     std::string& mx, BloomFilter& bloom) {
    payload.clear();
    bloom = BloomFilter{};
    for (size_t i = 0; i < texts.size(); ++i) {
        const std::string& t = texts[i];
        put_leb128(payload, t.size());
        payload.insert(payload.end(), t.begin(), t.end());
        for (uint64_t seed : kBloomSeeds) {
            uint64_t h = seed;
            for (unsigned char ch : t) h = (h ^ ch) * kBloomMultiplier;
            bloom[(h % 4096) / 64] |= uint64_t{1} << (h % 64);
        }
        if (i == 0) {
            mn = mx = t;
            continue;
        }
        if (t < mn) mn = t;  // std::string compares bytes as unsigned char
        if (t > mx) mx = t;
    }
}

TEST(FastPaths, TextAnalysisMatchesReferenceInBothLayouts) {
    std::mt19937 rng(11);
    const std::vector<std::string> alphabet = {"", "a", "ab", "abc", "2015-01-01 00:00:0", "\xC3\xA9",
                                               std::string("x\0y", 3), "zzzzzzzzzzzzzzzzzzzz"};
    for (int trial = 0; trial < 20; ++trial) {
        const size_t columns = 1 + rng() % 4;
        const size_t rows = 1 + rng() % 3000;
        std::vector<std::vector<std::string>> cols(columns);
        std::vector<std::string> lines;
        for (size_t r = 0; r < rows; ++r) {
            std::string line;
            for (size_t c = 0; c < columns; ++c) {
                std::string t = alphabet[rng() % alphabet.size()];
                if (rng() % 3 == 0) t += std::to_string(rng() % 1000);
                if (rng() % 40 == 0) t += std::string(130 + rng() % 300, 'k');  // two-byte lengths
                if (rng() % 200 == 0) t.clear();
                cols[c].push_back(t);
                if (c) line += ',';
                line += t;
            }
            lines.push_back(line);
        }
        // Column-grouped layout from the builder (no field holds a comma or
        // blanks), and a plain row-major layout built by hand.
        TextBatch grouped;
        TextBatchBuilder builder(grouped, columns);
        TextBatch plain;
        plain.columns = columns;
        for (const std::string& line : lines) {
            std::string padded = line + std::string(TextBatchBuilder::kLineSlack, 0);
            builder.append_row(u8(padded), line.size());
            std::vector<TextSpan> spans;
            size_t start = 0;
            for (size_t c = 0; c < columns; ++c) {
                size_t stop = line.find(',', start);
                if (stop == std::string::npos) stop = line.size();
                spans.push_back(TextSpan{static_cast<uint32_t>(start), static_cast<uint32_t>(stop - start)});
                start = stop + 1;
            }
            plain.push_row(plain.text.size(), spans.data());
            plain.text.insert(plain.text.end(), line.begin(), line.end());
        }
        builder.flush();
        for (size_t c = 0; c < columns; ++c) {
            Bytes want_payload;
            std::string want_min, want_max;
            BloomFilter want_bloom;
            reference_stats(cols[c], want_payload, want_min, want_max, want_bloom);
            for (const TextBatch* b : {&grouped, &plain}) {
                Bytes payload;
                StreamChunkColMeta meta;
                analyze_text_column(*b, c, payload, meta);
                EXPECT_EQ(payload, want_payload);
                EXPECT_EQ(meta.min_str, want_min);
                EXPECT_EQ(meta.max_str, want_max);
                EXPECT_EQ(meta.bloom, want_bloom);
            }
        }
    }
}

}  // namespace
}  // namespace varn
