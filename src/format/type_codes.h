// The column type codes in one table: for each schema type byte, how its
// cells are stored (kind), which column encodings a file may give it, what
// the index keeps for it and the name tools show. Every reader, writer and
// tool asks this table instead of switching on the codes itself.
//
//   code   name   kind    encodings                         index keeps
//   0      none   flags   plain                             null count
//   1      int    int     rle, delta, const-delta, FoR      integer min/max
//   2      float  float   rle, delta, const-delta, FoR      integer min/max
//   3      bool   flags   bit-packed                        integer min/max
//   4      text   text    plain (length-prefixed entries)   text min/max, Bloom
//   5      bytes  bytes   plain (length-prefixed entries)   -
//   6-8    json   nested  plain (length-prefixed entries)   -
//   9-255  bytes  bytes   plain (length-prefixed entries)   -
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "format/format.h"

namespace varn::format {

// How the cells of a type are stored: flags (one bit or byte per row),
// scaled integers, or length-prefixed entries (text, bytes, nested values).
enum class ColumnKind : uint8_t { Flags, Int, Float, Text, Bytes, Nested };

// Encoding ids (the statistics record's encoding byte) as mask bits.
inline constexpr uint8_t kEncodingPlain = 1u << 0;
inline constexpr uint8_t kEncodingBitPacked = 1u << 4;
inline constexpr uint8_t kEncodingsInteger = 1u << 1 | 1u << 2 | 1u << 6 | 1u << 7;

struct TypeInfo {
    ColumnKind kind;
    const char* name;    // none, int, float, bool, text, bytes, json
    uint8_t encodings;   // mask: bit e set when encoding id e is allowed
    bool int_range;      // the index keeps an integer minimum and maximum
    bool text_range;     // the index keeps a text minimum, maximum and Bloom filter
};

constexpr TypeInfo type_info(uint8_t code) {
    switch (code) {
        case kTypeNone: return {ColumnKind::Flags, "none", kEncodingPlain, false, false};
        case kTypeInt: return {ColumnKind::Int, "int", kEncodingsInteger, true, false};
        case kTypeFloat: return {ColumnKind::Float, "float", kEncodingsInteger, true, false};
        case kTypeBool: return {ColumnKind::Flags, "bool", kEncodingBitPacked, true, false};
        case kTypeText: return {ColumnKind::Text, "text", kEncodingPlain, false, true};
        case kTypeNested6:
        case kTypeNested7:
        case kTypeNested8: return {ColumnKind::Nested, "json", kEncodingPlain, false, false};
        default: return {ColumnKind::Bytes, "bytes", kEncodingPlain, false, false};  // 5, 9-255
    }
}

constexpr ColumnKind kind_of(uint8_t code) { return type_info(code).kind; }

// Whether a column of type `code` may be stored with encoding id `encoding`.
constexpr bool encoding_allowed(uint8_t code, uint8_t encoding) {
    return encoding < 8 && (type_info(code).encodings >> encoding & 1) != 0;
}

// Cells held as length-prefixed entries: text, bytes and nested values.
constexpr bool holds_entries(uint8_t code) {
    const ColumnKind k = kind_of(code);
    return k == ColumnKind::Text || k == ColumnKind::Bytes || k == ColumnKind::Nested;
}

// The type code a declaration names (int, float, bool, text, bytes, json);
// "none" names no declarable type.
constexpr std::optional<uint8_t> type_code_from_name(std::string_view name) {
    for (uint8_t code = kTypeInt; code <= kTypeNested6; ++code) {
        if (name == type_info(code).name) return code;
    }
    return std::nullopt;
}

}  // namespace varn::format
