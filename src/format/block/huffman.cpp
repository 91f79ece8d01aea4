// Static order-0 canonical Huffman coder and its decoder. The tree comes from
// a binary min-heap whose exact pop order fixes the tree shape (and so the
// stored code lengths); codes are packed most significant bit first through a
// 64-bit accumulator, four symbols per flush (three when a code is 15 bits).
// Decoding looks up the next 12 bits in a table that gives up to three
// symbols at once.
#include <algorithm>
#include <cstring>
#include <string>

#include "format/block/block_internal.h"

namespace varn {
namespace block {
namespace {

constexpr int kMaxLen = 15;
constexpr int kFullTableFrom = 127;  // distinct values from which the 256-byte table is used

struct HeapItem {
    uint32_t freq;
    uint16_t node;
};

// The frequency queue: a binary min-heap in an array. Equal frequencies leave
// in the order this exact push/pop procedure gives, which shapes the tree.
class FreqHeap {
public:
    size_t size() const { return size_; }
    void push(HeapItem x) { sift_up(size_++, x); }
    HeapItem pop() {
        const HeapItem last = heap_[--size_];
        if (size_ == 0) return last;
        const HeapItem top = heap_[0];
        size_t i = 0;
        // Move the hole down along the smaller children, then drop the last
        // item into it and sift that up.
        while (2 * i + 2 < size_) {
            size_t l = 2 * i + 1, r = l + 1;
            size_t c = heap_[r].freq <= heap_[l].freq ? r : l;
            heap_[i] = heap_[c];
            i = c;
        }
        if (2 * i + 1 < size_) {
            heap_[i] = heap_[2 * i + 1];
            i = 2 * i + 1;
        }
        sift_up(i, last);
        return top;
    }

private:
    void sift_up(size_t i, HeapItem x) {
        while (i > 0 && heap_[(i - 1) / 2].freq > x.freq) {
            heap_[i] = heap_[(i - 1) / 2];
            i = (i - 1) / 2;
        }
        heap_[i] = x;
    }
    HeapItem heap_[256];
    size_t size_ = 0;
};

// Turns lengths above 15 into a prefix code with no length above 15: clamp,
// then lengthen the cheapest codes until the Kraft sum fits, then shorten the
// most frequent codes while room remains.
void limit_lengths(const uint32_t counts[256], uint8_t len[256], const uint32_t depths[256]) {
    constexpr uint32_t kOne = 1u << kMaxLen;  // Kraft sum of a complete code, in units of 2^-15
    uint32_t kraft = 0;
    for (int s = 0; s < 256; ++s) {
        if (!depths[s]) {
            len[s] = 0;
            continue;
        }
        len[s] = static_cast<uint8_t>(std::min<uint32_t>(depths[s], kMaxLen));
        kraft += kOne >> len[s];
    }
    while (kraft > kOne) {
        // Lengthening a code of length L frees 2^-(L+1); take the longest
        // L below 15, and there the least frequent value.
        int pick = -1;
        for (int s = 0; s < 256; ++s) {
            if (!len[s] || len[s] >= kMaxLen) continue;
            if (pick < 0 || len[s] > len[pick] || (len[s] == len[pick] && counts[s] < counts[pick]))
                pick = s;
        }
        kraft -= kOne >> (len[pick] + 1);
        ++len[pick];
    }
    // Use any room left, most frequent values first.
    int order[256];
    int m = 0;
    for (int s = 0; s < 256; ++s)
        if (len[s]) order[m++] = s;
    std::stable_sort(order, order + m, [&](int a, int b) { return counts[a] > counts[b]; });
    for (int i = 0; i < m; ++i) {
        int s = order[i];
        while (len[s] > 1 && kraft + (kOne >> len[s]) <= kOne) {
            kraft += kOne >> len[s];
            --len[s];
        }
    }
}

}  // namespace

void byte_histogram(const uint8_t* p, size_t n, uint32_t counts[256]) {
    // Four tables so consecutive equal bytes do not serialise on one counter.
    uint32_t c[4][256] = {};
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w = load64(p + i);
        ++c[0][w & 0xFF];
        ++c[1][(w >> 8) & 0xFF];
        ++c[2][(w >> 16) & 0xFF];
        ++c[3][(w >> 24) & 0xFF];
        ++c[0][(w >> 32) & 0xFF];
        ++c[1][(w >> 40) & 0xFF];
        ++c[2][(w >> 48) & 0xFF];
        ++c[3][w >> 56];
    }
    for (; i < n; ++i) ++c[0][p[i]];
    for (int s = 0; s < 256; ++s) counts[s] = c[0][s] + c[1][s] + c[2][s] + c[3][s];
}

int huffman_tree_depths(const uint32_t counts[256], uint32_t depths[256]) {
    uint8_t sym[256];
    uint16_t parent[511];
    int k = 0;
    FreqHeap heap;
    for (int s = 0; s < 256; ++s) {
        depths[s] = 0;
        if (counts[s]) {
            sym[k] = static_cast<uint8_t>(s);
            heap.push(HeapItem{counts[s], static_cast<uint16_t>(k)});
            ++k;
        }
    }
    if (k == 0) return 0;
    if (k == 1) {
        depths[sym[0]] = 1;
        return 1;
    }
    // Leaves are nodes 0..k-1, internal nodes k.. in creation order, so every
    // parent has a higher index than its children and the root is the last.
    uint16_t next = static_cast<uint16_t>(k);
    while (heap.size() > 1) {
        HeapItem a = heap.pop();
        HeapItem b = heap.pop();
        parent[a.node] = next;
        parent[b.node] = next;
        heap.push(HeapItem{a.freq + b.freq, next});
        ++next;
    }
    uint32_t depth[511];
    const int root = next - 1;
    depth[root] = 0;
    for (int v = root - 1; v >= 0; --v) depth[v] = depth[parent[v]] + 1;
    uint32_t deepest = 0;
    for (int i = 0; i < k; ++i) {
        depths[sym[i]] = depth[i];
        deepest = std::max(deepest, depth[i]);
    }
    return static_cast<int>(deepest);
}

void huffman_build(const uint32_t counts[256], HuffmanCode& hc) {
    uint32_t depths[256];
    const int deepest = huffman_tree_depths(counts, depths);
    hc.nsym = 0;
    if (deepest <= kMaxLen) {
        for (int s = 0; s < 256; ++s) hc.len[s] = static_cast<uint8_t>(depths[s]);
    } else {
        limit_lengths(counts, hc.len, depths);
    }
    // Canonical codewords: by length, then by value.
    uint32_t code = 0;
    int prev = 0;
    for (int l = 1; l <= kMaxLen; ++l) {
        for (int s = 0; s < 256; ++s) {
            if (hc.len[s] != l) continue;
            code = hc.nsym == 0 ? 0 : (code + 1) << (l - prev);
            hc.code[s] = code;
            prev = l;
            ++hc.nsym;
        }
    }
    for (int s = 0; s < 256; ++s)
        if (!hc.len[s]) hc.code[s] = 0;
}

size_t huffman_block_size(const uint32_t counts[256], const HuffmanCode& hc) {
    uint64_t bits = 0;
    for (int s = 0; s < 256; ++s) bits += static_cast<uint64_t>(counts[s]) * hc.len[s];
    const size_t header = hc.nsym >= kFullTableFrom ? 1 + 256 : 2 + 2 * static_cast<size_t>(hc.nsym);
    return header + 4 + static_cast<size_t>((bits + 7) / 8);
}

size_t huffman_write(const uint8_t* in, size_t n, const HuffmanCode& hc, uint8_t* dst) {
    uint8_t* o = dst;
    if (hc.nsym >= kFullTableFrom) {
        *o++ = 0xFE;
        std::memcpy(o, hc.len, 256);
        o += 256;
    } else {
        *o++ = 0xFF;
        *o++ = static_cast<uint8_t>(hc.nsym);
        for (int s = 0; s < 256; ++s) {
            if (hc.len[s]) {
                *o++ = static_cast<uint8_t>(s);
                *o++ = hc.len[s];
            }
        }
    }
    store_le<uint32_t>(o, static_cast<uint32_t>(n));
    o += 4;

    // Codeword in the high bits, length in the low byte.
    uint32_t tab[256];
    for (int s = 0; s < 256; ++s) tab[s] = (hc.code[s] << 8) | hc.len[s];

    uint64_t acc = 0;   // the low `bits` bits are pending output
    unsigned bits = 0;  // below 8 between flushes
    size_t i = 0;
    uint8_t longest = 0;
    for (int s = 0; s < 256; ++s) longest = std::max(longest, hc.len[s]);
    if (longest <= 14) {
        // Four codes of at most 14 bits fit beside the 7 pending bits.
        for (; i + 4 <= n; i += 4) {
            const uint32_t e0 = tab[in[i]], e1 = tab[in[i + 1]], e2 = tab[in[i + 2]], e3 = tab[in[i + 3]];
            acc = (acc << (e0 & 0xFF)) | (e0 >> 8);
            acc = (acc << (e1 & 0xFF)) | (e1 >> 8);
            acc = (acc << (e2 & 0xFF)) | (e2 >> 8);
            acc = (acc << (e3 & 0xFF)) | (e3 >> 8);
            bits += (e0 & 0xFF) + (e1 & 0xFF) + (e2 & 0xFF) + (e3 & 0xFF);
            store64_be(o, acc << (64 - bits));
            o += bits >> 3;
            bits &= 7;
        }
    }
    // Three codes of at most 15 bits fit beside the 7 pending bits.
    for (; i + 3 <= n; i += 3) {
        const uint32_t e0 = tab[in[i]], e1 = tab[in[i + 1]], e2 = tab[in[i + 2]];
        acc = (acc << (e0 & 0xFF)) | (e0 >> 8);
        acc = (acc << (e1 & 0xFF)) | (e1 >> 8);
        acc = (acc << (e2 & 0xFF)) | (e2 >> 8);
        bits += (e0 & 0xFF) + (e1 & 0xFF) + (e2 & 0xFF);
        store64_be(o, acc << (64 - bits));
        o += bits >> 3;
        bits &= 7;
    }
    for (; i < n; ++i) {
        const uint32_t e = tab[in[i]];
        acc = (acc << (e & 0xFF)) | (e >> 8);
        bits += e & 0xFF;
        store64_be(o, acc << (64 - bits));
        o += bits >> 3;
        bits &= 7;
    }
    if (bits) *o++ = static_cast<uint8_t>(acc << (8 - bits));
    return static_cast<size_t>(o - dst);
}

}  // namespace block

Bytes huffman_compress(ByteView in) {
    Bytes out;
    if (in.empty() || in.size() > block::kMaxCodedInput) return out;
    uint32_t counts[256];
    block::byte_histogram(in.data(), in.size(), counts);
    block::HuffmanCode hc;
    block::huffman_build(counts, hc);
    const size_t size = block::huffman_block_size(counts, hc);
    out.resize(size + 8);
    const size_t written = block::huffman_write(in.data(), in.size(), hc, out.data());
    out.resize(written);
    return out;
}

namespace {

constexpr const char* kTruncatedTable = "Huffman block truncated in its code table";

// Reads the code table (a list of symbol/length pairs, or 256 lengths) into
// len, then the content length; `packed` gets the coded bits.
Status read_code_table(ByteView block, uint8_t len[256], size_t& n, ByteView& packed) {
    ByteReader r(block);
    uint8_t form = 0;
    (void)r.read_u8(form);
    if (form == 0xFF) {
        uint8_t count;
        if (!r.read_u8(count)) return Status::corrupt(kTruncatedTable);
        if (count == 0) return Status::corrupt("Huffman code table lists no symbols");
        int prev = -1;
        for (int i = 0; i < count; ++i) {
            uint8_t s, l;
            if (!r.read_u8(s) || !r.read_u8(l)) return Status::corrupt(kTruncatedTable);
            if (static_cast<int>(s) <= prev)
                return Status::corrupt("Huffman code table symbols are not in ascending order");
            if (l == 0 || l > block::kMaxLen)
                return Status::corrupt("Huffman code length " + std::to_string(l) + " out of range");
            len[s] = l;
            prev = s;
        }
    } else if (form == 0xFE) {
        ByteView table;
        if (!r.read_bytes(256, table)) return Status::corrupt(kTruncatedTable);
        for (int s = 0; s < 256; ++s) {
            if (table[s] > block::kMaxLen)
                return Status::corrupt("Huffman code length " + std::to_string(table[s]) + " out of range");
            len[s] = table[s];
        }
    } else {
        return Status::corrupt("unknown Huffman table form byte " + std::to_string(form));
    }
    uint32_t n32;
    if (!r.read_le(n32)) return Status::corrupt("Huffman block truncated before its content length");
    n = n32;
    (void)r.read_bytes(r.remaining(), packed);
    return Status::ok();
}

// The lengths must describe a prefix code: Kraft sum at most 1.
Status check_prefix_code(const uint8_t len[256]) {
    constexpr uint32_t kOne = 1u << block::kMaxLen;
    uint32_t kraft = 0;
    int nsym = 0;
    for (int s = 0; s < 256; ++s) {
        if (len[s]) {
            kraft += kOne >> len[s];
            ++nsym;
        }
    }
    if (nsym == 0) return Status::corrupt("Huffman code table lists no symbols");
    if (kraft > kOne) return Status::corrupt("Huffman code lengths do not form a prefix code");
    return Status::ok();
}

// Codes up to kFastBits long decode from one 4K-entry table; longer ones,
// rare by construction, from the canonical first-code arrays. The same
// kFastBits bits often hold two or three whole codes: two more tables give
// them all at once, the bits they take (4 KiB) and the symbols (16 KiB).
// Each lookup waits on the one before it for its bits, so that chain reads
// only the small table; the symbols' load is off it.
constexpr int kFastBits = 12;
constexpr uint32_t kFastMask = (1u << kFastBits) - 1;
// Below this content length the multi-symbol table costs more to build than
// it saves; such blocks decode one symbol at a time.
constexpr size_t kMultiFrom = 2048;

struct DecodeTables {
    // Entry: symbol | length << 8; 0 = not in the table.
    uint16_t fast[1u << kFastBits] = {};
    // Bits of all the codes the kFastBits bits hold whole (up to three);
    // 0 = the first code is longer than kFastBits or no codeword.
    uint8_t multi_bits[1u << kFastBits];
    // Those codes' symbols in order (bits 0-23, the first lowest) | their
    // number (bits 24-31).
    uint32_t multi_syms[1u << kFastBits];
    uint32_t first_code[block::kMaxLen + 1] = {}, count[block::kMaxLen + 1] = {};
    uint16_t base[block::kMaxLen + 1] = {};
    uint8_t sorted[256];
    int longest = 0;
};

void build_tables(const uint8_t len[256], DecodeTables& t, bool multi) {
    int nsorted = 0;
    uint32_t code = 0;
    int prev = 0;
    bool first = true;
    for (int l = 1; l <= block::kMaxLen; ++l) {
        t.base[l] = static_cast<uint16_t>(nsorted);
        for (int s = 0; s < 256; ++s) {
            if (len[s] != l) continue;
            code = first ? 0 : (code + 1) << (l - prev);
            first = false;
            prev = l;
            t.longest = l;
            if (t.count[l]++ == 0) t.first_code[l] = code;
            t.sorted[nsorted++] = static_cast<uint8_t>(s);
            if (l <= kFastBits) {
                const uint32_t lo = code << (kFastBits - l);
                const uint32_t hi = lo + (1u << (kFastBits - l));
                for (uint32_t j = lo; j < hi; ++j) t.fast[j] = static_cast<uint16_t>(s | (l << 8));
            }
        }
    }
    if (!multi) return;
    for (uint32_t j = 0; j <= kFastMask; ++j) {
        // Codes one after another within the known bits (the bits after them
        // read as zeros but a code counts only if it lies wholly within).
        uint32_t used = 0, entry = 0, k = 0;
        while (k < 3) {
            const uint32_t e = t.fast[(j << used) & kFastMask];
            const uint32_t l = e >> 8;
            if (l == 0 || used + l > kFastBits) break;
            entry |= (e & 0xFFu) << (8 + 8 * k);
            used += l;
            ++k;
        }
        t.multi_bits[j] = static_cast<uint8_t>(k == 0 ? 0 : used);
        t.multi_syms[j] = entry >> 8 | k << 24;
    }
}

constexpr const char* kNoCodeword = "Huffman block holds a bit pattern that is no codeword";
constexpr const char* kTooFewBits = "Huffman block truncated: too few coded bits";

// The coded bits, most significant first, through a 64-bit accumulator.
// The bits consumed so far are always 8 * (src - begin) - avail.
struct BitCursor {
    const uint8_t* begin;
    const uint8_t* src;
    const uint8_t* end;
    uint64_t acc = 0;    // pending bits, left-aligned
    unsigned avail = 0;  // bits in acc (padding zeros past the end are not counted)

    // Eight bytes at once; bits past `avail` that do not fit are loaded
    // again, in the same place, by the next refill. Needs 8 readable bytes.
    void refill_fast() {
        uint64_t w;
        std::memcpy(&w, src, 8);
        acc |= __builtin_bswap64(w) >> avail;
        src += (63 - avail) >> 3;
        avail |= 56;
    }
    void consume(unsigned l) {
        acc <<= l;
        avail -= l;
    }
};

// Length (bits) of the code at the top of acc, its symbol in `sym`; 0 when
// the bits are no codeword.
inline unsigned decode_one(const DecodeTables& t, uint64_t acc, uint8_t& sym) {
    const uint16_t e = t.fast[acc >> (64 - kFastBits)];
    if (e >> 8) {
        sym = static_cast<uint8_t>(e);
        return e >> 8;
    }
    const uint32_t c15 = static_cast<uint32_t>(acc >> (64 - block::kMaxLen));
    for (unsigned l = kFastBits + 1; l <= block::kMaxLen; ++l) {
        const uint32_t c = c15 >> (block::kMaxLen - l);
        if (t.count[l] && c - t.first_code[l] < t.count[l]) {
            sym = t.sorted[t.base[l] + (c - t.first_code[l])];
            return l;
        }
    }
    return 0;
}

// The fast loop: while eight bytes remain to be loaded, a refill gives at
// least 56 real bits, enough for kLookups lookups of up to 56 / kLookups
// bits each (the caller picks kLookups by the longest code), so they run
// with no further test. A lookup gives up to three symbols and stores four
// bytes (the fourth is overwritten later), so 3 * kLookups + 1 must remain.
// `i` counts the symbols written.
template <int kLookups>
Status decode_fast(const DecodeTables& t, BitCursor& bits, uint8_t* dst, size_t n, size_t& i) {
    static_assert(kLookups == 4 || kLookups * block::kMaxLen <= 56);
    constexpr size_t kNeed = 3 * kLookups + 1;
    // Locals, so the compiler keeps them in registers across the stores.
    uint64_t acc = bits.acc;
    unsigned avail = bits.avail;
    const uint8_t* src = bits.src;
    size_t o = i;
    auto save = [&] {
        bits.acc = acc;
        bits.avail = avail;
        bits.src = src;
        i = o;
    };
    while (n - o >= kNeed && bits.end - src >= 8) {
        uint64_t w;
        std::memcpy(&w, src, 8);
        acc |= __builtin_bswap64(w) >> avail;
        src += (63 - avail) >> 3;
        avail |= 56;
        for (int k = 0; k < kLookups; ++k) {
            const size_t at = static_cast<size_t>(acc >> (64 - kFastBits));
            unsigned l = t.multi_bits[at];
            if (l != 0) [[likely]] {
                uint32_t syms = t.multi_syms[at];  // the first symbol in the lowest byte
                const size_t count = syms >> 24;
                if constexpr (std::endian::native == std::endian::big) syms = __builtin_bswap32(syms);
                std::memcpy(dst + o, &syms, 4);
                o += count;
            } else {
                uint8_t sym;
                l = decode_one(t, acc, sym);
                if (l == 0) {
                    save();
                    return Status::corrupt(kNoCodeword);
                }
                dst[o++] = sym;
            }
            acc <<= l;
            avail -= l;
        }
    }
    save();
    return Status::ok();
}

// The last symbols, one at a time, with every bit count checked.
Status decode_tail(const DecodeTables& t, BitCursor& bits, uint8_t* dst, size_t n, size_t i) {
    for (; i < n; ++i) {
        if (bits.avail < block::kMaxLen) {
            if (bits.end - bits.src >= 8) {
                bits.refill_fast();
            } else {
                while (bits.avail <= 56 && bits.src < bits.end) {
                    bits.acc |= static_cast<uint64_t>(*bits.src++) << (56 - bits.avail);
                    bits.avail += 8;
                }
            }
        }
        uint8_t sym;
        const unsigned l = decode_one(t, bits.acc, sym);
        if (l == 0) return Status::corrupt(kNoCodeword);
        if (l > bits.avail) return Status::corrupt(kTooFewBits);
        dst[i] = sym;
        bits.consume(l);
    }
    return Status::ok();
}

// After the last code: less than a byte left, and its bits zero.
Status check_padding(const BitCursor& bits) {
    const uint64_t total_bits = 8 * static_cast<uint64_t>(bits.end - bits.begin);
    const uint64_t used = 8 * static_cast<uint64_t>(bits.src - bits.begin) - bits.avail;
    if (total_bits - used >= 8)
        return Status::corrupt("Huffman block has " + std::to_string((total_bits - used) / 8) +
                             " bytes after its last code");
    if (bits.avail && (bits.acc >> (64 - bits.avail)) != 0)
        return Status::corrupt("Huffman block padding bits are not zero");
    return Status::ok();
}

}  // namespace

Status huffman_decompress(ByteView block, Bytes& out, size_t max_output) {
    size_t n = 0;
    Status st = huffman_decompress_into(block, out, max_output, n);
    out.resize(st.is_ok() ? n : std::min(n, out.size()));
    return st;
}

Status huffman_decompress_into(ByteView block, Bytes& out, size_t max_output, size_t& n) {
    n = 0;
    if (block.empty()) return Status::ok();
    uint8_t len[256] = {};
    ByteView packed;
    VARN_RETURN_IF_ERROR(read_code_table(block, len, n, packed));
    VARN_RETURN_IF_ERROR(check_prefix_code(len));
    if (n > max_output)
        return Status::corrupt("Huffman content length " + std::to_string(n) + " exceeds the limit of " +
                             std::to_string(max_output) + " bytes");
    if (n > 8 * static_cast<uint64_t>(packed.size())) return Status::corrupt(kTooFewBits);

    DecodeTables tables;
    const bool multi = n >= kMultiFrom;
    build_tables(len, tables, multi);
    if (out.size() < n) out.resize(n);
    BitCursor bits{packed.data(), packed.data(), packed.data() + packed.size()};
    size_t i = 0;
    if (multi) {
        // Four lookups per refill while every code fits in 14 bits, else three.
        if (tables.longest <= 14)
            VARN_RETURN_IF_ERROR(decode_fast<4>(tables, bits, out.data(), n, i));
        else
            VARN_RETURN_IF_ERROR(decode_fast<3>(tables, bits, out.data(), n, i));
    }
    VARN_RETURN_IF_ERROR(decode_tail(tables, bits, out.data(), n, i));
    return check_padding(bits);
}

}  // namespace varn
