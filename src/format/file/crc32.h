// CRC-32 (the polynomial and conventions of zlib's crc32) of the records'
// blocks. On x86-64 processors with carry-less multiplication the bulk is
// folded 64 bytes at a time with PCLMULQDQ, chosen once at run time;
// elsewhere, and for the last bytes, zlib's crc32 does the work.
#pragma once

#include <cstddef>
#include <cstdint>

namespace varn {

// The CRC-32 of p[0..n) continued from `crc` (0 to start), as
// crc32_z(crc, p, n) gives it.
uint32_t crc32(const uint8_t* p, size_t n, uint32_t crc = 0);

// The same, always through zlib (for tests and comparisons).
uint32_t crc32_portable(const uint8_t* p, size_t n, uint32_t crc = 0);

}  // namespace varn
