// Typed columns: the cell coercions, analyze_column's payload, encoding and
// statistics for every type code, agreement of the generic Text path with
// the CSV batch path, and whole-column round trips through the decoders.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <fstream>
#include <iterator>
#include <unistd.h>

#include "format/block/block_compression.h"
#include "format/column/column_decoding.h"
#include "format/column/column_encoding.h"
#include "format/file/encryption.h"
#include "format/column/nested_value.h"
#include "format/file/writer.h"
#include "hex.h"

namespace varn {
namespace {

constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

KVal I(int64_t x) { return KVal::make_int(x); }
KVal F(double x) { return KVal::make_float(x); }
KVal B(bool x) { return KVal::make_bool(x); }
KVal S(const std::string& s) { return KVal::make_str(s); }
KVal N() { return KVal::make_null(); }
KVal Raw(const std::string& h) { return KVal::make_bytes(from_hex(h)); }

struct IntCoercion {
    KVal cell;
    int64_t expected;
};

TEST(Coercion, Integer) {
    const IntCoercion cases[] = {
        {I(42), 42},
        {I(kMin), kMin},
        {F(-2.9), -2},
        {F(2.9), 2},
        {F(1e300), kMax},
        {F(-1e300), kMin},
        {F(kInf), kMax},
        {F(-kInf), kMin},
        {F(kNaN), 0},
        {F(9223372036854775808.0), kMax},    // 2^63, one past the range
        {F(-9223372036854775808.0), kMin},   // -2^63 exactly
        {F(9223372036854774784.0), 9223372036854774784},  // largest double below 2^63
        {B(true), 1},
        {B(false), 0},
        {S("42"), 0},
        {N(), 0},
        {Raw("01"), 0},
        {KVal::make_array({I(5)}), 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(coerce_int(c.cell), c.expected) << to_hex(encode_nested_val(c.cell));
        // Statistics take the same value for every variant.
        EXPECT_EQ(statistic_value(c.cell), c.expected) << to_hex(encode_nested_val(c.cell));
    }
}

TEST(Coercion, ScaledInteger) {
    const IntCoercion cases[] = {
        {F(1.25), 12500},
        {I(3), 30000},
        {I(-5), -50000},
        {F(2.75), 27500},
        {B(true), 0},
        {S("1.5"), 0},
        {N(), 0},
        {F(-1e300), kMin},
        {F(1e300), kMax},
        {I(kMax), kMax},  // 9.2e18 * 10000 saturates
        {F(kNaN), 0},
        {F(kInf), kMax},
        // Halves round away from zero ...
        {F(0.00005), 1},
        {F(0.00125), 13},
        {F(-0.00025), -3},
        {F(0.00375), 38},
        {F(-0.00375), -38},
        // ... but the product is a double: 0.00015 * 10000 is 1.4999999999999998.
        {F(0.00015), 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(coerce_scaled(c.cell), c.expected) << to_hex(encode_nested_val(c.cell));
    }
}

struct FlagCoercion {
    KVal cell;
    bool expected;
};

TEST(Coercion, Flag) {
    const FlagCoercion cases[] = {
        {S("true"), true},   {S("True"), true},   {S("tRuE"), true},  {S("TRUE"), true},
        {S("1"), true},      {S("01"), false},    {S("yes"), false},  {S("t"), false},
        {S("0"), false},     {S("1.0"), false},   {S("TRUE "), false}, {S(" true"), false},
        {S(""), false},      {S("truee"), false}, {S("tru"), false},
        {S(std::string("tru\xC5", 4)), false},  // only A-Z fold
        {B(true), true},     {B(false), false},   {I(-3), true},      {I(0), false},
        {F(1.0), false},     {F(kNaN), false},    {N(), false},       {Raw("31"), false},
        {KVal::make_array({B(true)}), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(coerce_flag(c.cell), c.expected) << to_hex(encode_nested_val(c.cell));
    }
}

TEST(Coercion, TextAndBytes) {
    EXPECT_EQ(to_hex(coerce_text(S("ab"))), "61 62");
    EXPECT_TRUE(coerce_text(Raw("61")).empty());
    EXPECT_TRUE(coerce_text(I(1)).empty());
    EXPECT_TRUE(coerce_text(N()).empty());
    EXPECT_EQ(to_hex(coerce_bytes(Raw("41 42"))), "41 42");
    EXPECT_TRUE(coerce_bytes(S("x")).empty());
    EXPECT_TRUE(coerce_bytes(N()).empty());
}

std::vector<Row> one_column(std::vector<KVal> cells) {
    std::vector<Row> rows;
    for (auto& c : cells) rows.push_back(Row{std::move(c)});
    return rows;
}

struct ColumnCase {
    const char* name;
    uint8_t type_code;
    std::vector<KVal> cells;
    ColumnEncoding encoding;
    const char* payload;
    uint32_t null_count;
    int64_t min, max;
};

TEST(AnalyzeColumn, PayloadEncodingAndStatisticsPerType) {
    const KVal nested_array = KVal::make_array({I(1)});
    const ColumnCase cases[] = {
        {"int one row", format::kTypeInt, {I(7)}, ColumnEncoding::ConstDelta, "0E 00", 0, 7, 7},
        {"int two rows", format::kTypeInt, {I(1), I(100)}, ColumnEncoding::ConstDelta, "02 C6 01", 0, 1, 100},
        {"int constant", format::kTypeInt, {I(5), I(5), I(5), I(5)}, ColumnEncoding::ConstDelta, "0A 00", 0, 5, 5},
        {"int arithmetic", format::kTypeInt, {I(1), I(2), I(3), I(4), I(5)}, ColumnEncoding::ConstDelta, "02 02", 0, 1, 5},
        {"int for", format::kTypeInt, {I(1), I(2), I(4)}, ColumnEncoding::FrameOfReference, "02 02 34", 0, 1, 4},
        {"int null first", format::kTypeInt, {N(), I(5), I(-3)}, ColumnEncoding::Delta, "00 0A 0F", 1, -3, 5},
        {"int all null", format::kTypeInt, std::vector<KVal>(10), ColumnEncoding::ConstDelta, "00 00", 10, 0, 0},
        // -2, max, 0: both steps wrap to the same difference, min + 1.
        {"int wrapping step", format::kTypeInt, {F(-2.9), F(1e300), F(kNaN)}, ColumnEncoding::ConstDelta,
         "03 FD FF FF FF FF FF FF FF FF 01", 0, -2, kMax},
        {"int from float", format::kTypeInt, {F(-2.9), F(1e300), F(kNaN), F(0.5)}, ColumnEncoding::Rle,
         "03 01 03 01 FE FF FF FF FF FF FF FF FF 01 02 00", 0, -2, kMax},
        {"float", format::kTypeFloat, {F(0.5), F(0.25), F(1.0)}, ColumnEncoding::Delta,
         "FE 04 90 4E 87 27 98 75", 0, 0, 1},
        {"float single", format::kTypeFloat, {F(2.75)}, ColumnEncoding::ConstDelta, "FE 04 D8 AD 03 00", 0, 2, 2},
        {"float mixed", format::kTypeFloat, {I(3), B(true), F(-1e300)}, ColumnEncoding::Delta,
         "FE 04 E0 D4 03 DF D4 03 FF FF FF FF FF FF FF FF FF 01", 0, kMin, 3},
        {"bool", format::kTypeBool, {B(true), B(false), B(true), B(true), B(false), B(false), B(false), B(false), B(true)},
         ColumnEncoding::BitPacked, "0D 01", 0, 0, 1},
        {"bool coerced", format::kTypeBool,
         {S("True"), S("tRuE"), S("1"), S("01"), S("yes"), F(1.0), I(-3), N()},
         ColumnEncoding::BitPacked, "47", 1, -3, 1},
        {"type 0 flags", format::kTypeNone,
         {S("True"), S("tRuE"), S("1"), S("01"), S("yes"), F(1.0), I(-3), N()},
         ColumnEncoding::Plain, "47", 1, 0, 0},
        {"bytes", format::kTypeBytes, {Raw("41 42"), S("x"), N()}, ColumnEncoding::Plain, "02 41 42 00 00", 1, 0, 0},
        {"code 9", 9, {Raw("41 42"), S("x"), N()}, ColumnEncoding::Plain, "02 41 42 00 00", 1, 0, 0},
        {"code 255", 255, {Raw(""), Raw("FF")}, ColumnEncoding::Plain, "00 01 FF", 0, 0, 0},
        {"nested 6", format::kTypeNested6, {N(), I(-1), nested_array}, ColumnEncoding::Plain,
         "01 00 02 01 01 05 07 01 02 01 02", 1, 0, 0},
        {"nested 7", format::kTypeNested7, {S("a")}, ColumnEncoding::Plain, "03 03 01 61", 0, 0, 0},
        {"nested 8", format::kTypeNested8, {N(), N()}, ColumnEncoding::Plain, "01 00 01 00", 2, 0, 0},
        {"text", format::kTypeText, {S("a"), N(), I(5), S("bc")}, ColumnEncoding::Plain, "01 61 00 00 02 62 63", 1, 0, 0},
    };
    for (const ColumnCase& c : cases) {
        const auto rows = one_column(c.cells);
        KColumn column;
        column.name = "c";
        column.type_code = c.type_code;
        Bytes payload = {0xEE};  // replaced, not appended to
        StreamChunkColMeta meta;
        meta.min_str = "junk";
        meta.null_count = 99;
        meta.bloom[3] = 1;
        analyze_column(column, rows, 0, payload, meta);
        EXPECT_EQ(to_hex(payload), normal_hex(c.payload)) << c.name;
        EXPECT_EQ(meta.encoding, static_cast<uint8_t>(c.encoding)) << c.name;
        EXPECT_EQ(meta.null_count, c.null_count) << c.name;
        EXPECT_EQ(meta.min, c.min) << c.name;
        EXPECT_EQ(meta.max, c.max) << c.name;
        if (c.type_code != format::kTypeText) {
            EXPECT_EQ(meta.min_str, "") << c.name;
            EXPECT_EQ(meta.max_str, "") << c.name;
            EXPECT_EQ(meta.bloom, BloomFilter{}) << c.name;
        }
    }
}

TEST(AnalyzeColumn, ShortRowsReadAsNullAndExtraCellsAreIgnored) {
    std::vector<Row> rows;
    rows.push_back(Row{I(1), I(9)});
    rows.push_back(Row{I(2)});
    rows.push_back(Row{I(3), I(7), I(100)});
    rows.push_back(Row{});
    KColumn column;
    column.type_code = format::kTypeInt;
    Bytes payload;
    StreamChunkColMeta meta;
    analyze_column(column, rows, 1, payload, meta);
    EXPECT_EQ(meta.null_count, 2u);
    EXPECT_EQ(meta.min, 7);
    EXPECT_EQ(meta.max, 9);
    std::vector<int64_t> values;
    ASSERT_TRUE(decode_int_payload(static_cast<ColumnEncoding>(meta.encoding), payload, 4, values).is_ok());
    EXPECT_EQ(values, (std::vector<int64_t>{9, 0, 7, 0}));
}

bool bloom_bit(const BloomFilter& b, unsigned k) { return (b[k / 64] >> (k % 64)) & 1; }
size_t bloom_popcount(const BloomFilter& b) {
    size_t n = 0;
    for (uint64_t w : b) n += static_cast<size_t>(__builtin_popcountll(w));
    return n;
}

TEST(AnalyzeColumn, TextStatisticsAndBloom) {
    KColumn column;  // a new column is Text
    Bytes payload;
    StreamChunkColMeta meta;

    auto rows = one_column({N(), N()});
    analyze_column(column, rows, 0, payload, meta);
    EXPECT_EQ(to_hex(payload), "00 00");
    EXPECT_EQ(meta.null_count, 2u);
    EXPECT_EQ(meta.min_str, "");
    EXPECT_EQ(meta.max_str, "");
    EXPECT_EQ(bloom_popcount(meta.bloom), 3u);  // the empty text: the seeds' own bits
    EXPECT_TRUE(bloom_bit(meta.bloom, 3093) && bloom_bit(meta.bloom, 322) && bloom_bit(meta.bloom, 1465));

    rows = one_column({S("abc")});
    analyze_column(column, rows, 0, payload, meta);
    EXPECT_EQ(bloom_popcount(meta.bloom), 3u);
    EXPECT_TRUE(bloom_bit(meta.bloom, 1025) && bloom_bit(meta.bloom, 3978) && bloom_bit(meta.bloom, 1301));
    EXPECT_EQ(meta.min_str, "abc");
    EXPECT_EQ(meta.max_str, "abc");

    // Nulls take no part in min/max; other non-Str cells count as the empty text.
    rows = one_column({N(), S("b"), S("apple"), N()});
    analyze_column(column, rows, 0, payload, meta);
    EXPECT_EQ(meta.min_str, "apple");
    EXPECT_EQ(meta.max_str, "b");
    rows = one_column({S("b"), Raw("00"), S("\xC3\xA9"), S("z")});
    analyze_column(column, rows, 0, payload, meta);
    EXPECT_EQ(meta.min_str, "");
    EXPECT_EQ(meta.max_str, "\xC3\xA9");
    EXPECT_EQ(meta.null_count, 0u);
}

TEST(AnalyzeColumn, TextPathMatchesTheBatchPath) {
    std::mt19937_64 rng(5);
    for (size_t n : {1u, 2u, 17u, 500u}) {
        TextBatch batch;
        batch.columns = 2;
        std::vector<Row> rows;
        for (size_t r = 0; r < n; ++r) {
            Row row;
            const size_t row_start = batch.text.size();
            TextSpan spans[2];
            for (size_t c = 0; c < 2; ++c) {
                std::string t(rng() % (r % 7 == 0 ? 200 : 6), 'a');
                for (char& ch : t) ch = static_cast<char>(rng() % 2 ? 'a' + rng() % 3 : 0x80 + rng() % 64);
                spans[c] = {static_cast<uint32_t>(batch.text.size() - row_start),
                            static_cast<uint32_t>(t.size())};
                batch.text.insert(batch.text.end(), t.begin(), t.end());
                row.push_back(S(t));
            }
            batch.push_row(row_start, spans);
            rows.push_back(std::move(row));
        }
        for (size_t c = 0; c < 2; ++c) {
            Bytes p1, p2;
            StreamChunkColMeta m1, m2;
            analyze_text_column(batch, c, p1, m1);
            analyze_column(KColumn{}, rows, c, p2, m2);
            EXPECT_EQ(p1, p2);
            EXPECT_EQ(m1.min_str, m2.min_str);
            EXPECT_EQ(m1.max_str, m2.max_str);
            EXPECT_EQ(m1.bloom, m2.bloom);
            EXPECT_EQ(m1.null_count, m2.null_count);
            EXPECT_EQ(m1.encoding, m2.encoding);
            EXPECT_EQ(m2.min, 0);
            EXPECT_EQ(m2.max, 0);
        }
    }
}

KVal random_cell(std::mt19937_64& rng) {
    static const int64_t ints[] = {0, 1, -1, kMin, kMax, 5000000000, -7};
    static const double floats[] = {0.5, -2.75, 1e300, -1e300, kNaN, kInf, 0.00005, 123.4567};
    static const char* texts[] = {"", "true", "TRUE", "1", "0", "yes", "\xC3\xA9", "long text here"};
    switch (rng() % 8) {
        case 0: return I(rng() % 2 ? ints[rng() % 7] : static_cast<int64_t>(rng()));
        case 1: return F(floats[rng() % 8]);
        case 2: return B(rng() % 2 == 1);
        case 3: return S(texts[rng() % 8]);
        case 4: return KVal::make_bytes(Bytes(rng() % 4, static_cast<uint8_t>(rng())));
        case 5: return N();
        case 6: return KVal::make_array({I(1), KVal::make_object({{"k", S("v")}})});
        default: return KVal::make_map({{N(), KVal::make_array({})}});
    }
}

// What a decoded cell should be: the coerced value, or the cell itself for Nested.
KVal expected_cell(uint8_t type_code, const KVal& c) {
    switch (type_code) {
        case format::kTypeInt: return I(coerce_int(c));
        case format::kTypeFloat: return F(static_cast<double>(coerce_scaled(c)) / 10000.0);
        case format::kTypeNone:
        case format::kTypeBool: return B(coerce_flag(c));
        case format::kTypeText: {
            ByteView t = coerce_text(c);
            return S(std::string(t.begin(), t.end()));
        }
        case format::kTypeNested6:
        case format::kTypeNested7:
        case format::kTypeNested8: return c;
        default: {
            ByteView b = coerce_bytes(c);
            return KVal::make_bytes(Bytes(b.begin(), b.end()));
        }
    }
}

TEST(AnalyzeColumn, EveryTypeRoundTripsThroughTheDecoders) {
    std::mt19937_64 rng(77);
    const uint8_t codes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 100, 255};
    for (size_t n : {0u, 1u, 2u, 3u, 9u, 100u, 1000u}) {
        std::vector<KVal> cells;
        for (size_t i = 0; i < n; ++i) cells.push_back(random_cell(rng));
        const auto rows = one_column(cells);
        for (uint8_t code : codes) {
            KColumn column;
            column.type_code = code;
            Bytes payload;
            StreamChunkColMeta meta;
            analyze_column(column, rows, 0, payload, meta);
            std::vector<KVal> back;
            Status s = decode_column_cells(code, static_cast<ColumnEncoding>(meta.encoding), payload, n, back);
            ASSERT_TRUE(s.is_ok()) << "type " << int(code) << " rows " << n << ": " << s.message();
            ASSERT_EQ(back.size(), n);
            for (size_t i = 0; i < n; ++i) {
                EXPECT_EQ(encode_nested_val(back[i]), encode_nested_val(expected_cell(code, cells[i])))
                    << "type " << int(code) << " row " << i;
            }
        }
    }
}

TEST(AnalyzeColumn, NumericColumnsOfExtremesRoundTrip) {
    // Wrapping differences and full-range values through every chosen encoding.
    const std::vector<std::vector<int64_t>> lists = {
        {kMin, kMax, kMin},
        {kMax, kMin, 0, -1},
        {kMin, 0, kMin, 0, kMin},
        {0, 1, 0, 1, 0, 1, 0, 1, 0, 1},
        {-1, -1, -1, -1, kMax},
    };
    for (const auto& v : lists) {
        std::vector<KVal> cells;
        for (int64_t x : v) cells.push_back(I(x));
        KColumn column;
        column.type_code = format::kTypeInt;
        Bytes payload;
        StreamChunkColMeta meta;
        analyze_column(column, one_column(cells), 0, payload, meta);
        std::vector<int64_t> back;
        ASSERT_TRUE(decode_int_payload(static_cast<ColumnEncoding>(meta.encoding), payload, v.size(), back).is_ok());
        EXPECT_EQ(back, v);
    }
}

struct BadColumn {
    uint8_t type_code;
    ColumnEncoding encoding;
    const char* payload;
    size_t rows;
    const char* message;
};

TEST(ColumnDecoders, RejectMalformedColumns) {
    const BadColumn cases[] = {
        {format::kTypeInt, ColumnEncoding::Plain, "00 00", 1, "cannot have encoding 0"},
        {format::kTypeFloat, ColumnEncoding::BitPacked, "00", 1, "cannot have encoding 4"},
        {format::kTypeBool, ColumnEncoding::Plain, "00", 1, "cannot have encoding 0"},
        {format::kTypeNone, ColumnEncoding::BitPacked, "00", 1, "cannot have encoding 4"},
        {format::kTypeText, ColumnEncoding::Rle, "00", 1, "cannot have encoding 1"},
        {format::kTypeNested6, ColumnEncoding::Delta, "00", 1, "cannot have encoding 2"},
        {format::kTypeFloat, ColumnEncoding::ConstDelta, "02 00", 1, "missing FE 04 prefix"},
        {format::kTypeFloat, ColumnEncoding::ConstDelta, "FE", 1, "missing FE 04 prefix"},
        {format::kTypeFloat, ColumnEncoding::ConstDelta, "FE 04 02", 1, "ConstDelta payload: truncated"},
        {format::kTypeBool, ColumnEncoding::BitPacked, "01", 9, "one bit per row"},
        {format::kTypeBool, ColumnEncoding::BitPacked, "01 00", 3, "one bit per row"},
        {format::kTypeBool, ColumnEncoding::BitPacked, "09", 3, "padding bits"},
        {format::kTypeText, ColumnEncoding::Plain, "01 61", 3, "fewer bytes than entries"},
        {format::kTypeText, ColumnEncoding::Plain, "05 61 00", 2, "entry longer than the bytes left"},
        {format::kTypeText, ColumnEncoding::Plain, "80", 1, "truncated length"},
        {format::kTypeBytes, ColumnEncoding::Plain, "00 00 00", 2, "left over"},
        {format::kTypeNested7, ColumnEncoding::Plain, "01 00 01 09", 2, "row 1: nested value: unknown tag"},
        {format::kTypeNested8, ColumnEncoding::Plain, "00", 1, "row 0: nested value: empty encoding"},
    };
    for (const BadColumn& c : cases) {
        std::vector<KVal> out;
        Status s = decode_column_cells(c.type_code, c.encoding, from_hex(c.payload), c.rows, out);
        ASSERT_TRUE(s.failed()) << c.payload;
        EXPECT_NE(s.message().find(c.message), std::string::npos) << c.payload << ": " << s.message();
    }
}

TEST(ColumnDecoders, FlagsAndEntries) {
    std::vector<uint8_t> flags;
    ASSERT_TRUE(decode_flags(from_hex("0D 01"), 9, flags).is_ok());
    EXPECT_EQ(flags, (std::vector<uint8_t>{1, 0, 1, 1, 0, 0, 0, 0, 1}));
    ASSERT_TRUE(decode_flags({}, 0, flags).is_ok());
    EXPECT_TRUE(flags.empty());

    const Bytes payload = from_hex("01 61 00 02 62 63");
    std::vector<ByteView> entries;
    ASSERT_TRUE(decode_length_prefixed(payload, 3, entries).is_ok());
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(to_hex(entries[0]), "61");
    EXPECT_TRUE(entries[1].empty());
    EXPECT_EQ(to_hex(entries[2]), "62 63");
    EXPECT_EQ(entries[2].data(), payload.data() + 4);  // views into the payload
}

// The one-pass unpacking into offsets and contiguous bytes accepts exactly
// the payloads decode_length_prefixed accepts, and gives the same entries.
template <class Offset>
void check_unpack(const std::string& hex, size_t rows, size_t empties_expected, bool starts_expected) {
    const Bytes payload = from_hex(hex);
    std::vector<ByteView> entries;
    const bool valid = decode_length_prefixed(payload, rows, entries).is_ok();
    std::vector<Offset> offsets(rows + 1, -1);
    std::vector<uint8_t> data(payload.size() + 16, 0xEE);
    size_t empties = 99;
    bool starts = false;
    const bool ok = unpack_length_prefixed(payload, rows, offsets.data(), data.data(), empties, starts);
    ASSERT_EQ(ok, valid) << hex << " rows " << rows;
    if (!ok) return;
    EXPECT_EQ(empties, empties_expected) << hex;
    EXPECT_EQ(starts, starts_expected) << hex;
    ASSERT_EQ(offsets[0], 0);
    for (size_t i = 0; i < rows; ++i) {
        const ByteView got(data.data() + offsets[i], static_cast<size_t>(offsets[i + 1] - offsets[i]));
        EXPECT_EQ(to_hex(got), to_hex(entries[i])) << hex << " entry " << i;
    }
}

TEST(ColumnDecoders, UnpackingIntoOffsetsMatchesTheEntries) {
    std::string long_entry = "80 01";  // a two-byte length: 128 bytes
    for (int i = 0; i < 128; ++i) long_entry += " 41";
    struct Case {
        std::string hex;
        size_t rows, empties;
        bool starts;  // every non-empty entry starts a UTF-8 character
    };
    const Case cases[] = {
        {"01 61 00 02 62 63", 3, 1, true},
        {"", 0, 0, true},
        {"00 00", 2, 2, true},
        {long_entry + " 01 42", 2, 0, true},
        {"02 a9 41", 1, 0, false},   // starts inside a character
        {"01 61 02 62", 2, 0, true},  // the last entry runs past the end
        {"01 61 00", 3, 0, true},     // one entry short
        {"01 61 00", 1, 0, true},     // bytes left over
        {"80", 1, 0, true},           // a truncated length
        {"ff ff ff ff ff ff ff ff ff ff 01", 1, 0, true},  // a length past any payload
    };
    for (const Case& c : cases) {
        check_unpack<int32_t>(c.hex, c.rows, c.empties, c.starts);
        check_unpack<int64_t>(c.hex, c.rows, c.empties, c.starts);
    }
}


TEST(TypedColumnsThroughWriter, RecordsHoldTheTypedAndEncryptedPayloads) {
    std::array<uint8_t, 32> key{};
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(0xA0 + i);
    const std::vector<KColumn> schema = {
        make_column("id", format::kTypeInt),
        make_encrypted_column("price", format::kTypeFloat, key),
        make_column("ok", format::kTypeBool),
        make_encrypted_column("name", format::kTypeText, key),
        make_column("meta", format::kTypeNested6),
        make_column("blob", format::kTypeBytes),
        make_column("flags0", format::kTypeNone),
    };
    std::mt19937_64 rng(3);
    std::vector<std::vector<Row>> chunks(3);
    for (size_t k = 0; k < chunks.size(); ++k) {
        for (size_t r = 0; r < 40 + 7 * k; ++r) {
            Row row;
            const size_t cells = r % 5 == 0 ? schema.size() - 1 : schema.size();  // some rows are short
            for (size_t c = 0; c < cells; ++c) row.push_back(random_cell(rng));
            chunks[k].push_back(std::move(row));
        }
    }
    const std::string path = ::testing::TempDir() + "typed_columns_" + std::to_string(::getpid()) + ".varn";
    {
        auto w = StreamingVarnWriter::begin(schema, 64, path);
        ASSERT_TRUE(w.is_ok()) << w.message();
        for (const auto& rows : chunks) {
            Status s = w.value()->write_chunk(rows, rows.size());
            ASSERT_TRUE(s.is_ok()) << s.message();
        }
        auto done = w.value()->finish();
        ASSERT_TRUE(done.is_ok()) << done.message();
    }
    std::ifstream in(path, std::ios::binary);
    const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(path.c_str());
    ASSERT_GT(file.size(), 80u);

    // Column records follow the header, the schema block and the dictionary block.
    size_t pos = 64;
    pos += 4 + load_le<uint32_t>(file.data() + pos);
    pos += 8 + static_cast<size_t>(load_le<uint64_t>(file.data() + pos));
    for (size_t k = 0; k < chunks.size(); ++k) {
        for (size_t c = 0; c < schema.size(); ++c) {
            ASSERT_LE(pos + 12, file.size());
            const size_t len = static_cast<size_t>(load_le<uint64_t>(file.data() + pos + 4));
            ASSERT_LE(pos + 12 + len, file.size());
            Bytes stored;
            Status s = decompress_block(ByteView(file.data() + pos + 12, len), stored, 1u << 24);
            ASSERT_TRUE(s.is_ok()) << s.message();
            pos += 12 + len;

            Bytes plain;
            StreamChunkColMeta meta;
            analyze_column(schema[c], chunks[k], c, plain, meta);
            const bool encrypted = c == 1 || c == 3;
            if (encrypted) {
                EXPECT_NE(stored, plain) << "chunk " << k << " column " << c;
            }
            // Decrypts with the key derived from the file's salt; no-op for clear columns.
            KColumn column = schema[c];
            if (encrypted) {
                FileSalt salt{};
                std::copy(file.begin() + 32, file.begin() + 48, salt.begin());
                column.key = file_column_key(column.key, salt).value();
            }
            EXPECT_TRUE(apply_column_encryption(column, k, stored).is_ok());
            ASSERT_EQ(stored, plain) << "chunk " << k << " column " << c;

            std::vector<KVal> cells;
            s = decode_column_cells(schema[c].type_code, static_cast<ColumnEncoding>(meta.encoding), stored,
                                    chunks[k].size(), cells);
            ASSERT_TRUE(s.is_ok()) << s.message();
            for (size_t r = 0; r < cells.size(); ++r) {
                const Row& row = chunks[k][r];
                const KVal cell = c < row.size() ? row[c] : KVal();
                EXPECT_EQ(encode_nested_val(cells[r]), encode_nested_val(expected_cell(schema[c].type_code, cell)))
                    << "chunk " << k << " column " << c << " row " << r;
            }
        }
    }
}

}  // namespace
}  // namespace varn
