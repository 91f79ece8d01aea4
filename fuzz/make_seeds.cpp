// Writes the seed corpus of every fuzz target into <dir>/<target>/ (run by
// `fuzz/run.sh --seeds`). The seeds are small on purpose: libFuzzer mutates
// small inputs quickly, and each seed is chosen to put one decoder path in
// reach rather than to be realistic. Files are byte-stable across runs (the
// creation time of VARN files is set to 0) so regenerating shows no diff.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "format/block/block_compression.h"
#include "format/format.h"
#include "format/file/reader.h"
#include "format/file/writer.h"

namespace {

using varn::Bytes;
using varn::KColumn;
using varn::KVal;
using varn::Row;

std::string g_dir;

void save(const char* target, const std::string& name, const Bytes& b) {
    const std::string dir = g_dir + "/" + target;
    ::mkdir(dir.c_str(), 0755);
    const std::string path = dir + "/" + name;
    fuzz::write_file(path, b.data(), b.size());
    std::printf("%-40s %6zu bytes\n", (std::string(target) + "/" + name).c_str(), b.size());
}

Bytes text(const char* s) { return Bytes(s, s + std::strlen(s)); }

Bytes with_tag(varn::BlockTag tag, const Bytes& payload) {
    Bytes b{static_cast<uint8_t>(tag)};
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

Bytes lz(const Bytes& in) {
    Bytes out;
    varn::lz_compress(varn::as_bytes(in), out);
    return out;
}

// Bytes of a skewed distribution without long repeats: the coders win on them.
Bytes skewed(size_t n, uint32_t seed) {
    Bytes b(n);
    uint32_t x = seed;
    for (auto& c : b) {
        x = x * 1103515245u + 12345u;
        const uint32_t r = (x >> 16) & 0xFF;
        c = static_cast<uint8_t>(r < 160 ? 'a' + r % 4 : r < 230 ? 'e' + r % 8 : r);
    }
    return b;
}

void block_seeds() {
    using varn::BlockTag;
    // Each decoder behind its tag, on a short content with a repeat and a 0xFF byte.
    const Bytes small = text("abcabcabcabc \xFF xyz abcabcabcabc \xFF\xFF end");
    save("block_decode", "tag0-lz", with_tag(BlockTag::Lz, lz(small)));
    save("block_decode", "tag1-lz-huffman", with_tag(BlockTag::LzHuffman, varn::huffman_compress(varn::as_bytes(lz(small)))));
    save("block_decode", "tag2-stored", with_tag(BlockTag::Stored, text("stored")));
    save("block_decode", "tag3-huffman", with_tag(BlockTag::Huffman, varn::huffman_compress(varn::as_bytes(small))));
    save("block_decode", "tag4-range", with_tag(BlockTag::Range, varn::range_compress(varn::as_bytes(small))));
    save("block_decode", "tag5-lz-range", with_tag(BlockTag::LzRange, varn::range_compress(varn::as_bytes(lz(small)))));
    // Single-symbol contents: the coders' degenerate tables.
    const Bytes same(40, 'q');
    save("block_decode", "tag3-one-symbol", with_tag(BlockTag::Huffman, varn::huffman_compress(varn::as_bytes(same))));
    save("block_decode", "tag4-one-symbol", with_tag(BlockTag::Range, varn::range_compress(varn::as_bytes(same))));
    // What compress_block itself picks for larger inputs.
    save("block_decode", "compressed-zeros", varn::compress_block(varn::as_bytes(Bytes(1000, 0))));
    save("block_decode", "compressed-skewed", varn::compress_block(varn::as_bytes(skewed(600, 7))));

    save("block_round_trip", "text", text("hello, hello, hello world; 0123456789 0123456789"));
    save("block_round_trip", "ff-bytes", text("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF a \xFF"));
    save("block_round_trip", "short", text("abc"));
    save("block_round_trip", "skewed-600", skewed(600, 11));
    // 0xFE: expanded by the target into 0x8400 * 2 = 66 KiB of a repeated body.
    Bytes big{0xFE, 0x00, 0x84};
    const Bytes body = text("repeated body with some variety 0123456789abcdef");
    big.insert(big.end(), body.begin(), body.end());
    save("block_round_trip", "expand-66k", big);
}

// ---- VARN files -------------------------------------------------------------

KColumn column(const char* name, uint8_t type, bool encrypt = false) {
    KColumn c;
    c.name = name;
    c.type_code = type;
    if (encrypt) {
        c.flags = varn::format::kFlagEncrypt;
        for (size_t i = 0; i < c.key.size(); ++i) c.key[i] = static_cast<uint8_t>(i);
    }
    return c;
}

// Writes a file with the given chunks, then returns its bytes with the
// creation time set to 0 and, when asked, every record checksum set to 0
// (the file_reader target fills those in, so mutations reach the payloads).
Bytes varn_file(std::vector<KColumn> cols, uint64_t chunk_size, const std::vector<std::vector<Row>>& chunks,
                bool zero_checksums) {
    const std::string path = fuzz::ScratchDir::get().path("output.varn");
    auto begun = varn::StreamingVarnWriter::begin(std::move(cols), chunk_size, path);
    FUZZ_CHECK(begun.is_ok(), "begin: %s", begun.message().c_str());
    auto w = begun.take();
    for (const auto& rows : chunks) {
        varn::Status st = w->write_chunk(rows, rows.size());
        FUZZ_CHECK(st.is_ok(), "write_chunk: %s", st.message().c_str());
    }
    auto done = w->finish();
    FUZZ_CHECK(done.is_ok(), "finish: %s", done.message().c_str());

    auto opened = varn::VarnReader::open(path);
    FUZZ_CHECK(opened.is_ok(), "open: %s", opened.message().c_str());
    varn::VarnReader& r = *opened.value();
    FILE* f = std::fopen(path.c_str(), "rb");
    FUZZ_CHECK(f != nullptr, "reopen");
    Bytes b(r.header().file_size);
    FUZZ_CHECK(std::fread(b.data(), 1, b.size(), f) == b.size(), "read");
    std::fclose(f);
    varn::store_le<uint64_t>(b.data() + 24, 0);
    if (zero_checksums) {
        for (size_t c = 0; c < r.chunk_count(); ++c) {
            for (size_t k = 0; k < r.column_count(); ++k) varn::store_le<uint32_t>(b.data() + r.meta(c, k).block_offset, 0);
        }
    }
    return b;
}

KVal s(const char* v) { return KVal::make_str(v); }
KVal i(int64_t v) { return KVal::make_int(v); }

void reader_seeds() {
    using namespace varn::format;
    // Two text columns, three rows, real checksums (the checked path).
    save("file_reader", "text-real-crc",
         varn_file({column("name", kTypeText), column("city", kTypeText)}, 65536,
                   {{{s("ann"), s("oslo")}, {s("bob"), s("")}, {s("cy"), s("rome")}}}, false));
    // Columns and no rows.
    save("file_reader", "no-chunks", varn_file({column("a", kTypeText), column("b", kTypeText)}, 65536, {}, true));

    // Every integer encoding: two long runs far apart (run-length), an
    // arithmetic sequence (constant delta), large uneven steps (delta),
    // values around a large base (frame of reference).
    std::vector<Row> ints;
    for (int64_t k = 0; k < 8; ++k) {
        ints.push_back({i(k < 4 ? 0 : 1000000000000), i(100 + 3 * k), i(k * (int64_t{1} << 30) + k * k),
                        i(1000000 + (k * 37) % 11), KVal::make_float(0.25 * static_cast<double>(k * k)),
                        KVal()});
    }
    save("file_reader", "integers",
         varn_file({column("rle", kTypeInt), column("cdelta", kTypeInt), column("delta", kTypeInt),
                    column("for", kTypeInt), column("f", kTypeFloat), column("null", kTypeInt)},
                   65536, {ints}, true));

    // Flags, byte strings, nested values of all three nested types, and an
    // encrypted text column; two chunks of a chunk size of 3.
    auto nested = [](int64_t k) {
        KVal::ObjectT o;
        o.emplace_back("k", KVal::make_int(k));
        KVal::ArrayT a;
        a.push_back(KVal::make_str("x"));
        a.push_back(KVal::make_bool(k % 2 == 0));
        a.push_back(KVal::make_float(1.5));
        o.emplace_back("a", KVal::make_array(std::move(a)));
        return KVal::make_object(std::move(o));
    };
    auto map = [](int64_t k) {
        KVal::MapT m;
        m.emplace_back(KVal::make_int(k), KVal::make_bytes(Bytes{0, 1, 0xFF}));
        return KVal::make_map(std::move(m));
    };
    std::vector<std::vector<Row>> chunks(2);
    for (int64_t k = 0; k < 5; ++k) {
        chunks[k < 3 ? 0 : 1].push_back({KVal::make_bool(k % 3 == 0), KVal::make_bool(k == 1),
                                         KVal::make_bytes(Bytes(static_cast<size_t>(k), 0xAB)), nested(k), map(k),
                                         k == 2 ? KVal() : KVal::make_str("n"), s(k % 2 ? "secret" : "hidden")});
    }
    save("file_reader", "typed-encrypted",
         varn_file({column("flag", kTypeBool), column("none", kTypeNone), column("bytes", kTypeBytes),
                    column("obj", kTypeNested6), column("map", kTypeNested7), column("n8", kTypeNested8),
                    column("enc", kTypeText, true)},
                   3, chunks, true));
}

// Replaces the index block of `b` with `edit` applied to the decoded index.
template <class Edit>
void edit_index(Bytes& b, Edit edit) {
    using namespace varn::format;
    const size_t trailer = b.size() - kTrailerSize;
    const uint64_t index_len = varn::load_le<uint64_t>(b.data() + trailer);
    const uint64_t index_at = varn::load_le<uint64_t>(b.data() + trailer + 8);
    Bytes index;
    varn::Status st = varn::decompress_block(varn::ByteView(b.data() + index_at, index_len), index, 1 << 20);
    FUZZ_CHECK(st.is_ok(), "index: %s", st.message().c_str());
    edit(index);
    const Bytes block = varn::compress_block(varn::as_bytes(index));
    b.resize(index_at);
    b.insert(b.end(), block.begin(), block.end());
    varn::put_le<uint64_t>(b, block.size());
    varn::put_le<uint64_t>(b, index_at);
}

// Known fault, kept as a reproducer: a chunk whose index entry claims
// 4,294,967,295 rows, in an Int column whose constant-delta payload is three
// bytes. Decoding it reserves one int64 per claimed row (32 GiB) before
// anything bounds the count. The file is the writer's own with the row count
// of the index and the header's total changed.
void huge_chunk_rows() {
    using namespace varn::format;
    std::vector<Row> rows(8, Row{i(5)});
    Bytes b = varn_file({column("n", kTypeInt)}, 65536, {rows}, false);
    // After the u32 chunk count and the u16 column count.
    edit_index(b, [](Bytes& index) { varn::store_le<uint32_t>(index.data() + 6, 0xFFFFFFFFu); });
    varn::store_le<uint64_t>(b.data() + kTotalsOffset, 0xFFFFFFFFu);
    save("file_reader", "crash-huge-chunk-rows", b);
}

// Files a reader must refuse or bound as a whole, not record by record:
// - a sound file of one chunk of 2^26 rows in eight constant int columns (a
//   few bytes each), which passes verification but whose columns decoded
//   together take gigabytes;
// - two index entries naming the same record (the second chunk's entry
//   points at the first chunk's record), which would give its rows twice.
void whole_file_seeds() {
    using namespace varn::format;
    std::vector<KColumn> cols;
    static const char* const names[] = {"a", "b", "c", "d", "e", "f", "g", "h"};
    for (const char* name : names) cols.push_back(column(name, kTypeInt));
    Bytes wide = varn_file(cols, 65536, {std::vector<Row>(8, Row(8, i(5)))}, false);
    constexpr uint32_t kRows = uint32_t{1} << 26;
    edit_index(wide, [&](Bytes& index) { varn::store_le<uint32_t>(index.data() + 6, kRows); });
    varn::store_le<uint64_t>(wide.data() + kTotalsOffset, kRows);
    varn::store_le<uint32_t>(wide.data() + kTotalsOffset + 12, kRows);  // the chunk size
    save("file_reader", "chunk-of-2p26-rows", wide);

    const std::vector<std::vector<Row>> two_chunks = {{Row{s("x")}}, {Row{s("y")}}};
    Bytes aliased = varn_file({column("t", kTypeText)}, 1, two_chunks, false);
    edit_index(aliased, [](Bytes& index) {
        // After the counts and two chunk row counts, each entry: offset u64,
        // length u64, encoding u8, null count u32, integer minimum and
        // maximum (one byte each here), the minimum and maximum texts (one
        // length byte each here) and the 512-byte filter.
        const size_t first = 6 + 2 * 4;
        size_t at = first + 8 + 8 + 1 + 4 + 2;
        at += 1 + index[at];
        at += 1 + index[at];
        at += 512;
        std::memcpy(index.data() + at, index.data() + first, 16);  // the second names the first's record
    });
    save("file_reader", "index-aliasing", aliased);
}

void csv_seeds() {
    const char* csvs[][2] = {
        {"simple", "id,name,score\n1,ann,3.5\n2,bob,4\n"},
        {"crlf-blank-lines", "a,b\r\n\r\n  x , y \r\n \t \r\nz\r\n"},
        {"ragged-rows", "a,b,c\n1\n1,2,3,4,5\n,,\n"},
        {"unicode-space", "\xC2\xA0h1\xE3\x80\x80,h\xC3\xA9\n\xE2\x80\x83v\xE2\x80\xA8,\xC2\x85w\n"},
        {"quotes-empty-names", "\"a,b\", ,c\n\"1,2\",x\n"},
        {"no-final-newline", "k\nlast\r"},
        {"header-only", "x,y,z"},
        {"nul-and-cr", "a\n\x01\r\x02,\r\n"},
        {"bad-utf8", "a,b\n\xC0\xAF,\xED\xA0\x80\n"},
    };
    for (const auto& c : csvs) save("csv_round_trip", c[0], text(c[1]));
    // A NUL byte inside a field.
    Bytes nul = text("a,b\nx");
    nul.push_back(0);
    nul.push_back('y');
    save("csv_round_trip", "nul-byte", nul);

    // Known fault, kept as a reproducer: a header of 4,096 commas (4,097
    // columns, 4 KiB of input) makes the converter reserve room for 65,536
    // rows of cells up front, 2 GiB, whatever the number of data lines.
    save("csv_round_trip", "crash-wide-header-reserve", Bytes(4096, ','));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    g_dir = argv[1];
    ::mkdir(g_dir.c_str(), 0755);
    block_seeds();
    reader_seeds();
    huge_chunk_rows();
    whole_file_seeds();
    csv_seeds();
    return 0;
}
