// Nested value encoding: one KVal of any variant and any depth as a tag byte
// followed by the variant's payload, every member of a container behind its
// own length so a reader can skip it. Encoder and decoder both walk the tree
// with explicit worklists, so depth is limited by memory, not by the stack.
//
//   tag  variant  payload
//   00   Null     none
//   01   Int      zigzag LEB128
//   02   Float    8 bytes, IEEE 754 binary64 little-endian
//   03   Str      LEB128 length, bytes
//   04   Bool     one byte, 00 or 01
//   05   Bytes    LEB128 length, bytes
//   06   Object   LEB128 pair count; per pair: LEB128 key length, key bytes,
//                 LEB128 value encoding length, value encoding
//   07   Array    LEB128 element count; per element: LEB128 length, encoding
//   08   Map      LEB128 pair count; per pair: LEB128 length, key encoding,
//                 LEB128 length, value encoding
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/result.h"
#include "common/bytes.h"
#include "format/column/kval.h"

namespace varn {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"  // NestedTag::Bytes is scoped
enum class NestedTag : uint8_t {
    Null = 0,
    Int = 1,
    Float = 2,
    Str = 3,
    Bool = 4,
    Bytes = 5,
    Object = 6,
    Array = 7,
    Map = 8,
};
#pragma GCC diagnostic pop

// Encodes many values with reused scratch (one per Nested column, say).
class NestedValueEncoder {
public:
    // Appends the encoding of `value` to `out`; with `length_prefixed`, its
    // length as LEB128 first (the entry of a Nested column payload).
    void encode(const KVal& value, Bytes& out, bool length_prefixed = false);

private:
    void list_nodes(const KVal& value);
    void measure_nodes();
    uint8_t* write_nodes(uint8_t* p);

    struct Task {
        const std::string* key;  // Key: the Object key to write
        size_t node;             // Node / Length: index into nodes_
        uint8_t op;
    };
    std::vector<const KVal*> nodes_;  // breadth-first: members of a node are adjacent
    std::vector<size_t> first_member_;
    std::vector<uint64_t> size_;      // encoded length of each node
    std::vector<Task> tasks_;
};

// Appends the encoding of `value` to `out` (at least one byte).
void encode_nested_val(const KVal& value, Bytes& out);
inline Bytes encode_nested_val(const KVal& value) {
    Bytes out;
    encode_nested_val(value, out);
    return out;
}

// Decodes exactly one value that spans all of `encoding` (trailing bytes are
// an error, as is any member whose encoding does not fill its length). On
// failure `out` is left unchanged and the message says what is malformed.
// Allocation is bounded by the input size: counts are checked against the
// bytes left before any member slot is made.
Status decode_nested_val(ByteView encoding, KVal& out);

}  // namespace varn
