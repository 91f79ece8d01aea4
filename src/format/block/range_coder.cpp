// Static order-0 range coder and its decoder. Counts are scaled once to
// frequencies summing to 2^14; a 32-bit low/range coder then shifts out whole
// bytes. `low` is kept in 64 bits so a carry out of its 32 bits shows up as
// bit 32 and is added into the bytes already written (rare, and each 0xFF it
// turns to 0x00 stays behind it), so the output is the exact value's digits.
#include <string>

#include "format/block/block_internal.h"

namespace varn {
namespace block {
namespace {

constexpr uint32_t kRenormBelow = 1u << 16;
// 1 / log2(16384 / 16383), rounded up: the most symbols one coded bit holds.
constexpr uint64_t kSymbolsPerCodedBit = 11357;

}  // namespace

void range_build_model(const uint32_t counts[256], size_t n, RangeModel& m) {
    m.nsym = 0;
    uint32_t sum = 0;
    for (int s = 0; s < 256; ++s) {
        m.freq[s] = 0;
        if (!counts[s]) continue;
        uint64_t f = static_cast<uint64_t>(counts[s]) * kRangeTotal / n;
        if (f == 0) f = 1;
        m.freq[s] = static_cast<uint16_t>(f);
        sum += static_cast<uint32_t>(f);
        ++m.nsym;
    }
    if (sum < kRangeTotal) {
        // The whole shortfall goes to the most frequent value (highest on ties).
        int best = -1;
        for (int s = 0; s < 256; ++s)
            if (counts[s] && (best < 0 || counts[s] >= counts[best])) best = s;
        m.freq[best] = static_cast<uint16_t>(m.freq[best] + (kRangeTotal - sum));
    }
    while (sum > kRangeTotal) {
        // Take one from the largest frequency above 1 (highest value on ties).
        int best = -1;
        for (int s = 0; s < 256; ++s)
            if (m.freq[s] > 1 && (best < 0 || m.freq[s] >= m.freq[best])) best = s;
        --m.freq[best];
        --sum;
    }
    m.cum[0] = 0;
    for (int s = 0; s < 256; ++s) m.cum[s + 1] = m.cum[s] + m.freq[s];
}

void range_encode(const uint8_t* in, size_t n, const RangeModel& m, ByteBuf& out) {
    // Each symbol shifts out at most two bytes (range stays at least 4).
    uint8_t* const begin = out.tail(2 + 3 * 256 + 4 + 2 * n + 4);
    out.set_size(out.size() + range_encode_to(in, n, m, begin));
}

size_t range_encoded_size(const uint8_t* in, size_t n, const RangeModel& m) {
    size_t size = 2 + 3 * static_cast<size_t>(m.nsym) + 4;
    if (m.nsym <= 1) return size;
    // How many bytes are shifted out depends on the range alone, not on
    // `low`: the encoder's loop without its output.
    uint32_t range = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        range = static_cast<uint32_t>(m.freq[in[i]]) * (range >> 14);
        while (range < kRenormBelow) {
            ++size;
            range <<= 8;
        }
    }
    return size + 4;
}

size_t range_encode_to(const uint8_t* in, size_t n, const RangeModel& m, uint8_t* const begin) {
    uint8_t* o = begin;
    store_le<uint16_t>(o, static_cast<uint16_t>(m.nsym));
    o += 2;
    for (int s = 0; s < 256; ++s) {
        if (!m.freq[s]) continue;
        *o++ = static_cast<uint8_t>(s);
        store_le<uint16_t>(o, m.freq[s]);
        o += 2;
    }
    store_le<uint32_t>(o, static_cast<uint32_t>(n));
    o += 4;
    if (m.nsym > 1) {
        struct Sym {
            uint32_t cum, freq;
        } tab[256];
        for (int s = 0; s < 256; ++s) tab[s] = Sym{m.cum[s], m.freq[s]};
        uint8_t* const coded = o;
        uint64_t low = 0;
        uint32_t range = 0xFFFFFFFFu;
        for (size_t i = 0; i < n; ++i) {
            const Sym e = tab[in[i]];
            const uint32_t r = range >> 14;
            low += static_cast<uint64_t>(e.cum) * r;
            range = e.freq * r;
            if (low >> 32) {
                // Carry into the written digits: trailing 0xFF bytes wrap to
                // 0x00 until one absorbs it. The exact value never exceeds the
                // initial interval, so a byte to absorb it always exists.
                for (uint8_t* q = o; q != coded;) {
                    --q;
                    if (++*q != 0) break;
                }
                low &= 0xFFFFFFFFu;
            }
            while (range < kRenormBelow) {
                *o++ = static_cast<uint8_t>(low >> 24);
                low = (low << 8) & 0xFFFFFFFFu;
                range <<= 8;
            }
        }
        for (int sh = 24; sh >= 0; sh -= 8) *o++ = static_cast<uint8_t>(low >> sh);
    }
    return static_cast<size_t>(o - begin);
}

}  // namespace block

bool range_single_symbol(ByteView block, uint8_t& symbol, size_t& n) {
    // Count 1, the symbol with all of the 16384, the length, nothing after.
    if (block.size() != 9 || load_le<uint16_t>(block.data()) != 1 ||
        load_le<uint16_t>(block.data() + 3) != block::kRangeTotal)
        return false;
    symbol = block[2];
    n = load_le<uint32_t>(block.data() + 5);
    return true;
}

Bytes range_compress(ByteView in) {
    Bytes out;
    if (in.empty() || in.size() > block::kMaxCodedInput) return out;
    uint32_t counts[256];
    block::byte_histogram(in.data(), in.size(), counts);
    block::RangeModel m;
    block::range_build_model(counts, in.size(), m);
    block::ByteBuf buf;
    block::range_encode(in.data(), in.size(), m, buf);
    out.assign(buf.data(), buf.data() + buf.size());
    return out;
}

Status range_decompress(ByteView block, Bytes& out, size_t max_output) {
    if (block.empty()) {
        out.clear();
        return Status::ok();
    }
    ByteReader r(block);
    uint16_t count;
    if (!r.read_le(count)) return Status::corrupt("range block truncated in its frequency table");
    if (count == 0 || count > 256)
        return Status::corrupt("range block lists " + std::to_string(count) + " symbols (expected 1 to 256)");
    uint16_t freq[256] = {};
    uint32_t sum = 0;
    int prev = -1;
    int only = 0;
    for (int i = 0; i < count; ++i) {
        uint8_t s;
        uint16_t f;
        if (!r.read_u8(s) || !r.read_le(f))
            return Status::corrupt("range block truncated in its frequency table");
        if (static_cast<int>(s) <= prev)
            return Status::corrupt("range block symbols are not in ascending order");
        if (f == 0) return Status::corrupt("range block gives symbol " + std::to_string(s) + " frequency 0");
        freq[s] = f;
        sum += f;
        prev = s;
        only = s;
    }
    if (sum != block::kRangeTotal)
        return Status::corrupt("range block frequencies sum to " + std::to_string(sum) + ", not 16384");
    uint32_t n32;
    if (!r.read_le(n32)) return Status::corrupt("range block truncated before its content length");
    const size_t n = n32;
    if (n > max_output)
        return Status::corrupt("range content length " + std::to_string(n) + " exceeds the limit of " +
                             std::to_string(max_output) + " bytes");
    if (count == 1) {
        if (!r.at_end()) return Status::corrupt("single-symbol range block has trailing bytes");
        out.assign(n, static_cast<uint8_t>(only));
        return Status::ok();
    }
    // Every symbol narrows the range by at least 16384/16383, so each coded
    // byte (8 bits) stands for at most about 8 * 11357 symbols: a longer
    // content is refused before its memory is taken.
    if (n / block::kSymbolsPerCodedBit > 8 * static_cast<uint64_t>(r.remaining()) + 32)
        return Status::corrupt("range content length " + std::to_string(n) + " is more than its " +
                             std::to_string(r.remaining()) + " coded bytes can hold");

    uint32_t cum[257];
    cum[0] = 0;
    for (int s = 0; s < 256; ++s) cum[s + 1] = cum[s] + freq[s];
    std::unique_ptr<uint8_t[]> slot = std::make_unique_for_overwrite<uint8_t[]>(block::kRangeTotal);
    for (int s = 0; s < 256; ++s)
        for (uint32_t v = cum[s]; v < cum[s + 1]; ++v) slot[v] = static_cast<uint8_t>(s);

    uint32_t code;
    {
        uint8_t b[4];
        for (uint8_t& x : b)
            if (!r.read_u8(x)) return Status::corrupt("range block truncated in its coded bytes");
        code = static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
               static_cast<uint32_t>(b[2]) << 8 | b[3];
    }
    // `code` is the coded value minus `low`; it stays below `range`.
    uint32_t range = 0xFFFFFFFFu;
    out.resize(n);
    for (size_t i = 0; i < n; ++i) {
        const uint32_t rr = range >> 14;
        const uint32_t v = code / rr;
        if (v >= block::kRangeTotal) return Status::corrupt("range block coded bytes are corrupt");
        const uint8_t s = slot[v];
        out[i] = s;
        code -= cum[s] * rr;
        range = freq[s] * rr;
        while (range < block::kRenormBelow) {
            uint8_t b;
            if (!r.read_u8(b)) return Status::corrupt("range block truncated in its coded bytes");
            code = (code << 8) | b;
            range <<= 8;
        }
    }
    if (!r.at_end())
        return Status::corrupt("range block has " + std::to_string(r.remaining()) +
                             " bytes after its coded data");
    return Status::ok();
}

}  // namespace varn
