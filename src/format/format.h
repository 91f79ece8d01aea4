// Constants the VARN v2 file format fixes. One place, so the writer, the
// reader and the tools agree byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace varn::format {

inline constexpr uint8_t kMagic[4] = {'V', 'A', 'R', 'N'};
inline constexpr uint16_t kVersion = 2;
inline constexpr size_t kHeaderSize = 64;         // magic .. reserved
inline constexpr size_t kTotalsOffset = 8;        // u64 total rows, u32 chunk count
inline constexpr size_t kSchemaLengthOffset = 64;  // u32 S, then the schema block
inline constexpr size_t kTrailerSize = 16;        // u64 index length, u64 index offset
inline constexpr size_t kRecordPrefixSize = 12;   // u32 CRC-32, u64 block length
inline constexpr size_t kBloomWords = 64;         // 4096-bit filter
inline constexpr size_t kBloomBits = kBloomWords * 64;
inline constexpr size_t kMaxColumns = 65535;      // the header stores the count in 16 bits
inline constexpr uint64_t kChunkRows = 65536;     // rows per batch of the CSV converter
inline constexpr size_t kWriteBuffer = 4u << 20;  // bytes the writer gathers before a write

// Column type codes (the schema's type byte).
enum TypeCode : uint8_t {
    kTypeNone = 0,
    kTypeInt = 1,
    kTypeFloat = 2,
    kTypeBool = 3,
    kTypeText = 4,
    kTypeBytes = 5,
    kTypeNested6 = 6,
    kTypeNested7 = 7,
    kTypeNested8 = 8,
};

inline constexpr uint8_t kFlagEncrypt = 0x01;

}  // namespace varn::format
