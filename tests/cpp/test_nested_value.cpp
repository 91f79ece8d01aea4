// Nested values and KVal itself: exact encodings of every variant, round trips
// through the decoder over generated trees, malformed encodings, and values
// nested a million levels deep (copy, encode, decode and release must not
// touch the stack once per level).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "format/column/kval.h"
#include "format/column/nested_value.h"
#include "hex.h"

namespace varn {
namespace {

KVal arr(std::vector<KVal> xs) { return KVal::make_array(std::move(xs)); }
KVal obj(std::vector<std::pair<std::string, KVal>> xs) { return KVal::make_object(std::move(xs)); }
KVal map(std::vector<std::pair<KVal, KVal>> xs) { return KVal::make_map(std::move(xs)); }

struct EncodingCase {
    const char* name;
    KVal value;
    const char* expected;
};

TEST(NestedValue, ExactEncodings) {
    const double nan_bits_value = [] {
        uint64_t bits = 0x7FF8000000000123ULL;  // a NaN with a payload keeps its bits
        double d;
        std::memcpy(&d, &bits, 8);
        return d;
    }();
    const EncodingCase cases[] = {
        {"null", KVal::make_null(), "00"},
        {"int -1", KVal::make_int(-1), "01 01"},
        {"int 64", KVal::make_int(64), "01 80 01"},
        {"int min", KVal::make_int(std::numeric_limits<int64_t>::min()), "01 FF FF FF FF FF FF FF FF FF 01"},
        {"bool true", KVal::make_bool(true), "04 01"},
        {"bool false", KVal::make_bool(false), "04 00"},
        {"float 1.0", KVal::make_float(1.0), "02 00 00 00 00 00 00 F0 3F"},
        {"float -0.0", KVal::make_float(-0.0), "02 00 00 00 00 00 00 00 80"},
        {"float nan", KVal::make_float(nan_bits_value), "02 23 01 00 00 00 00 F8 7F"},
        {"str a", KVal::make_str("a"), "03 01 61"},
        {"str empty", KVal::make_str(""), "03 00"},
        {"bytes empty", KVal::make_bytes({}), "05 00"},
        {"bytes", KVal::make_bytes({0x00, 0xFF}), "05 02 00 FF"},
        {"array", arr({KVal::make_int(1), KVal::make_str("a")}), "07 02 02 01 02 03 03 01 61"},
        {"object", obj({{"k", KVal::make_null()}}), "06 01 01 6B 01 00"},
        {"map", map({{KVal::make_int(1), KVal::make_bool(true)}}), "08 01 02 01 02 02 04 01"},
        {"empty array", arr({}), "07 00"},
        {"empty object", obj({}), "06 00"},
        {"empty map", map({}), "08 00"},
        // Duplicate keys stay, in order; map keys are full values.
        {"object duplicates", obj({{"k", KVal::make_int(1)}, {"k", KVal::make_int(2)}}),
         "06 02 01 6B 02 01 02 01 6B 02 01 04"},
        {"map container key", map({{arr({KVal::make_null()}), obj({})}}), "08 01 04 07 01 01 00 02 06 00"},
        {"nested arrays", arr({arr({arr({})})}), "07 01 05 07 01 02 07 00"},
    };
    for (const EncodingCase& c : cases) {
        EXPECT_EQ(to_hex(encode_nested_val(c.value)), normal_hex(c.expected)) << c.name;
        KVal back;
        Status s = decode_nested_val(from_hex(c.expected), back);
        ASSERT_TRUE(s.is_ok()) << c.name << ": " << s.message();
        EXPECT_EQ(to_hex(encode_nested_val(back)), normal_hex(c.expected)) << c.name;
    }
}

TEST(NestedValue, LongMemberNeedsTwoByteLength) {
    KVal a = arr({KVal::make_str(std::string(200, 'x'))});
    Bytes e = encode_nested_val(a);
    // 07 01, length 202 as CB 01, then 03 C8 01 and the text.
    ASSERT_EQ(e.size(), 2u + 2u + 3u + 200u);
    EXPECT_EQ(to_hex(Bytes(e.begin(), e.begin() + 7)), "07 01 CB 01 03 C8 01");
}

TEST(NestedValue, LengthPrefixedEntriesAppend) {
    NestedValueEncoder enc;
    Bytes out = {0xAA};
    enc.encode(KVal::make_null(), out, true);
    enc.encode(arr({KVal::make_int(1)}), out, true);
    enc.encode(KVal::make_int(64), out, false);
    EXPECT_EQ(to_hex(out), "AA 01 00 05 07 01 02 01 02 01 80 01");
}

KVal random_tree(std::mt19937_64& rng, int depth) {
    const int pick = static_cast<int>(rng() % (depth > 0 ? 9 : 6));
    switch (pick) {
        case 0: return KVal::make_int(static_cast<int64_t>(rng()));
        case 1: return KVal::make_float(std::ldexp(static_cast<double>(rng() % 1000) - 500, static_cast<int>(rng() % 40) - 20));
        case 2: return KVal::make_bool(rng() % 2 == 1);
        case 3: return KVal::make_str(std::string(rng() % 150, static_cast<char>('a' + rng() % 26)));
        case 4: return KVal::make_bytes(Bytes(rng() % 5, static_cast<uint8_t>(rng())));
        case 5: return KVal::make_null();
        default: break;
    }
    const size_t n = rng() % 5;
    if (pick == 6) {
        KVal::ObjectT o;
        for (size_t i = 0; i < n; ++i) o.emplace_back(std::string(rng() % 3, 'k'), random_tree(rng, depth - 1));
        return KVal::make_object(std::move(o));
    }
    if (pick == 7) {
        KVal::ArrayT a;
        for (size_t i = 0; i < n; ++i) a.push_back(random_tree(rng, depth - 1));
        return KVal::make_array(std::move(a));
    }
    KVal::MapT m;
    for (size_t i = 0; i < n; ++i) m.emplace_back(random_tree(rng, depth - 1), random_tree(rng, depth - 1));
    return KVal::make_map(std::move(m));
}

TEST(NestedValue, RoundTripAndDeepCopyOfGeneratedTrees) {
    std::mt19937_64 rng(2024);
    for (int k = 0; k < 300; ++k) {
        KVal x = random_tree(rng, 6);
        const Bytes e = encode_nested_val(x);
        KVal back;
        Status s = decode_nested_val(e, back);
        ASSERT_TRUE(s.is_ok()) << s.message();
        EXPECT_EQ(encode_nested_val(back), e);

        KVal copy(x);
        KVal assigned;
        assigned = x;
        EXPECT_EQ(encode_nested_val(copy), e);
        EXPECT_EQ(encode_nested_val(assigned), e);
        // The copy owns its tree: changing it leaves the original as it was.
        if (copy.kind() == KVal::Kind::Array && copy.member_count() > 0) {
            std::get<KVal::ArrayT>(copy.v)[0] = KVal::make_str("changed");
            EXPECT_EQ(encode_nested_val(x), e);
        }
    }
}

TEST(KValTest, AssigningAValueItsOwnMember) {
    KVal x = arr({arr({KVal::make_int(7), KVal::make_str("s")}), KVal::make_null()});
    KVal& inner = std::get<KVal::ArrayT>(x.v)[0];
    x = std::move(inner);  // the old tree holds the source
    EXPECT_EQ(to_hex(encode_nested_val(x)), "07 02 02 01 0E 03 03 01 73");
    KVal y = arr({arr({KVal::make_int(1)})});
    y = std::get<KVal::ArrayT>(y.v)[0];  // copy-assign from a member
    EXPECT_EQ(to_hex(encode_nested_val(y)), "07 01 02 01 02");
    const KVal& alias = y;
    y = alias;  // self-assignment keeps the value
    EXPECT_EQ(to_hex(encode_nested_val(y)), "07 01 02 01 02");
}

// A chain of `depth` containers around an Int, alternating Array, Object and Map.
KVal deep_chain(size_t depth) {
    KVal cur = KVal::make_int(5);
    for (size_t i = 0; i < depth; ++i) {
        switch (i % 3) {
            case 0: {
                KVal::ArrayT a;
                a.push_back(std::move(cur));
                cur = KVal::make_array(std::move(a));
                break;
            }
            case 1: {
                KVal::ObjectT o;
                o.emplace_back("k", std::move(cur));
                cur = KVal::make_object(std::move(o));
                break;
            }
            default: {
                KVal::MapT m;
                m.emplace_back(std::move(cur), KVal::make_null());
                cur = KVal::make_map(std::move(m));
                break;
            }
        }
    }
    return cur;
}

TEST(NestedValue, MillionLevelsDeep) {
    constexpr size_t kDepth = 1000000;
    KVal deep = deep_chain(kDepth);
    KVal copy(deep);  // iterative copy
    const Bytes e = encode_nested_val(copy);
    // Each level adds at least its tag, count and member length; the
    // outermost level is a one-element Array.
    ASSERT_GT(e.size(), 3 * kDepth);
    EXPECT_EQ(to_hex(Bytes(e.begin(), e.begin() + 2)), "07 01");
    KVal back;
    Status s = decode_nested_val(e, back);
    ASSERT_TRUE(s.is_ok()) << s.message();
    EXPECT_EQ(encode_nested_val(back), e);
    deep = KVal::make_null();  // releases the original iteratively
    copy = back;               // copy-assign releases the old copy, copies the decoded tree
    EXPECT_EQ(encode_nested_val(copy), e);
}  // the remaining deep trees are destroyed here

TEST(NestedValue, WideContainers) {
    KVal::ArrayT a(200000, KVal::make_int(-1));
    a.push_back(arr(KVal::ArrayT(1000, KVal::make_null())));
    KVal wide = KVal::make_array(std::move(a));
    const Bytes e = encode_nested_val(wide);
    KVal back;
    ASSERT_TRUE(decode_nested_val(e, back).is_ok());
    EXPECT_EQ(back.member_count(), 200001u);
    EXPECT_EQ(encode_nested_val(back), e);
}

struct BadEncoding {
    const char* bytes;
    const char* message;
};

TEST(NestedValue, RejectsMalformedEncodings) {
    const BadEncoding cases[] = {
        {"", "empty encoding"},
        {"09", "unknown tag"},
        {"FF", "unknown tag"},
        {"00 00", "left over"},
        {"01", "truncated or oversized Int"},
        {"01 80", "truncated or oversized Int"},
        {"01 FF FF FF FF FF FF FF FF FF 7F", "truncated or oversized Int"},
        {"02 00 00 00 00 00 00 F0", "truncated Float"},
        {"03 05 61", "truncated Str"},
        {"05 01", "truncated Bytes"},
        {"04", "truncated Bool"},
        {"04 02", "Bool byte"},
        {"07", "truncated member count"},
        {"07 05 01 00", "member count exceeds its bytes"},
        {"07 FF FF FF FF FF FF FF FF FF 01", "member count exceeds its bytes"},
        {"07 01 00 00", "empty encoding"},
        {"07 01 03 00 00", "member length exceeds its container"},
        {"07 01 02 00 00", "left over after a value"},
        {"07 01 01 00 00", "left over after the last member"},
        {"06 01 05 6B 01 00", "truncated Object key"},
        {"08 01 01 00 01 09", "unknown tag"},
        {"07 01 03 07 01 01", "member count exceeds its bytes"},
    };
    for (const BadEncoding& c : cases) {
        KVal out = KVal::make_str("untouched");
        Status s = decode_nested_val(from_hex(c.bytes), out);
        ASSERT_TRUE(s.failed()) << c.bytes;
        EXPECT_NE(s.message().find(c.message), std::string::npos) << c.bytes << ": " << s.message();
        EXPECT_EQ(to_hex(encode_nested_val(out)), "03 09 75 6E 74 6F 75 63 68 65 64") << c.bytes;
    }
}

TEST(NestedValue, RejectsATruncatedDeepValue) {
    Bytes e = encode_nested_val(deep_chain(100000));
    e.pop_back();
    KVal out;
    EXPECT_TRUE(decode_nested_val(e, out).failed());
}

}  // namespace
}  // namespace varn
