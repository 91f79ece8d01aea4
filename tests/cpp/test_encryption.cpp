// Column encryption: the block cipher against published AES-256 vectors, the
// nonce and counter-block derivation against values worked out by hand, and
// whole payloads against a reference counter-mode encryption of the same
// counter blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "format/file/encryption.h"
#include "hex.h"

namespace varn {
namespace {

template <size_t N>
std::array<uint8_t, N> arr(const std::string& h) {
    Bytes b = from_hex(h);
    std::array<uint8_t, N> a{};
    EXPECT_EQ(b.size(), N);
    std::copy(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(std::min(N, b.size())), a.begin());
    return a;
}

std::array<uint8_t, 32> key_0_to_31() {
    std::array<uint8_t, 32> k{};
    for (size_t i = 0; i < 32; ++i) k[i] = static_cast<uint8_t>(i);
    return k;
}

ByteView name_bytes(const std::string& s) { return as_bytes(s.data(), s.size()); }

// The keystream block of counter block `prefix || BE32(index)`.
Bytes keystream(const std::array<uint8_t, 32>& key, const std::array<uint8_t, 12>& prefix,
                uint32_t index, size_t len = 16) {
    Bytes zeros(len, 0);
    EXPECT_TRUE(aes256_ctr_xor(key, prefix, index, zeros.data(), zeros.size()).is_ok());
    return zeros;
}

// RFC 5869, test case 1, and the file key: HKDF with the fixed info text,
// the given key unchanged for a zero salt.
TEST(Encryption, HkdfKnownAnswerAndFileKeys) {
    auto okm = hkdf_sha256(as_bytes(from_hex("0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b")),
                           as_bytes(from_hex("000102030405060708090a0b0c")),
                           as_bytes(from_hex("f0f1f2f3f4f5f6f7f8f9")), 42);
    ASSERT_TRUE(okm.is_ok()) << okm.message();
    EXPECT_EQ(to_hex(as_bytes(okm.value())),
              normal_hex("3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"));
    const auto key = key_0_to_31();
    FileSalt salt{};
    auto same = file_column_key(key, salt);
    ASSERT_TRUE(same.is_ok());
    EXPECT_EQ(same.value(), key);
    salt[0] = 1;
    const std::string info = "VARN v2 column encryption";
    auto want = hkdf_sha256(as_bytes(key.data(), key.size()), as_bytes(salt.data(), salt.size()),
                            name_bytes(info), 32);
    auto derived = file_column_key(key, salt);
    ASSERT_TRUE(want.is_ok() && derived.is_ok());
    EXPECT_EQ(Bytes(derived.value().begin(), derived.value().end()), want.value());
    auto a = random_file_salt(), b = random_file_salt();
    ASSERT_TRUE(a.is_ok() && b.is_ok());
    EXPECT_NE(a.value(), b.value());
}

TEST(Encryption, BlockCipherKnownAnswers) {
    // Encrypting zeros in counter mode gives AES-256 of the counter block, so a
    // counter block equal to a published plaintext yields its ciphertext.
    struct Vector {
        const char* source;
        const char* key;
        const char* plaintext;
        const char* ciphertext;
    };
    const Vector vectors[] = {
        {"FIPS-197 C.3", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
         "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
        {"SP 800-38A F.1.5", "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
         "6bc1bee22e409f96e93d7e117393172a", "f3eed1bdb5d2a03c064b5a7e3db181f8"},
    };
    for (const Vector& v : vectors) {
        const Bytes pt = from_hex(v.plaintext);
        std::array<uint8_t, 12> prefix{};
        std::copy(pt.begin(), pt.begin() + 12, prefix.begin());
        const uint32_t index = static_cast<uint32_t>(pt[12]) << 24 | static_cast<uint32_t>(pt[13]) << 16 |
                               static_cast<uint32_t>(pt[14]) << 8 | pt[15];
        EXPECT_EQ(to_hex(keystream(arr<32>(v.key), prefix, index)), normal_hex(v.ciphertext)) << v.source;
    }
}

TEST(Encryption, CounterModeKnownAnswer) {
    // SP 800-38A F.5.5 (CTR-AES256.Encrypt): the counter's last four bytes
    // count up big-endian from fcfdfeff, across a byte carry.
    Bytes data = from_hex(
        "6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51"
        "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710");
    ASSERT_TRUE(aes256_ctr_xor(arr<32>("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4"),
                               arr<12>("f0f1f2f3f4f5f6f7f8f9fafb"), 0xfcfdfeff, data.data(), data.size())
                    .is_ok());
    EXPECT_EQ(to_hex(data),
              normal_hex("601ec313775789a5b7a7f504bbf3d228f443e3ca4d62b59aca84e990cacaf5c5"
                         "2b0930daa23de94ce87017ba2d84988ddfc9c58db67aada613c2dd08457941a6"));
}

TEST(Encryption, NonceAndCounterBlocks) {
    struct Case {
        const char* name;
        uint64_t chunk;
        uint64_t fnv;
        uint64_t nonce;
        const char* prefix;
    };
    // FNV-1a 64 of "a" is the published 0xaf63dc4c8601ec8c; the empty name
    // leaves the offset basis. Nonce = (fnv ^ chunk) * 0x100000001b3; bytes
    // 8-11 are the low 32 bits of nonce * 0x517cc1b727220a95, little-endian.
    const Case cases[] = {
        {"a", 0, 0xaf63dc4c8601ec8cULL, 0x089be207b544f1e4ULL, "e4f144b507e29b08b4b1db0e"},
        {"", 0, 0xcbf29ce484222325ULL, 0xaf63bd4c8601b7dfULL, "dfb701864cbd63afcbbacc74"},
        {"price", 0, 0x2f1887248c8bc0eaULL, 0x926e8d1ad178cd9eULL, "9ecd78d11a8d6e92f6d85304"},
        {"price", 1, 0x2f1887248c8bc0eaULL, 0x926e8e1ad178cf51ULL, "51cf78d11a8e6e9225d42b83"},
        {"price", 7, 0x2f1887248c8bc0eaULL, 0x926e901ad178d2b7ULL, "b7d278d11a906e9283cadb80"},
    };
    for (const Case& c : cases) {
        const std::string name = c.name;
        EXPECT_EQ(fnv1a64(name_bytes(name)), c.fnv) << name;
        EXPECT_EQ(column_nonce(name_bytes(name), c.chunk), c.nonce) << name << " " << c.chunk;
        const auto prefix = counter_prefix(c.nonce);
        EXPECT_EQ(to_hex(ByteView(prefix.data(), prefix.size())), normal_hex(c.prefix)) << name << " " << c.chunk;
    }
}

KColumn encrypted_column(const std::string& name, std::array<uint8_t, 32> key) {
    return make_encrypted_column(name, format::kTypeText, key);
}

TEST(Encryption, SeventeenBytePayloadUsesTwoCounterBlocks) {
    // Reference: AES-256-CTR of bytes 00..10 under key 00..1f with the initial
    // counter block 9ecd78d11a8d6e92f6d85304 00000000 ("price", chunk 0) and
    // 51cf78d11a8e6e9225d42b83 00000000 (chunk 1), from an independent tool.
    struct Case {
        uint64_t chunk;
        const char* prefix;
        const char* expected;
    };
    const Case cases[] = {
        {0, "9ecd78d11a8d6e92f6d85304", "8c93cf501a9cea9c8f3ddcc1e0298119c5"},
        {1, "51cf78d11a8e6e9225d42b83", "44a4b600e48dc3b738c18d8b6e7d03e4b5"},
    };
    const KColumn column = encrypted_column("price", key_0_to_31());
    for (const Case& c : cases) {
        Bytes payload;
        for (uint8_t i = 0; i < 17; ++i) payload.push_back(i);
        EXPECT_TRUE(apply_column_encryption(column, c.chunk, payload).is_ok());
        EXPECT_EQ(to_hex(payload), normal_hex(c.expected));
        // Byte 16 takes the first byte of counter block 1.
        const Bytes block1 = keystream(column.key, arr<12>(c.prefix), 1);
        EXPECT_EQ(payload[16], static_cast<uint8_t>(16 ^ block1[0]));
    }
}

TEST(Encryption, NothingChangesWithoutFlagOrKey) {
    const Bytes original = from_hex("00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10");
    KColumn zero_key = encrypted_column("price", {});
    KColumn no_flag = encrypted_column("price", key_0_to_31());
    no_flag.flags = 0;
    for (const KColumn& c : {zero_key, no_flag}) {
        for (uint64_t chunk : {0u, 5u}) {
            Bytes payload = original;
            EXPECT_TRUE(apply_column_encryption(c, chunk, payload).is_ok());
            EXPECT_EQ(payload, original);
        }
    }
    Bytes empty;
    EXPECT_TRUE(apply_column_encryption(encrypted_column("price", key_0_to_31()), 0, empty).is_ok());
    EXPECT_TRUE(empty.empty());
}

TEST(Encryption, KeystreamDependsOnNameAndChunkOnly) {
    const auto key = key_0_to_31();
    const Bytes zeros(40, 0);
    auto stream = [&](const std::string& name, uint64_t chunk, std::array<uint8_t, 32> k) {
        Bytes p = zeros;
        EXPECT_TRUE(apply_column_encryption(encrypted_column(name, k), chunk, p).is_ok());
        return p;
    };
    EXPECT_EQ(stream("a", 3, key), stream("a", 3, key));  // same name, key, chunk
    EXPECT_NE(stream("a", 3, key), stream("a", 4, key));
    EXPECT_NE(stream("a", 3, key), stream("b", 3, key));
    auto other = key;
    other[31] ^= 1;
    EXPECT_NE(stream("a", 3, key), stream("a", 3, other));
    // The chunk index is widened, not cut: chunk 2^32 differs from chunk 0.
    EXPECT_NE(stream("a", 0, key), stream("a", uint64_t{1} << 32, key));
}

TEST(Encryption, LongPayloadMatchesBlockByBlockAndDecrypts) {
    // 5000 bytes span more than one batch of counter blocks inside the cipher call.
    const KColumn column = encrypted_column("col", key_0_to_31());
    Bytes payload(5000);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
    const Bytes original = payload;
    EXPECT_TRUE(apply_column_encryption(column, 9, payload).is_ok());
    const auto prefix = counter_prefix(column_nonce(name_bytes(column.name), 9));
    for (size_t i = 0; i < payload.size(); i += 16) {
        const size_t n = std::min<size_t>(16, payload.size() - i);
        const Bytes ks = keystream(column.key, prefix, static_cast<uint32_t>(i / 16), n);
        for (size_t k = 0; k < n; ++k) {
            ASSERT_EQ(payload[i + k], static_cast<uint8_t>(original[i + k] ^ ks[k])) << "byte " << i + k;
        }
    }
    EXPECT_TRUE(apply_column_encryption(column, 9, payload).is_ok());  // counter mode is its own inverse
    EXPECT_EQ(payload, original);
}

TEST(Encryption, BlockIndexWrapsAt32Bits) {
    const auto key = key_0_to_31();
    const auto prefix = arr<12>("000000000000000000000000");
    const Bytes two = keystream(key, prefix, 0xffffffff, 32);
    EXPECT_EQ(Bytes(two.begin() + 16, two.end()), keystream(key, prefix, 0));
}

}  // namespace
}  // namespace varn
