// Column payload decoders: integer encodings, bit-packed flags, length-
// prefixed entries, and whole columns back to cells. Payloads are untrusted:
// every read goes through ByteReader and every structural fault returns the
// same kind of message through DECODE_CHECK, naming the layout and the fault.
#include "format/column/column_decoding.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "format/column/nested_value.h"
#include "format/type_codes.h"

namespace varn {

namespace {

Status corrupt(const char* layout, const char* what) {
    return Status::corrupt(std::string(layout) + " payload: " + what);
}

#define DECODE_CHECK(cond, layout, what)                  \
    do {                                                  \
        if (!(cond)) return corrupt((layout), (what));    \
    } while (0)

constexpr const char* kRle = "Rle";
constexpr const char* kDelta = "Delta";
constexpr const char* kFor = "FrameOfReference";
constexpr const char* kCDelta = "ConstDelta";
constexpr const char* kFlags = "BitPacked";
constexpr const char* kEntries = "length-prefixed";

inline int64_t wrap_add(int64_t a, uint64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + b);
}

Status decode_rle(ByteView payload, size_t rows, std::vector<int64_t>& out) {
    ByteReader r(payload);
    uint64_t runs;
    DECODE_CHECK(r.read_leb128(runs), kRle, "truncated run count");
    out.reserve(rows);
    for (uint64_t k = 0; k < runs; ++k) {
        uint64_t len;
        int64_t value;
        DECODE_CHECK(r.read_leb128(len) && r.read_zigzag(value), kRle, "truncated run");
        DECODE_CHECK(len != 0, kRle, "run of length 0");
        DECODE_CHECK(len <= rows - out.size(), kRle, "runs hold more values than the row count");
        out.insert(out.end(), static_cast<size_t>(len), value);
    }
    DECODE_CHECK(out.size() == rows, kRle, "runs hold fewer values than the row count");
    DECODE_CHECK(r.at_end(), kRle, "bytes left over after the last run");
    return Status::ok();
}

Status decode_delta(ByteView payload, size_t rows, std::vector<int64_t>& out) {
    ByteReader r(payload);
    // Every value takes at least one byte.
    DECODE_CHECK(rows <= payload.size(), kDelta, "fewer bytes than values");
    out.reserve(rows);
    int64_t x = 0;
    for (size_t i = 0; i < rows; ++i) {
        int64_t d;
        DECODE_CHECK(r.read_zigzag(d), kDelta, "truncated value");
        x = i == 0 ? d : wrap_add(x, static_cast<uint64_t>(d));
        out.push_back(x);
    }
    DECODE_CHECK(r.at_end(), kDelta, "bytes left over after the last value");
    return Status::ok();
}

// Reads `bits` (at most 56) bits, least significant first, refilling a byte
// at a time: the caller has checked that the bytes are there.
struct BitReader {
    const uint8_t* p;
    uint64_t acc = 0;
    unsigned nbits = 0;

    uint64_t take(unsigned bits) {
        while (nbits < bits) {
            acc |= static_cast<uint64_t>(*p++) << nbits;
            nbits += 8;
        }
        uint64_t v = acc & ((uint64_t{1} << bits) - 1);
        acc >>= bits;
        nbits -= bits;
        return v;
    }
};

Status decode_for(ByteView payload, size_t rows, std::vector<int64_t>& out) {
    if (rows == 0) {
        DECODE_CHECK(payload.empty(), kFor, "bytes for zero rows");
        return Status::ok();
    }
    ByteReader r(payload);
    int64_t lo;
    uint8_t w;
    DECODE_CHECK(r.read_zigzag(lo) && r.read_u8(w), kFor, "truncated header");
    DECODE_CHECK(w <= 64, kFor, "bit width above 64");
    if (w == 0) {
        DECODE_CHECK(r.at_end(), kFor, "packed bytes with bit width 0");
        out.assign(rows, lo);
        return Status::ok();
    }
    DECODE_CHECK(rows <= (SIZE_MAX - 7) / w, kFor, "row count too large");
    const size_t packed = (rows * w + 7) / 8;
    DECODE_CHECK(r.remaining() == packed, kFor, "packed length does not match the row count");
    const uint8_t* packed_at = r.position();
    out.reserve(rows);
    size_t i = 0;
    if (w <= 56 && packed >= 8) {
        // Each value lies within the eight bytes from its first byte: one
        // load each, while those eight bytes are inside the packed bytes.
        const uint64_t mask = (uint64_t{1} << w) - 1;
        const size_t direct = std::min(rows, (8 * (packed - 8) + 7) / w + 1);
        for (; i < direct; ++i) {
            const size_t bit = i * w;
            uint64_t word;
            std::memcpy(&word, packed_at + (bit >> 3), 8);
            if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
            out.push_back(wrap_add(lo, (word >> (bit & 7)) & mask));
        }
    }
    // The rest bit by bit, from the first bit of value i.
    BitReader bits{packed_at + ((i * w) >> 3)};
    bits.take(static_cast<unsigned>((i * w) & 7));
    for (; i < rows; ++i) {
        uint64_t off;
        if (w <= 56) {
            off = bits.take(w);
        } else {
            off = bits.take(32);
            off |= bits.take(w - 32u) << 32;
        }
        out.push_back(wrap_add(lo, off));
    }
    DECODE_CHECK(bits.acc == 0, kFor, "padding bits are not zero");
    return Status::ok();
}

Status decode_cdelta(ByteView payload, size_t rows, std::vector<int64_t>& out) {
    ByteReader r(payload);
    int64_t first, step;
    DECODE_CHECK(r.read_zigzag(first) && r.read_zigzag(step), kCDelta, "truncated first value or step");
    DECODE_CHECK(r.at_end(), kCDelta, "bytes left over after the step");
    out.reserve(rows);
    for (size_t i = 0; i < rows; ++i) {
        out.push_back(wrap_add(first, static_cast<uint64_t>(i) * static_cast<uint64_t>(step)));
    }
    return Status::ok();
}

Status wrong_encoding(uint8_t type_code, ColumnEncoding e) {
    return Status::corrupt("column of type " + std::to_string(type_code) + " cannot have encoding " +
                         std::to_string(static_cast<unsigned>(e)));
}

}  // namespace

Result<ColumnEncoding> column_encoding_from_id(uint8_t id) {
    switch (id) {
        case 0: case 1: case 2: case 4: case 6: case 7: return static_cast<ColumnEncoding>(id);
        default: return Status::corrupt("unknown column encoding " + std::to_string(id));
    }
}

Status decode_int_payload(ColumnEncoding e, ByteView payload, size_t rows, std::vector<int64_t>& out) {
    out.clear();
    switch (e) {
        case ColumnEncoding::Rle: return decode_rle(payload, rows, out);
        case ColumnEncoding::Delta: return decode_delta(payload, rows, out);
        case ColumnEncoding::FrameOfReference: return decode_for(payload, rows, out);
        case ColumnEncoding::ConstDelta: return decode_cdelta(payload, rows, out);
        default:
            return Status::corrupt("encoding " + std::to_string(static_cast<unsigned>(e)) +
                                 " is not an integer encoding");
    }
}

Status decode_float_payload(ColumnEncoding e, ByteView payload, size_t rows,
                            std::vector<int64_t>& scaled) {
    scaled.clear();
    DECODE_CHECK(payload.size() >= 2 && payload[0] == kFloatPayloadPrefix[0] &&
                     payload[1] == kFloatPayloadPrefix[1],
                 "Float", "missing FE 04 prefix");
    return decode_int_payload(e, payload.subspan(2), rows, scaled);
}

Status decode_flags(ByteView payload, size_t rows, std::vector<uint8_t>& out) {
    out.clear();
    const size_t bytes = rows / 8 + (rows % 8 != 0);
    DECODE_CHECK(payload.size() == bytes, kFlags, "length is not one bit per row");
    if (rows % 8 != 0) {
        DECODE_CHECK((payload[bytes - 1] >> (rows % 8)) == 0, kFlags, "padding bits are not zero");
    }
    out.resize(rows);
    for (size_t i = 0; i < rows; ++i) out[i] = (payload[i / 8] >> (i % 8)) & 1;
    return Status::ok();
}

Status EntryWalk::start(ByteView payload, size_t rows) {
    p_ = payload.data();
    end_ = p_ + payload.size();
    fault_ = nullptr;
    // Every entry takes at least its one-byte length.
    DECODE_CHECK(rows <= payload.size(), kEntries, "fewer bytes than entries");
    return Status::ok();
}

bool EntryWalk::next_long(ByteView& e) {
    if (fault_) return false;
    ByteReader r(ByteView(p_, static_cast<size_t>(end_ - p_)));
    uint64_t n;
    if (!r.read_leb128(n)) {
        fault_ = "truncated length";
        return false;
    }
    if (!r.read_bytes(n, e)) {
        fault_ = "entry longer than the bytes left";
        return false;
    }
    p_ = r.position();
    return true;
}

Status EntryWalk::fault() const {
    return corrupt(kEntries, fault_ ? fault_ : "walk stopped");
}

Status EntryWalk::finish() const {
    DECODE_CHECK(p_ == end_, kEntries, "bytes left over after the last entry");
    return Status::ok();
}

Status decode_length_prefixed(ByteView payload, size_t rows, std::vector<ByteView>& out) {
    out.clear();
    EntryWalk walk;
    VARN_RETURN_IF_ERROR(walk.start(payload, rows));
    out.resize(rows);
    if (!walk.take(out.data(), rows)) {
        out.clear();
        return walk.fault();
    }
    return walk.finish();
}

Status decode_column_cells(uint8_t type_code, ColumnEncoding e, ByteView payload, size_t rows,
                           std::vector<KVal>& out) {
    out.clear();
    if (!format::encoding_allowed(type_code, static_cast<uint8_t>(e)))
        return wrong_encoding(type_code, e);
    const format::ColumnKind kind = format::kind_of(type_code);
    switch (kind) {
        case format::ColumnKind::Int:
        case format::ColumnKind::Float: {
            std::vector<int64_t> v;
            if (kind == format::ColumnKind::Int) {
                VARN_RETURN_IF_ERROR(decode_int_payload(e, payload, rows, v));
            } else {
                VARN_RETURN_IF_ERROR(decode_float_payload(e, payload, rows, v));
            }
            out.reserve(rows);
            for (int64_t x : v) {
                out.push_back(kind == format::ColumnKind::Int
                                  ? KVal::make_int(x)
                                  : KVal::make_float(static_cast<double>(x) / kFloatScale));
            }
            return Status::ok();
        }
        case format::ColumnKind::Flags: {
            std::vector<uint8_t> flags;
            VARN_RETURN_IF_ERROR(decode_flags(payload, rows, flags));
            out.reserve(rows);
            for (uint8_t f : flags) out.push_back(KVal::make_bool(f != 0));
            return Status::ok();
        }
        default: break;
    }
    // Text, Bytes and Nested: one length-prefixed entry per row.
    std::vector<ByteView> entries;
    VARN_RETURN_IF_ERROR(decode_length_prefixed(payload, rows, entries));
    out.resize(rows);
    for (size_t i = 0; i < rows; ++i) {
        const ByteView t = entries[i];
        switch (kind) {
            case format::ColumnKind::Text:
                out[i] = KVal::make_str(std::string(reinterpret_cast<const char*>(t.data()), t.size()));
                break;
            case format::ColumnKind::Nested: {
                Status s = decode_nested_val(t, out[i]);
                if (s.failed()) {
                    return Status::corrupt("row " + std::to_string(i) + ": " + s.message());
                }
                break;
            }
            default: out[i] = KVal::make_bytes(Bytes(t.begin(), t.end())); break;
        }
    }
    return Status::ok();
}

template <class Offset>
bool unpack_length_prefixed(ByteView payload, size_t rows, Offset* offsets, uint8_t* data, size_t& empties,
                            bool& boundaries) {
    const uint8_t* p = payload.data();
    const uint8_t* const end = p + payload.size();
    if (rows > payload.size()) return false;
    size_t at = 0, zero = 0;
    bool starts = true;  // every non-empty entry starts a character
    offsets[0] = 0;
    for (size_t i = 0; i < rows; ++i) {
        if (p == end) return false;
        size_t len = *p;
        if (len < 0x80) {
            ++p;
        } else {
            ByteReader r(ByteView(p, static_cast<size_t>(end - p)));
            uint64_t n;
            if (!r.read_leb128(n)) return false;
            p = r.position();
            if (n > static_cast<uint64_t>(end - p)) return false;
            len = static_cast<size_t>(n);
        }
        const size_t left = static_cast<size_t>(end - p);
        if (len > left) return false;
        if (len == 0) {
            ++zero;
        } else {
            starts &= (p[0] & 0xC0) != 0x80;
            if (left - len >= 16) {
                for (size_t k = 0; k < len; k += 16) std::memcpy(data + at + k, p + k, 16);
            } else {
                std::memcpy(data + at, p, len);
            }
        }
        at += len;
        p += len;
        offsets[i + 1] = static_cast<Offset>(at);
    }
    empties = zero;
    boundaries = starts;
    return p == end;
}

template bool unpack_length_prefixed<int32_t>(ByteView, size_t, int32_t*, uint8_t*, size_t&, bool&);
template bool unpack_length_prefixed<int64_t>(ByteView, size_t, int64_t*, uint8_t*, size_t&, bool&);

#undef DECODE_CHECK

}  // namespace varn
