// Nested value encoder and decoder without recursion. Every member is written
// behind its encoded length, so the encoder first lists the tree breadth-first
// and measures every node from the leaves up, then writes depth-first from an
// explicit task stack. The decoder keeps one frame per open container, each
// with a bounds-checked reader over exactly that container's bytes.
#include "format/column/nested_value.h"

#include <cstring>

#include "format/column/integer_encoders.h"

namespace varn {

namespace {

// Tag byte of each KVal kind, in declaration order Int .. Map.
constexpr uint8_t kTagOfKind[9] = {1, 2, 4, 3, 5, 0, 6, 7, 8};

inline uint8_t tag_of(const KVal& x) { return kTagOfKind[static_cast<size_t>(x.kind())]; }

inline size_t blob_size(size_t n) { return leb128_length(n) + n; }

// Encoded length of a scalar (tag included).
size_t scalar_size(const KVal& x) {
    switch (x.kind()) {
        case KVal::Kind::Int: return 1 + leb128_length(zigzag_encode(std::get<int64_t>(x.v)));
        case KVal::Kind::Float: return 9;
        case KVal::Kind::Bool: return 2;
        case KVal::Kind::Str: return 1 + blob_size(std::get<std::string>(x.v).size());
        case KVal::Kind::Bytes: return 1 + blob_size(std::get<Bytes>(x.v).size());
        default: return 1;  // Null
    }
}

inline uint8_t* put_blob(uint8_t* p, const void* data, size_t n) {
    p += leb128_put(p, n);
    if (n) std::memcpy(p, data, n);
    return p + n;
}

// Writes a scalar's tag and payload.
uint8_t* put_scalar(uint8_t* p, const KVal& x) {
    *p++ = tag_of(x);
    switch (x.kind()) {
        case KVal::Kind::Int: return p + leb128_put(p, zigzag_encode(std::get<int64_t>(x.v)));
        case KVal::Kind::Float: {
            uint64_t bits;
            double d = std::get<double>(x.v);
            std::memcpy(&bits, &d, 8);
            store_le<uint64_t>(p, bits);
            return p + 8;
        }
        case KVal::Kind::Bool: *p++ = std::get<bool>(x.v) ? 1 : 0; return p;
        case KVal::Kind::Str: {
            const std::string& s = std::get<std::string>(x.v);
            return put_blob(p, s.data(), s.size());
        }
        case KVal::Kind::Bytes: {
            const Bytes& b = std::get<Bytes>(x.v);
            return put_blob(p, b.data(), b.size());
        }
        default: return p;  // Null: the tag alone
    }
}

enum Op : uint8_t { kOpNode, kOpLength, kOpKey };

}  // namespace

void NestedValueEncoder::encode(const KVal& value, Bytes& out, bool length_prefixed) {
    if (!value.is_container()) {
        size_t n = scalar_size(value);
        size_t at = out.size();
        out.resize(at + n + (length_prefixed ? leb128_length(n) : 0));
        uint8_t* p = out.data() + at;
        if (length_prefixed) p += leb128_put(p, n);
        put_scalar(p, value);
        return;
    }
    list_nodes(value);
    measure_nodes();
    // Written into space reserved for exactly the measured bytes.
    const size_t total = size_[0];
    const size_t at = out.size();
    out.resize(at + total + (length_prefixed ? leb128_length(total) : 0));
    uint8_t* p = out.data() + at;
    if (length_prefixed) p += leb128_put(p, total);
    write_nodes(p);
}

// Breadth-first list: the members of node k are nodes first_member_[k] ...,
// in list order (a Map pair gives its key, then its value).
void NestedValueEncoder::list_nodes(const KVal& value) {
    nodes_.clear();
    first_member_.clear();
    nodes_.push_back(&value);
    for (size_t k = 0; k < nodes_.size(); ++k) {
        const KVal& x = *nodes_[k];
        first_member_.push_back(nodes_.size());
        switch (x.kind()) {
            case KVal::Kind::Object:
                for (const auto& kv : std::get<KVal::ObjectT>(x.v)) nodes_.push_back(&kv.second);
                break;
            case KVal::Kind::Array:
                for (const auto& e : std::get<KVal::ArrayT>(x.v)) nodes_.push_back(&e);
                break;
            case KVal::Kind::Map:
                for (const auto& kv : std::get<KVal::MapT>(x.v)) {
                    nodes_.push_back(&kv.first);
                    nodes_.push_back(&kv.second);
                }
                break;
            default: break;
        }
    }
}

// Encoded sizes from the last node back: members always come after their
// container.
void NestedValueEncoder::measure_nodes() {
    size_.resize(nodes_.size());
    for (size_t k = nodes_.size(); k-- > 0;) {
        const KVal& x = *nodes_[k];
        if (!x.is_container()) {
            size_[k] = scalar_size(x);
            continue;
        }
        const size_t first = first_member_[k];
        const size_t members = x.kind() == KVal::Kind::Map ? 2 * x.member_count() : x.member_count();
        uint64_t n = 1 + leb128_length(x.member_count());
        for (size_t j = 0; j < members; ++j) n += blob_size(size_[first + j]);
        if (x.kind() == KVal::Kind::Object) {
            for (const auto& kv : std::get<KVal::ObjectT>(x.v)) n += blob_size(kv.first.size());
        }
        size_[k] = n;
    }
}

// Depth-first write from the root; returns the end of what was written.
uint8_t* NestedValueEncoder::write_nodes(uint8_t* p) {
    tasks_.clear();
    tasks_.push_back({nullptr, 0, kOpNode});
    while (!tasks_.empty()) {
        const Task t = tasks_.back();
        tasks_.pop_back();
        if (t.op == kOpLength) {
            p += leb128_put(p, size_[t.node]);
            continue;
        }
        if (t.op == kOpKey) {
            p = put_blob(p, t.key->data(), t.key->size());
            continue;
        }
        const KVal& x = *nodes_[t.node];
        if (!x.is_container()) {
            p = put_scalar(p, x);
            continue;
        }
        *p++ = tag_of(x);
        const size_t count = x.member_count();
        p += leb128_put(p, count);
        const size_t first = first_member_[t.node];
        // Pushed last member first so they pop in list order.
        for (size_t j = count; j-- > 0;) {
            switch (x.kind()) {
                case KVal::Kind::Object:
                    tasks_.push_back({nullptr, first + j, kOpNode});
                    tasks_.push_back({nullptr, first + j, kOpLength});
                    tasks_.push_back({&std::get<KVal::ObjectT>(x.v)[j].first, 0, kOpKey});
                    break;
                case KVal::Kind::Array:
                    tasks_.push_back({nullptr, first + j, kOpNode});
                    tasks_.push_back({nullptr, first + j, kOpLength});
                    break;
                default:  // Map
                    tasks_.push_back({nullptr, first + 2 * j + 1, kOpNode});
                    tasks_.push_back({nullptr, first + 2 * j + 1, kOpLength});
                    tasks_.push_back({nullptr, first + 2 * j, kOpNode});
                    tasks_.push_back({nullptr, first + 2 * j, kOpLength});
                    break;
            }
        }
    }
    return p;
}

void encode_nested_val(const KVal& value, Bytes& out) {
    NestedValueEncoder encoder;
    encoder.encode(value, out);
}

// ---------------------------------------------------------------------------
// Decoder.

namespace {

Status corrupt(const char* what) { return Status::corrupt(std::string("nested value: ") + what); }

// One open container: the node, a reader over the rest of its bytes, and the
// next member slot to fill (a Map has two slots per pair, key then value).
struct Frame {
    KVal* node;
    ByteReader in;
    size_t next;
    size_t slots;
};

// Parses the value whose encoding is exactly `enc` into `dst`. A scalar is
// complete on return; a container gets all its member slots (Null for now)
// and a frame on `open` that fills them.
Status parse_value(ByteView enc, KVal& dst, std::vector<Frame>& open) {
    ByteReader r(enc);
    uint8_t tag;
    if (!r.read_u8(tag)) return corrupt("empty encoding");
    switch (static_cast<NestedTag>(tag)) {
        case NestedTag::Null: dst = KVal(); break;
        case NestedTag::Int: {
            int64_t x;
            if (!r.read_zigzag(x)) return corrupt("truncated or oversized Int");
            dst = KVal::make_int(x);
            break;
        }
        case NestedTag::Float: {
            uint64_t bits;
            if (!r.read_le(bits)) return corrupt("truncated Float");
            double d;
            std::memcpy(&d, &bits, 8);
            dst = KVal::make_float(d);
            break;
        }
        case NestedTag::Bool: {
            uint8_t b;
            if (!r.read_u8(b)) return corrupt("truncated Bool");
            if (b > 1) return corrupt("Bool byte other than 00 or 01");
            dst = KVal::make_bool(b == 1);
            break;
        }
        case NestedTag::Str:
        case NestedTag::Bytes: {
            uint64_t n;
            ByteView body;
            if (!r.read_leb128(n) || !r.read_bytes(n, body)) {
                return corrupt(tag == 3 ? "truncated Str" : "truncated Bytes");
            }
            if (tag == 3) {
                dst = KVal::make_str(std::string(reinterpret_cast<const char*>(body.data()), body.size()));
            } else {
                dst = KVal::make_bytes(Bytes(body.begin(), body.end()));
            }
            break;
        }
        case NestedTag::Object:
        case NestedTag::Array:
        case NestedTag::Map: {
            uint64_t count;
            if (!r.read_leb128(count)) return corrupt("truncated member count");
            // Smallest member: an Array element is a length and a one-byte
            // encoding; an Object pair adds a key length; a Map pair is two elements.
            const uint64_t min_member = tag == 6 ? 3 : (tag == 7 ? 2 : 4);
            if (count > r.remaining() / min_member) return corrupt("member count exceeds its bytes");
            const size_t n = static_cast<size_t>(count);
            if (tag == 6) {
                dst = KVal::make_object(KVal::ObjectT(n));
            } else if (tag == 7) {
                dst = KVal::make_array(KVal::ArrayT(n));
            } else {
                dst = KVal::make_map(KVal::MapT(n));
            }
            open.push_back({&dst, r, 0, tag == 8 ? 2 * n : n});
            return Status::ok();
        }
        default: return corrupt("unknown tag");
    }
    if (!r.at_end()) return corrupt("bytes left over after a value");
    return Status::ok();
}

}  // namespace

Status decode_nested_val(ByteView encoding, KVal& out) {
    KVal root;
    std::vector<Frame> open;
    VARN_RETURN_IF_ERROR(parse_value(encoding, root, open));
    while (!open.empty()) {
        Frame& f = open.back();
        if (f.next == f.slots) {
            if (!f.in.at_end()) return corrupt("bytes left over after the last member");
            open.pop_back();
            continue;
        }
        KVal* slot;
        switch (f.node->kind()) {
            case KVal::Kind::Object: {
                auto& kv = std::get<KVal::ObjectT>(f.node->v)[f.next];
                uint64_t n;
                ByteView key;
                if (!f.in.read_leb128(n) || !f.in.read_bytes(n, key)) {
                    return corrupt("truncated Object key");
                }
                kv.first.assign(reinterpret_cast<const char*>(key.data()), key.size());
                slot = &kv.second;
                break;
            }
            case KVal::Kind::Array: slot = &std::get<KVal::ArrayT>(f.node->v)[f.next]; break;
            default: {
                auto& kv = std::get<KVal::MapT>(f.node->v)[f.next / 2];
                slot = f.next % 2 == 0 ? &kv.first : &kv.second;
                break;
            }
        }
        uint64_t len;
        ByteView member;
        if (!f.in.read_leb128(len) || !f.in.read_bytes(len, member)) {
            return corrupt("member length exceeds its container");
        }
        ++f.next;
        // May open a frame for the member, so `f` is not used past this point.
        VARN_RETURN_IF_ERROR(parse_value(member, *slot, open));
    }
    out = std::move(root);
    return Status::ok();
}

}  // namespace varn
