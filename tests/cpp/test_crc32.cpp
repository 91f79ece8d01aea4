// CRC-32 of records: equal to zlib's for every length from 0 to 300 at
// every alignment, on long inputs, and when continued over split parts.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <vector>

#include "format/file/crc32.h"

namespace varn {
namespace {

uint32_t zlib_crc(const uint8_t* p, size_t n, uint32_t crc = 0) {
    return static_cast<uint32_t>(::crc32_z(crc, p, n));
}

TEST(Crc32, EqualsZlib) {
    std::mt19937_64 rng(11);
    std::vector<uint8_t> buf(1 << 20);
    for (auto& b : buf) b = static_cast<uint8_t>(rng());
    for (size_t start = 0; start < 16; ++start)
        for (size_t n = 0; n <= 300; ++n)
            ASSERT_EQ(crc32(buf.data() + start, n), zlib_crc(buf.data() + start, n)) << start << " " << n;
    for (size_t n : {size_t{1023}, size_t{4096}, size_t{65536 + 7}, buf.size() - 3})
        EXPECT_EQ(crc32(buf.data() + 3, n), zlib_crc(buf.data() + 3, n)) << n;
    // Constant inputs, where a wrong fold constant would cancel out least.
    for (uint8_t v : {uint8_t{0}, uint8_t{0xFF}}) {
        std::vector<uint8_t> same(5000, v);
        EXPECT_EQ(crc32(same.data(), same.size()), zlib_crc(same.data(), same.size()));
    }
}

TEST(Crc32, ContinuesFromAPreviousValue) {
    std::mt19937_64 rng(12);
    std::vector<uint8_t> buf(100000);
    for (auto& b : buf) b = static_cast<uint8_t>(rng());
    const uint32_t whole = zlib_crc(buf.data(), buf.size());
    for (size_t cut : {size_t{0}, size_t{1}, size_t{130}, size_t{4097}, size_t{99999}}) {
        const uint32_t first = crc32(buf.data(), cut);
        EXPECT_EQ(crc32(buf.data() + cut, buf.size() - cut, first), whole) << cut;
        EXPECT_EQ(crc32(buf.data() + cut, buf.size() - cut, 0x12345678u),
                  zlib_crc(buf.data() + cut, buf.size() - cut, 0x12345678u));
    }
}

}  // namespace
}  // namespace varn
