// Integer encoders: exact bytes, the size measures the column analysis relies
// on, the encoding choice with its ties, and round trips through the decoders
// over generated lists (extremes, wrapping differences, every bit width).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "format/column/column_decoding.h"
#include "format/column/column_encoding.h"
#include "format/column/integer_encoders.h"
#include "hex.h"

namespace varn {
namespace {

constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

using Encoder = void (*)(std::span<const int64_t>, Bytes&);

Bytes encoded(Encoder encode, std::span<const int64_t> v) {
    Bytes out;
    encode(v, out);
    return out;
}

struct ByteCase {
    const char* name;
    Encoder encode;
    std::vector<int64_t> values;
    const char* expected;
};

TEST(IntegerEncoders, ExactBytes) {
    const ByteCase cases[] = {
        {"rle runs", encode_rle_int, {7, 7, 7, -1}, "02 03 0E 01 01"},
        {"rle empty", encode_rle_int, {}, "00"},
        {"rle long run", encode_rle_int, std::vector<int64_t>(300, 5), "01 AC 02 0A"},
        {"rle extremes", encode_rle_int, {kMin, kMax},
         "02 01 FF FF FF FF FF FF FF FF FF 01 01 FE FF FF FF FF FF FF FF FF 01"},
        {"delta", encode_delta_int, {100, 101, 99}, "C8 01 02 03"},
        {"delta wraps", encode_delta_int, {kMin, kMax}, "FF FF FF FF FF FF FF FF FF 01 01"},
        {"delta empty", encode_delta_int, {}, ""},
        {"for 1 2 4", encode_for, {1, 2, 4}, "02 02 34"},
        {"for equal", encode_for, {5, 5}, "0A 00"},
        {"for bytes", encode_for, {0, 255, 0, 255}, "00 08 00 FF 00 FF"},
        {"for nibbles", encode_for, {10, 11, 12, 13, 14, 15, 16, 17, 18}, "14 04 10 32 54 76 08"},
        {"for empty", encode_for, {}, ""},
        // 33-bit offsets straddle the 64-bit accumulator.
        {"for w33", encode_for, {0, 0x1FFFFFFFF, 0},
         "00 21 00 00 00 00 FE FF FF FF 03 00 00 00 00"},
        // Full range: unsigned difference 2^64 - 1, 64-bit offsets.
        {"for w64", encode_for, {kMin, kMax},
         "FF FF FF FF FF FF FF FF FF 01 40 00 00 00 00 00 00 00 00 FF FF FF FF FF FF FF FF"},
        {"cdelta", encode_cdelta, {3, 5, 7, 9}, "06 04"},
        {"cdelta one", encode_cdelta, {-1}, "01 00"},
        {"cdelta empty", encode_cdelta, {}, "00 00"},
        {"cdelta wraps", encode_cdelta, {kMax, kMin}, "FE FF FF FF FF FF FF FF FF 01 02"},
    };
    for (const ByteCase& c : cases) {
        EXPECT_EQ(to_hex(encoded(c.encode, c.values)), normal_hex(c.expected)) << c.name;
    }
}

TEST(IntegerEncoders, AppendsToExistingBytes) {
    Bytes out = {0xAA};
    const std::vector<int64_t> v = {1, 2, 4};
    encode_for(v, out);
    encode_rle_int(v, out);
    EXPECT_EQ(to_hex(out), "AA 02 02 34 03 01 02 01 04 01 08");
}

// Lists that stress the encoders: extremes, wrapping steps, runs, all widths.
std::vector<std::vector<int64_t>> generated_lists() {
    std::vector<std::vector<int64_t>> lists = {
        {},
        {0},
        {kMin},
        {kMax, kMin},
        {kMin, kMax, kMin, 0, -1, 1, kMax},
        {kMin, 0, kMin, 0, kMin},  // step 2^63 wraps both ways
        {kMax, kMax, kMax},
        {-1, -1, 0, 0, 0, 1},
    };
    std::mt19937_64 rng(12345);
    for (unsigned w = 0; w <= 64; ++w) {
        const uint64_t mask = w == 64 ? ~uint64_t{0} : (uint64_t{1} << w) - 1;
        for (size_t n : {1u, 7u, 8u, 9u, 31u, 100u}) {
            std::vector<int64_t> v;
            const uint64_t base = rng();
            for (size_t i = 0; i < n; ++i) v.push_back(static_cast<int64_t>(base + (rng() & mask)));
            lists.push_back(v);
        }
    }
    for (int k = 0; k < 20; ++k) {  // runs of random lengths
        std::vector<int64_t> v;
        const size_t runs = rng() % 20 + 1;
        for (size_t r = 0; r < runs; ++r) v.insert(v.end(), rng() % 200 + 1, static_cast<int64_t>(rng() % 5) - 2);
        lists.push_back(v);
    }
    return lists;
}

TEST(IntegerEncoders, SizeMeasuresEqualOutputLengths) {
    for (const auto& v : generated_lists()) {
        EXPECT_EQ(rle_int_size(v), encoded(encode_rle_int, v).size());
        EXPECT_EQ(delta_int_size(v), encoded(encode_delta_int, v).size());
        EXPECT_EQ(for_size(v), encoded(encode_for, v).size());
    }
}

void expect_round_trip(ColumnEncoding e, const std::vector<int64_t>& v) {
    Bytes payload;
    encode_int_payload(e, v, payload);
    std::vector<int64_t> back = {42};  // replaced, not appended to
    Status s = decode_int_payload(e, payload, v.size(), back);
    ASSERT_TRUE(s.is_ok()) << s.message();
    EXPECT_EQ(back, v) << "encoding " << static_cast<int>(e) << " of " << v.size() << " values";
}

TEST(IntegerEncoders, RoundTripThroughDecoders) {
    for (const auto& v : generated_lists()) {
        expect_round_trip(ColumnEncoding::Rle, v);
        expect_round_trip(ColumnEncoding::Delta, v);
        expect_round_trip(ColumnEncoding::FrameOfReference, v);
    }
    // ConstDelta stands only for lists with one common (wrapping) step.
    std::mt19937_64 rng(7);
    std::vector<std::vector<int64_t>> steps = {{}, {kMin}, {kMin, 0, kMin, 0}, {kMax, kMin, kMin + 1}};
    for (int k = 0; k < 50; ++k) {
        const uint64_t first = rng(), step = k % 2 ? rng() : rng() % 7;
        std::vector<int64_t> v;
        for (uint64_t i = 0; i < static_cast<uint64_t>(k); ++i) v.push_back(static_cast<int64_t>(first + i * step));
        steps.push_back(v);
    }
    for (const auto& v : steps) expect_round_trip(ColumnEncoding::ConstDelta, v);
}

// The choice rule written out over the real encoder outputs.
ColumnEncoding reference_choice(const std::vector<int64_t>& v) {
    if (v.size() < 3) return ColumnEncoding::ConstDelta;
    bool constant = true;
    for (size_t i = 1; i < v.size(); ++i) {
        constant = constant && static_cast<uint64_t>(v[i]) - static_cast<uint64_t>(v[i - 1]) ==
                                   static_cast<uint64_t>(v[1]) - static_cast<uint64_t>(v[0]);
    }
    if (constant) return ColumnEncoding::ConstDelta;
    const size_t r = encoded(encode_rle_int, v).size(), d = encoded(encode_delta_int, v).size();
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    if (static_cast<uint64_t>(*hi) - static_cast<uint64_t>(*lo) <= 0xFFFFFFFFu) {
        const size_t f = encoded(encode_for, v).size();
        if (f <= r && f <= d) return ColumnEncoding::FrameOfReference;
    }
    return d <= r ? ColumnEncoding::Delta : ColumnEncoding::Rle;
}

struct ChoiceCase {
    const char* name;
    std::vector<int64_t> values;
    ColumnEncoding expected;
};

std::vector<int64_t> repeat_pair(int64_t a, size_t na, int64_t b, size_t nb) {
    std::vector<int64_t> v(na, a);
    v.insert(v.end(), nb, b);
    return v;
}

std::vector<int64_t> alternate(int64_t a, int64_t b, size_t n) {
    std::vector<int64_t> v;
    for (size_t i = 0; i < n; ++i) v.push_back(i % 2 ? b : a);
    return v;
}

TEST(IntegerEncodingChoice, ShortestWithTies) {
    const int64_t b = int64_t{1} << 31;
    const ChoiceCase cases[] = {
        {"one value", {kMax}, ColumnEncoding::ConstDelta},
        {"two values far apart", {0, 5000000000}, ColumnEncoding::ConstDelta},
        {"constant", {5, 5, 5, 5}, ColumnEncoding::ConstDelta},
        {"arithmetic", {1, 2, 3, 4, 5}, ColumnEncoding::ConstDelta},
        {"wrapping step", {kMin, 0, kMin, 0}, ColumnEncoding::ConstDelta},
        // R 7, D 3, F 3: a tie goes to FrameOfReference.
        {"for ties delta", {1, 2, 4}, ColumnEncoding::FrameOfReference},
        // R 5, F 5, D 24: a tie goes to FrameOfReference.
        {"for ties rle", repeat_pair(0, 12, 1, 12), ColumnEncoding::FrameOfReference},
        // R 5, F 27, D 200.
        {"rle wins", repeat_pair(0, 100, 1, 100), ColumnEncoding::Rle},
        // Range above 2^32 - 1; R 11, D 11: a tie goes to Delta.
        {"delta ties rle", {0, 5000000000, 1}, ColumnEncoding::Delta},
        {"delta wins", {0, 5000000000, 10000000000, 10000000007}, ColumnEncoding::Delta},
        // Range exactly 2^32 - 1 is eligible (F 38, D 40, R 49); one more is not.
        {"for at the range limit", alternate(b, b + 0xFFFFFFFF, 8), ColumnEncoding::FrameOfReference},
        {"for past the range limit", alternate(b, b + 0x100000000, 8), ColumnEncoding::Delta},
    };
    for (const ChoiceCase& c : cases) {
        EXPECT_EQ(choose_int_encoding(c.values), c.expected) << c.name;
        EXPECT_EQ(reference_choice(c.values), c.expected) << c.name << " (reference)";
    }
    // The lengths the cases above are built on.
    const auto zeros_ones = repeat_pair(0, 100, 1, 100);
    EXPECT_EQ(encoded(encode_rle_int, zeros_ones).size(), 5u);
    EXPECT_EQ(encoded(encode_for, zeros_ones).size(), 27u);
    EXPECT_EQ(encoded(encode_delta_int, zeros_ones).size(), 200u);
    const auto at_limit = alternate(b, b + 0xFFFFFFFF, 8);
    EXPECT_EQ(encoded(encode_for, at_limit).size(), 38u);
    EXPECT_EQ(encoded(encode_delta_int, at_limit).size(), 40u);
}

TEST(IntegerEncodingChoice, AgreesWithFullEncodingsOnGeneratedLists) {
    std::mt19937_64 rng(99);
    auto lists = generated_lists();
    for (int k = 0; k < 300; ++k) {  // small alphabets make ties frequent
        std::vector<int64_t> v(rng() % 40 + 3);
        const uint64_t spread = uint64_t{1} << (rng() % 64);
        for (auto& x : v) x = static_cast<int64_t>(rng() % 3 == 0 ? rng() % spread : rng() % 4);
        lists.push_back(v);
    }
    for (const auto& v : lists) EXPECT_EQ(choose_int_encoding(v), reference_choice(v));
}

struct BadPayload {
    ColumnEncoding encoding;
    const char* payload;
    size_t rows;
    const char* message;
};

TEST(IntegerDecoders, RejectMalformedPayloads) {
    const BadPayload cases[] = {
        {ColumnEncoding::Rle, "", 0, "truncated run count"},
        {ColumnEncoding::Rle, "02 03 0E", 4, "truncated run"},
        {ColumnEncoding::Rle, "FF FF FF FF 0F", 1, "truncated run"},
        {ColumnEncoding::Rle, "01 05 02", 4, "more values than the row count"},
        {ColumnEncoding::Rle, "01 03 02", 4, "fewer values than the row count"},
        {ColumnEncoding::Rle, "01 04 02 00", 4, "left over"},
        {ColumnEncoding::Rle, "01 00 02", 0, "run of length 0"},
        {ColumnEncoding::Rle, "01 FF FF FF FF FF FF FF FF FF 01 02", 3, "more values"},
        {ColumnEncoding::Rle, "80 80 80 80 80 80 80 80 80 80 01", 0, "truncated run count"},
        {ColumnEncoding::Delta, "02", 2, "fewer bytes than values"},
        {ColumnEncoding::Delta, "80 80", 2, "truncated value"},
        {ColumnEncoding::Delta, "02 02 02", 2, "left over"},
        {ColumnEncoding::Delta, "00", 0, "left over"},
        {ColumnEncoding::FrameOfReference, "00", 0, "bytes for zero rows"},
        {ColumnEncoding::FrameOfReference, "00", 1, "truncated header"},
        {ColumnEncoding::FrameOfReference, "00 41 00", 1, "bit width above 64"},
        {ColumnEncoding::FrameOfReference, "00 00 01", 1, "packed bytes with bit width 0"},
        {ColumnEncoding::FrameOfReference, "00 08 01", 2, "does not match the row count"},
        {ColumnEncoding::FrameOfReference, "00 08 01 02 03", 2, "does not match the row count"},
        {ColumnEncoding::FrameOfReference, "00 01 FF", 1, "padding bits are not zero"},
        {ColumnEncoding::FrameOfReference, "00 05 00 00 00 00 00 00 00 00 00 00 00 00 10", 20,
         "padding bits are not zero"},
        {ColumnEncoding::FrameOfReference, "00 40", SIZE_MAX, "row count too large"},
        {ColumnEncoding::ConstDelta, "02", 3, "truncated"},
        {ColumnEncoding::ConstDelta, "02 02 00", 3, "left over"},
        {ColumnEncoding::Plain, "00", 1, "not an integer encoding"},
        {ColumnEncoding::BitPacked, "00", 1, "not an integer encoding"},
    };
    for (const BadPayload& c : cases) {
        std::vector<int64_t> out;
        const Bytes p = from_hex(c.payload);
        Status s = decode_int_payload(c.encoding, p, c.rows, out);
        ASSERT_TRUE(s.failed()) << c.payload;
        EXPECT_NE(s.message().find(c.message), std::string::npos) << c.payload << ": " << s.message();
    }
}

TEST(IntegerDecoders, ColumnEncodingIds) {
    for (unsigned id = 0; id < 256; ++id) {
        auto r = column_encoding_from_id(static_cast<uint8_t>(id));
        const bool known = id == 0 || id == 1 || id == 2 || id == 4 || id == 6 || id == 7;
        EXPECT_EQ(r.is_ok(), known) << id;
        if (known) {
            EXPECT_EQ(static_cast<unsigned>(r.value()), id);
        }
    }
}

}  // namespace
}  // namespace varn
