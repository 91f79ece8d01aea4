// Reading files back: every column type through the writer and the reader,
// encryption, verification, the faults a damaged or hostile file can hold
// (each must come back as a message naming its place, never as a crash or a
// huge allocation), the compression figure, and the field text parser and
// printer that the command-line tool uses.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <random>
#include <string>

#include "csv/field_parse.h"
#include "format/block/block_compression.h"
#include "format/format.h"
#include "format/type_codes.h"
#include "format/file/encryption.h"
#include "format/file/reader.h"
#include "format/file/writer.h"
#include "temp_files.h"

namespace varn {
namespace {

KVal S(const std::string& s) { return KVal::make_str(s); }
KVal I(int64_t x) { return KVal::make_int(x); }
KVal F(double x) { return KVal::make_float(x); }
KVal B(bool x) { return KVal::make_bool(x); }
KVal N() { return KVal::make_null(); }
KVal Y(Bytes b) { return KVal::make_bytes(std::move(b)); }

KColumn column(const std::string& name, uint8_t type, uint8_t flags = 0, ColumnKey key = {}) {
    KColumn c;
    c.name = name;
    c.type_code = type;
    c.flags = flags;
    c.key = key;
    return c;
}

// Structural equality of small test values.
bool same(const KVal& a, const KVal& b) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case KVal::Kind::Object: {
            const auto &x = std::get<KVal::ObjectT>(a.v), &y = std::get<KVal::ObjectT>(b.v);
            if (x.size() != y.size()) return false;
            for (size_t i = 0; i < x.size(); ++i)
                if (x[i].first != y[i].first || !same(x[i].second, y[i].second)) return false;
            return true;
        }
        case KVal::Kind::Array: {
            const auto &x = std::get<KVal::ArrayT>(a.v), &y = std::get<KVal::ArrayT>(b.v);
            if (x.size() != y.size()) return false;
            for (size_t i = 0; i < x.size(); ++i)
                if (!same(x[i], y[i])) return false;
            return true;
        }
        case KVal::Kind::Map: {
            const auto &x = std::get<KVal::MapT>(a.v), &y = std::get<KVal::MapT>(b.v);
            if (x.size() != y.size()) return false;
            for (size_t i = 0; i < x.size(); ++i)
                if (!same(x[i].first, y[i].first) || !same(x[i].second, y[i].second)) return false;
            return true;
        }
        case KVal::Kind::Float: {
            double x = std::get<double>(a.v), y = std::get<double>(b.v);
            return x == y && std::signbit(x) == std::signbit(y);
        }
        case KVal::Kind::Int: return std::get<int64_t>(a.v) == std::get<int64_t>(b.v);
        case KVal::Kind::Bool: return std::get<bool>(a.v) == std::get<bool>(b.v);
        case KVal::Kind::Str: return std::get<std::string>(a.v) == std::get<std::string>(b.v);
        case KVal::Kind::Bytes: return std::get<Bytes>(a.v) == std::get<Bytes>(b.v);
        case KVal::Kind::Null: return true;
    }
    return false;
}

std::string text_of(const KVal& v) {
    std::string out;
    append_json_text(v, out);
    return out;
}

class ReaderTest : public TempFileTest {
protected:
    ReaderTest() : TempFileTest("varn_reader_") {}
    static void write_file(const std::string& p, const Bytes& data) {
        std::ofstream f(p, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }
    // Writes one chunk per entry of `chunks`.
    static void write_varn(const std::string& p, std::vector<KColumn> columns,
                           const std::vector<std::vector<Row>>& chunks, uint64_t chunk_size = 65536) {
        auto w = StreamingVarnWriter::begin(std::move(columns), chunk_size, p);
        ASSERT_TRUE(w.is_ok()) << w.message();
        for (const auto& rows : chunks) {
            Status st = w.value()->write_chunk(rows, rows.size());
            ASSERT_TRUE(st.is_ok()) << st.message();
        }
        auto done = w.value()->finish();
        ASSERT_TRUE(done.is_ok()) << done.message();
    }
    static std::unique_ptr<VarnReader> open_ok(const std::string& p, const ReaderOptions& o = {}) {
        auto r = VarnReader::open(p, o);
        EXPECT_TRUE(r.is_ok()) << r.message();
        return r.is_ok() ? r.take() : nullptr;
    }
    // Opens, verifies and reads every column of every chunk; the first
    // failure's message, or "" when everything holds.
    static std::string check_all(const std::string& p, const ColumnKey* key = nullptr,
                                 const ReaderOptions& options = {}) {
        auto r = VarnReader::open(p, options);
        if (r.failed()) return r.message();
        if (key) r.value()->set_key(*key);
        VerifyReport report;
        Status st = verify_file(*r.value(), report);
        if (st.failed()) return st.message();
        std::vector<KVal> cells;
        for (size_t c = 0; c < r.value()->chunk_count(); ++c) {
            for (size_t k = 0; k < r.value()->column_count(); ++k) {
                if (r.value()->encrypted(k) && !key) continue;
                st = r.value()->read_cells(c, k, cells);
                if (st.failed()) return st.message();
            }
        }
        return "";
    }
};

// The decoded index block of a file, and a way to write a changed one back
// (the trailer is fixed up, the records stay where they are).
struct IndexEdit {
    Bytes file;
    uint64_t index_offset;
    Bytes index;

    explicit IndexEdit(const Bytes& f) : file(f) {
        const uint8_t* t = f.data() + f.size() - 16;
        const uint64_t len = load_le<uint64_t>(t);
        index_offset = load_le<uint64_t>(t + 8);
        Status st = decompress_block(ByteView(f.data() + index_offset, len), index, 1 << 24);
        EXPECT_TRUE(st.is_ok()) << st.message();
    }
    // Offset in `index` of entry (chunk, col) for a file whose every
    // min/max is a one-byte zigzag value and whose texts are shorter than 128.
    size_t entry(uint32_t chunks, uint16_t cols, size_t chunk, size_t col) const {
        size_t p = 6 + 4 * size_t{chunks};
        for (size_t i = 0; i < chunk * cols + col; ++i) {
            p += 8 + 8 + 1 + 4;
            for (int z = 0; z < 2; ++z) {
                while (index[p] & 0x80) ++p;
                ++p;
            }
            for (int s = 0; s < 2; ++s) p += 1 + index[p];
            p += 512;
        }
        return p;
    }
    Bytes rebuilt() const {
        Bytes out(file.begin(), file.begin() + static_cast<ptrdiff_t>(index_offset));
        Bytes block = compress_block(as_bytes(index));
        out.insert(out.end(), block.begin(), block.end());
        put_le<uint64_t>(out, block.size());
        put_le<uint64_t>(out, index_offset);
        return out;
    }
};

// ---------------------------------------------------------------------------

TEST_F(ReaderTest, ReadsEveryColumnTypeBack) {
    const std::string p = path("types.varn");
    std::vector<KColumn> cols = {column("i", format::kTypeInt),   column("f", format::kTypeFloat),
                                 column("b", format::kTypeBool),  column("t", format::kTypeText),
                                 column("y", format::kTypeBytes), column("j", format::kTypeNested6),
                                 column("z", format::kTypeNone),  column("w", 9)};
    KVal array = KVal::make_array({}), object = KVal::make_object({});
    std::get<KVal::ArrayT>(array.v).push_back(I(1));
    std::get<KVal::ArrayT>(array.v).push_back(S("a"));
    std::get<KVal::ObjectT>(object.v).emplace_back("k", N());
    std::vector<Row> chunk0(3), chunk1(2);
    chunk0[0] = {I(5), F(1.25), B(true), S("a"), Y({0x41, 0x42}), array, B(true), Y({1})};
    chunk0[1] = {N(), I(3), S("TRUE"), S(""), S("x"), N(), I(0), N()};
    chunk0[2] = {I(-3), N(), N(), N(), N(), object, S("1"), Y({})};
    chunk1[0] = {I(7), F(-0.5), B(false), S("\xC3\xA9t\xC3\xA9")};  // short row: the rest is Null
    chunk1[1] = {I(8), F(2.0), B(true), S("zz"), Y({0xFF}), I(-1), B(false), Y({2, 3})};
    write_varn(p, cols, {chunk0, chunk1});

    auto r = open_ok(p);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->header().version, 2);
    EXPECT_EQ(r->column_count(), 8u);
    ASSERT_EQ(r->chunk_count(), 2u);
    EXPECT_EQ(r->chunk_rows(0), 3u);
    EXPECT_EQ(r->chunk_rows(1), 2u);
    EXPECT_EQ(r->index_rows(), 5u);
    EXPECT_EQ(r->header().total_rows, 5u);
    EXPECT_EQ(r->columns()[5].name, "j");
    EXPECT_EQ(r->columns()[5].type_code, format::kTypeNested6);
    EXPECT_EQ(r->find_column("w"), 7u);
    EXPECT_FALSE(r->find_column("nope"));
    EXPECT_EQ(r->meta(0, 0).null_count, 1u);
    EXPECT_EQ(r->meta(0, 0).min, -3);
    EXPECT_EQ(r->meta(0, 3).min_str, "");
    EXPECT_EQ(r->meta(1, 3).max_str, "\xC3\xA9t\xC3\xA9");  // bytes above 0x7F sort last

    // Nulls come back as what the file stores for them: 0, false, empty;
    // only nested columns keep them.
    const std::vector<std::vector<KVal>> want0 = {
        {I(5), I(0), I(-3)},
        {F(1.25), F(3.0), F(0.0)},
        {B(true), B(true), B(false)},
        {S("a"), S(""), S("")},
        {Y({0x41, 0x42}), Y({}), Y({})},
        {array, N(), object},
        {B(true), B(false), B(true)},
        {Y({1}), Y({}), Y({})},
    };
    const std::vector<std::vector<KVal>> want1 = {
        {I(7), I(8)},          {F(-0.5), F(2.0)},       {B(false), B(true)},
        {S("\xC3\xA9t\xC3\xA9"), S("zz")}, {Y({}), Y({0xFF})}, {N(), I(-1)},
        {B(false), B(false)},  {Y({}), Y({2, 3})},
    };
    std::vector<KVal> cells;
    for (size_t chunk = 0; chunk < 2; ++chunk) {
        const auto& want = chunk == 0 ? want0 : want1;
        for (size_t c = 0; c < cols.size(); ++c) {
            ASSERT_TRUE(r->read_cells(chunk, c, cells).is_ok()) << chunk << "/" << c;
            ASSERT_EQ(cells.size(), want[c].size());
            for (size_t i = 0; i < cells.size(); ++i)
                EXPECT_TRUE(same(cells[i], want[c][i])) << "chunk " << chunk << " column " << c
                                                        << " row " << i << ": " << text_of(cells[i]);
        }
    }

    // The typed readers give the same values without building cells.
    Bytes payload;
    std::vector<int64_t> ints;
    std::vector<uint8_t> flags;
    ASSERT_TRUE(r->read_integers(1, 1, payload, ints).is_ok());
    EXPECT_EQ(ints, (std::vector<int64_t>{-5000, 20000}));
    ASSERT_TRUE(r->read_flags(0, 2, payload, flags).is_ok());
    EXPECT_EQ(flags, (std::vector<uint8_t>{1, 1, 0}));
    EXPECT_TRUE(r->read_integers(0, 3, payload, ints).failed());

    VerifyReport report;
    Status st = verify_file(*r, report);
    ASSERT_TRUE(st.is_ok()) << st.message();
    EXPECT_EQ(report.records, 16u);
    EXPECT_EQ(report.payloads_decoded, 16u);
    EXPECT_EQ(report.rows, 5u);
}

TEST_F(ReaderTest, TextAcrossChunksAndLengthPrefixes) {
    const std::string p = path("text.varn");
    const std::string long_text(200, 'q');  // a two-byte length prefix
    const std::vector<std::string> texts = {"a", "", "\xE6\x9D\xB1\xE4\xBA\xAC", long_text, "x,y",
                                            "tab\there", "b", "a", "\xF0\x9F\x98\x80", "last"};
    std::vector<std::vector<Row>> chunks(3);
    for (size_t i = 0; i < texts.size(); ++i) chunks[i / 4].push_back({S(texts[i]), I(static_cast<int64_t>(i))});
    write_varn(p, {column("s", format::kTypeText), column("n", format::kTypeInt)}, chunks, 4);

    auto r = open_ok(p);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->header().chunk_size, 4u);
    ASSERT_EQ(r->chunk_count(), 3u);
    Bytes payload;
    std::vector<ByteView> entries;
    std::vector<std::string> got;
    for (size_t c = 0; c < r->chunk_count(); ++c) {
        ASSERT_TRUE(r->read_entries(c, 0, payload, entries).is_ok());
        for (ByteView e : entries) got.emplace_back(reinterpret_cast<const char*>(e.data()), e.size());
    }
    EXPECT_EQ(got, texts);
    EXPECT_EQ(check_all(p), "");
}

TEST_F(ReaderTest, FilesWithoutChunksOrColumns) {
    for (size_t ncols : {0, 3}) {
        const std::string p = path("empty" + std::to_string(ncols) + ".varn");
        std::vector<KColumn> cols;
        for (size_t i = 0; i < ncols; ++i) {
            std::string name = "c";
            name += std::to_string(i);
            cols.push_back(column(name, format::kTypeText));
        }
        write_varn(p, cols, {});
        auto r = open_ok(p);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->column_count(), ncols);
        EXPECT_EQ(r->chunk_count(), 0u);
        EXPECT_EQ(r->header().index_offset, r->header().records_offset);
        EXPECT_EQ(check_all(p), "");
        auto saved = block_compression_saved_percent(p);
        ASSERT_TRUE(saved.is_ok()) << saved.message();
        EXPECT_EQ(saved.value(), 0.0);
    }
}

// A file with an encrypted column: a fresh salt per file (so one key never
// repeats a keystream), no plaintext statistics in the index, a zero key
// refused; a file without a salt still decrypts with the key as given.
TEST_F(ReaderTest, EncryptionSaltsEachFileAndKeepsNoStatistics) {
    ColumnKey key{};
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i * 5 + 3);
    const std::string p1 = path("salt1.varn"), p2 = path("salt2.varn");
    for (const std::string& p : {p1, p2}) {
        write_varn(p, {column("secret", format::kTypeText, format::kFlagEncrypt, key),
                       column("n", format::kTypeInt, format::kFlagEncrypt, key),
                       column("plain", format::kTypeText)},
                   {{{S("hello"), I(42), S("open")}}});
    }
    const Bytes f1 = read_file(p1), f2 = read_file(p2);
    ASSERT_EQ(f1.size(), f2.size());
    const Bytes salt1(f1.begin() + 32, f1.begin() + 48), salt2(f2.begin() + 32, f2.begin() + 48);
    EXPECT_NE(salt1, Bytes(16, 0));
    EXPECT_NE(salt1, salt2);
    // Bytes 48..63: HKDF-SHA256(key, salt, "VARN v2 key check", 16).
    const std::string info = "VARN v2 key check";
    auto check = hkdf_sha256(as_bytes(key.data(), key.size()), as_bytes(salt1.data(), salt1.size()),
                             as_bytes(reinterpret_cast<const uint8_t*>(info.data()), info.size()), 16);
    ASSERT_TRUE(check.is_ok());
    EXPECT_EQ(Bytes(f1.begin() + 48, f1.begin() + 64), check.value());
    auto r1 = open_ok(p1), r2 = open_ok(p2);
    ASSERT_TRUE(r1 && r2);
    const uint64_t at = r1->meta(0, 0).block_offset, len = r1->meta(0, 0).block_len;
    EXPECT_NE(Bytes(f1.begin() + at, f1.begin() + at + 12 + len),
              Bytes(f2.begin() + at, f2.begin() + at + 12 + len))
        << "the same key and plaintext must not give the same record in two files";
    for (size_t col : {0, 1}) EXPECT_TRUE(statistics_withheld(r1->meta(0, col))) << col;
    EXPECT_EQ(r1->meta(0, 2).min_str, "open");
    EXPECT_EQ(check_all(p1, &key), "");
    r1->set_key(key);
    std::vector<KVal> cells;
    ASSERT_TRUE(r1->read_cells(0, 0, cells).is_ok());
    EXPECT_EQ(text_of(cells[0]), "\"hello\"");

    // A file without a salt (nor a key check value): the record encrypted
    // with the key itself.
    Bytes old = f1;
    std::fill(old.begin() + 32, old.begin() + 64, 0);
    ASSERT_EQ(old[at + 12], static_cast<uint8_t>(BlockTag::Stored));
    ASSERT_EQ(len, 7u);
    KColumn plain_key = column("secret", format::kTypeText, format::kFlagEncrypt, key);
    Bytes payload = {5, 'h', 'e', 'l', 'l', 'o'};
    ASSERT_TRUE(apply_column_encryption(plain_key, 0, payload).is_ok());
    std::copy(payload.begin(), payload.end(), old.begin() + at + 13);
    store_le<uint32_t>(old.data() + at, static_cast<uint32_t>(::crc32_z(0, old.data() + at + 12, len)));
    const std::string p_old = path("unsalted.varn");
    write_file(p_old, old);
    auto r_old = open_ok(p_old);
    ASSERT_TRUE(r_old);
    r_old->set_key(key);
    ASSERT_TRUE(r_old->read_cells(0, 0, cells).is_ok());
    EXPECT_EQ(text_of(cells[0]), "\"hello\"");

    // A salt without an encrypted column is a fault.
    const std::string p_plain = path("plain.varn");
    write_varn(p_plain, {column("t", format::kTypeText)}, {{{S("x")}}});
    Bytes salted = read_file(p_plain);
    EXPECT_EQ(Bytes(salted.begin() + 32, salted.begin() + 64), Bytes(32, 0));
    salted[33] = 1;
    write_file(p_plain, salted);
    EXPECT_EQ(check_all(p_plain).rfind("header at offset 32: the bytes 32 to 47", 0), 0u);

    // An all-zero key is refused before anything is created.
    const std::string p_zero = path("zero.varn");
    auto zero = StreamingVarnWriter::begin({column("s", format::kTypeText, format::kFlagEncrypt, ColumnKey{})},
                                           65536, p_zero);
    ASSERT_TRUE(zero.failed());
    EXPECT_EQ(zero.message(), "Column 's' is marked for encryption but its key is all zero");
    struct stat st;
    EXPECT_NE(::stat(p_zero.c_str(), &st), 0);
}

TEST_F(ReaderTest, EncryptedColumnsNeedTheirKey) {
    ColumnKey key{}, wrong{};
    for (size_t i = 0; i < key.size(); ++i) {
        key[i] = static_cast<uint8_t>(i * 7 + 1);
        wrong[i] = static_cast<uint8_t>(i * 7 + 2);
    }
    const std::string p = path("secret.varn");
    std::vector<std::vector<Row>> chunks(2);
    for (int i = 0; i < 40; ++i)
        chunks[i / 20].push_back({S("row" + std::to_string(i)), I(i * i)});
    write_varn(p, {column("secret", format::kTypeText, format::kFlagEncrypt, key),
                   column("n", format::kTypeInt, format::kFlagEncrypt, key)},
               chunks, 20);

    auto r = open_ok(p);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->encrypted(0));
    Bytes payload;
    std::vector<ByteView> entries;
    Status st = r->read_entries(1, 0, payload, entries);
    ASSERT_TRUE(st.failed());
    EXPECT_NE(st.message().find("chunk 1, column 0 'secret'"), std::string::npos) << st.message();
    EXPECT_NE(st.message().find("encrypted"), std::string::npos) << st.message();

    // Without a key, verification stops at decompression for those records.
    VerifyReport report;
    st = verify_file(*r, report);
    ASSERT_TRUE(st.is_ok()) << st.message();
    EXPECT_EQ(report.encrypted_skipped, 4u);
    EXPECT_EQ(report.payloads_decoded, 0u);

    r->set_key(key);
    ASSERT_TRUE(r->read_entries(1, 0, payload, entries).is_ok());
    ASSERT_EQ(entries.size(), 20u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(entries[3].data()), entries[3].size()), "row23");
    std::vector<int64_t> ints;
    ASSERT_TRUE(r->read_integers(1, 1, payload, ints).is_ok());
    EXPECT_EQ(ints[19], 39 * 39);
    EXPECT_EQ(check_all(p, &key), "");

    r->set_key(wrong);
    st = r->read_integers(0, 1, payload, ints);
    ASSERT_TRUE(st.failed());
    EXPECT_NE(st.message().find("is the key right?"), std::string::npos) << st.message();
    EXPECT_NE(check_all(p, &wrong), "");
}

// A wrong key is told by the key check value at once, for every column
// type: an encrypted bool column of whole bytes and a constant-step int
// column decode to plausible values under any key, so their records alone
// cannot tell. Files without a check value keep the record checks.
TEST_F(ReaderTest, KeyCheckValueRefusesAWrongKeyBeforeAnyData) {
    ColumnKey key{}, wrong{};
    for (size_t i = 0; i < key.size(); ++i) {
        key[i] = static_cast<uint8_t>(i * 11 + 5);
        wrong[i] = static_cast<uint8_t>(i * 13 + 1);
    }
    const std::string p = path("checked.varn");
    std::vector<std::vector<Row>> chunks(1);
    for (int i = 0; i < 64; ++i) chunks[0].push_back({B(i % 3 == 0), I(1000 + 7 * i), S("x")});
    write_varn(p, {column("flag", format::kTypeBool, format::kFlagEncrypt, key),
                   column("step", format::kTypeInt, format::kFlagEncrypt, key),
                   column("plain", format::kTypeText)},
               chunks);
    ASSERT_EQ(check_all(p), "") << "verify accepts the check value of a file with encrypted columns";
    ASSERT_EQ(check_all(p, &key), "");

    auto r = open_ok(p);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->first_encrypted(), 0u);
    r->set_key(key);
    EXPECT_TRUE(r->key_status().is_ok());
    EXPECT_TRUE(check_column_key(*r, 0).is_ok());

    r->set_key(wrong);
    Status st = r->key_status();
    ASSERT_TRUE(st.failed());
    EXPECT_EQ(st.kind(), ErrorKind::invalid_input);
    EXPECT_EQ(st.message(), "the key given for column 'flag' does not decrypt it (wrong key?): it does "
                            "not match the key check value in the file's header");
    Bytes payload;
    std::vector<uint8_t> flags;
    EXPECT_EQ(r->read_flags(0, 0, payload, flags).message(), st.message());
    EXPECT_EQ(check_column_key(*r, 0).message(), st.message());
    EXPECT_NE(check_all(p, &wrong), "");

    // Per-column keys: the check value is that of the first encrypted column;
    // a wrong key for a later one is left to its records.
    r->set_column_key(0, key);
    r->set_column_key(1, wrong);
    EXPECT_TRUE(r->key_status().is_ok());
    r->set_column_key(0, wrong);
    EXPECT_TRUE(r->key_status().failed());

    // The same file without its check value (as written before it): the
    // wrong key is not told by the bool column's record.
    Bytes f = read_file(p);
    std::fill(f.begin() + 48, f.begin() + 64, 0);
    write_file(p, f);
    auto old = open_ok(p);
    ASSERT_TRUE(old);
    old->set_key(wrong);
    EXPECT_TRUE(old->key_status().is_ok());
    EXPECT_TRUE(old->read_flags(0, 0, payload, flags).is_ok());

    // A check value needs a salt: nonzero bytes 48..63 under a zero salt are a fault.
    f = read_file(p);
    std::fill(f.begin() + 32, f.begin() + 48, 0);
    f[55] = 1;
    write_file(p, f);
    EXPECT_EQ(check_all(p).rfind("header at offset 48: the bytes 48 to 63 (a key check value)", 0), 0u)
        << check_all(p);
}

TEST_F(ReaderTest, SavedPercentCountsEveryRecordBlock) {
    const std::string p = path("ratio.varn");
    std::vector<KColumn> cols = {column("t", format::kTypeText), column("n", format::kTypeInt)};
    std::vector<std::vector<Row>> chunks(3);
    for (int i = 0; i < 3000; ++i)
        chunks[i / 1000].push_back({S(i % 3 ? "repeated value" : "other " + std::to_string(i % 7)), I(i % 11)});
    write_varn(p, cols, chunks, 1000);

    // The same payloads and blocks, built by the writer's own stages.
    double payload = 0, blocks = 0;
    for (const auto& rows : chunks) {
        for (size_t c = 0; c < cols.size(); ++c) {
            Bytes pl;
            StreamChunkColMeta meta;
            analyze_column(cols[c], rows, c, pl, meta);
            payload += static_cast<double>(pl.size());
            blocks += static_cast<double>(compress_block(as_bytes(pl)).size());
        }
    }
    auto saved = block_compression_saved_percent(p);
    ASSERT_TRUE(saved.is_ok()) << saved.message();
    EXPECT_DOUBLE_EQ(saved.value(), (payload - blocks) / payload * 100.0);
    EXPECT_GT(saved.value(), 50.0);

    const std::string junk = path("junk.bin");
    write_file(junk, Bytes(300, 'x'));
    saved = block_compression_saved_percent(junk);
    ASSERT_TRUE(saved.failed());
    EXPECT_EQ(saved.message().rfind("Not a valid VARN v2 file: " + junk + ": header at offset 0", 0), 0u)
        << saved.message();
    EXPECT_TRUE(block_compression_saved_percent(path("missing.varn")).failed());
}

// A two-column text file with one chunk whose blocks are stored as they are
// (payloads under ten bytes): offsets are easy to name.
class FaultTest : public ReaderTest {
protected:
    void SetUp() override {
        p_ = path("faults.varn");
        write_varn(p_, {column("a", format::kTypeText), column("b", format::kTypeText)},
                   {{{S("x"), S("yy")}, {S("z"), S("w")}}});
        clean_ = read_file(p_);
        auto r = open_ok(p_);
        ASSERT_TRUE(r);
        h_ = r->header();
        b_offset_ = r->meta(0, 1).block_offset;
        b_len_ = r->meta(0, 1).block_len;
    }
    std::string p_;
    Bytes clean_;
    VarnFileHeader h_;
    uint64_t b_offset_ = 0;
    uint64_t b_len_ = 0;
};

TEST_F(FaultTest, EachFaultNamesItsPlace) {
    const std::string b_record = "chunk 0, column 1 'b', record at offset " + std::to_string(b_offset_);
    const size_t trailer = clean_.size() - 16;
    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
        std::string expect;
    };
    const Case cases[] = {
        {"magic", [](Bytes& f) { f[0] = 'X'; }, "header at offset 0: not a VARN file (the first four bytes are 58 41 52 4E"},
        {"version", [](Bytes& f) { f[4] = 3; }, "header at offset 4: format version 3"},
        {"short file", [](Bytes& f) { f.erase(f.begin() + 60, f.end()); }, "header at offset 0: the file holds 60 bytes"},
        {"schema length", [](Bytes& f) { store_le<uint32_t>(f.data() + 64, 0xFFFFFF00u); },
         "header at offset 64: schema block length 4294967040 runs past the end"},
        {"column count", [](Bytes& f) { f[6] = 3; }, "schema block at offset 68"},
        {"index offset", [&](Bytes& f) { store_le<uint64_t>(f.data() + trailer + 8, 5); },
         "trailer at offset " + std::to_string(trailer) + ": index offset 5 lies outside"},
        {"index length", [&](Bytes& f) { f[trailer] ^= 1; },
         "trailer at offset " + std::to_string(trailer) + ": index block"},
        {"truncated", [](Bytes& f) { f.pop_back(); }, "trailer at offset"},
        {"record block", [&](Bytes& f) { f[b_offset_ + 13] ^= 0x20; },
         b_record + ": CRC-32 mismatch: stored 0x"},
        {"record checksum", [&](Bytes& f) { f[b_offset_] ^= 1; }, b_record + ": CRC-32 mismatch"},
        {"record length", [&](Bytes& f) { f[b_offset_ + 4] ^= 1; },
         b_record + ": length field says " + std::to_string(b_len_ ^ 1) + " bytes, the index says " +
             std::to_string(b_len_)},
        {"total rows", [](Bytes& f) { f[8] = 9; },
         "header at offset 8: total rows 9, but the index's chunks hold 2"},
        {"chunk count", [](Bytes& f) { f[16] = 0; },
         "header at offset 16: chunk count 0, but the index lists 1 chunks"},
        {"reserved", [](Bytes& f) { f[50] = 1; }, "header at offset 48: the reserved bytes"},
        {"salt without encryption", [](Bytes& f) { f[40] = 1; }, "header at offset 32: the bytes 32 to 47"},
        {"schema flags", [](Bytes& f) { f[68 + 1 + 3] = 2; },  // stored block: tag, 01 'a' 04 [flags]
         "schema block at offset 68: column 0 'a' has unknown flag bits 0x02"},
        {"schema type", [](Bytes& f) { f[68 + 1 + 2] = 5; },
         "chunk 0, column 0 'a', record at offset " + std::to_string(h_.records_offset) +
             ": a column of type 5 with minimum and maximum texts"},
        {"dictionary", [&](Bytes& f) { f[h_.records_offset - 1] = 1; },
         "dictionary block at offset " + std::to_string(h_.records_offset - 2) + ": decodes to 1 bytes, not"},
    };
    for (const Case& c : cases) {
        Bytes f = clean_;
        c.damage(f);
        write_file(p_, f);
        const std::string got = check_all(p_);
        EXPECT_EQ(got.rfind(c.expect, 0), 0u) << c.what << ": " << got;
    }
}

TEST_F(FaultTest, NoByteFlipOrTruncationCrashes) {
    ASSERT_LT(clean_.size(), 2000u);
    for (size_t at = 0; at < clean_.size(); ++at) {
        for (int mask : {0x01, 0x80, 0xFF}) {
            Bytes f = clean_;
            f[at] = static_cast<uint8_t>(f[at] ^ mask);
            write_file(p_, f);
            const std::string got = check_all(p_);
            // Everything but the creation time, the chunk size and the column
            // names is checked; a flip inside the records is always caught
            // and named by its record.
            if (at >= h_.records_offset && at < h_.index_offset) {
                EXPECT_NE(got.find("record at offset"), std::string::npos) << at << ": " << got;
            }
            if (at < 8 || (at >= 32 && at < 68)) {
                EXPECT_NE(got, "") << at;
            }
        }
    }
    for (size_t n = 0; n < clean_.size(); ++n) {
        write_file(p_, Bytes(clean_.begin(), clean_.begin() + static_cast<ptrdiff_t>(n)));
        EXPECT_NE(check_all(p_), "") << "truncated to " << n;
    }
}

TEST_F(ReaderTest, IndexStatisticsAreChecked) {
    const std::string p = path("stats.varn");
    std::vector<Row> rows = {{S("m"), I(4)}, {S("b"), I(-2)}, {S("q"), N()}};
    write_varn(p, {column("t", format::kTypeText), column("n", format::kTypeInt)}, {rows});
    ASSERT_EQ(check_all(p), "");
    const Bytes clean = read_file(p);
    const std::string t_place = "chunk 0, column 0 't', record at offset ";
    const std::string n_place = "chunk 0, column 1 'n', record at offset ";
    struct Case {
        const char* what;
        std::function<void(IndexEdit&)> edit;
        std::string expect;
    };
    const Case cases[] = {
        {"bloom", [](IndexEdit& e) { e.index[e.entry(1, 2, 0, 1) - 8] ^= 0x10; },
         "the index's Bloom filter does not match"},
        {"min text", [](IndexEdit& e) { e.index[e.entry(1, 2, 0, 0) + 8 + 8 + 1 + 4 + 2 + 1] = 'a'; },
         "the index's minimum text 'a' is not the column's 'b'"},
        {"max text", [](IndexEdit& e) { e.index[e.entry(1, 2, 0, 0) + 8 + 8 + 1 + 4 + 2 + 3] = 'p'; },
         "the index's maximum text 'p' is not the column's 'q'"},
        {"int max", [](IndexEdit& e) { e.index[e.entry(1, 2, 0, 1) + 8 + 8 + 1 + 4 + 1] = 10; },
         "the index gives minimum -2 and maximum 5, the values give -2 and 4"},
        {"null count", [](IndexEdit& e) { e.index[e.entry(1, 2, 0, 1) + 8 + 8 + 1] = 2; },
         "null count 2 exceeds the 1 zero values"},
        {"null count above rows", [](IndexEdit& e) { e.index[e.entry(1, 2, 0, 0) + 8 + 8 + 1] = 4; },
         "null count 4 exceeds the chunk's 3 rows"},
        {"encoding", [](IndexEdit& e) { e.index[e.entry(1, 2, 0, 0) + 16] = 3; }, "unknown encoding id 3"},
        {"wrong encoding", [](IndexEdit& e) { e.index[e.entry(1, 2, 0, 1) + 16] = 0; },
         "encoding 0 for a column of type 1"},
        {"record offset", [](IndexEdit& e) { e.index[e.entry(1, 2, 0, 0)] += 1; },
         "records overlap or repeat"},
        {"chunk rows", [](IndexEdit& e) { e.index[6] = 4; }, "header at offset 8: total rows 3, but the index's chunks hold 4"},
        {"chunk count", [](IndexEdit& e) { store_le<uint32_t>(e.index.data(), 0xFFFFFFFFu); },
         "4294967295 chunks announced"},
        {"trailing bytes", [](IndexEdit& e) { e.index.push_back(0); }, "1 bytes left over after the last entry"},
    };
    for (const Case& c : cases) {
        IndexEdit e(clean);
        c.edit(e);
        write_file(p, e.rebuilt());
        const std::string got = check_all(p);
        EXPECT_NE(got.find(c.expect), std::string::npos) << c.what << ": " << got;
        EXPECT_EQ(got.find("index block at offset") == 0 || got.find("chunk 0, column") == 0 ||
                      got.find("header at offset") == 0,
                  true)
            << c.what << ": " << got;
    }
}

TEST_F(ReaderTest, HostileSizesAreRefusedBeforeAllocating) {
    // One text cell of eight bytes: a stored block of ten bytes, which has
    // room for a range block claiming 4 GiB of one symbol.
    const std::string p = path("bomb.varn");
    write_varn(p, {column("t", format::kTypeText)}, {{{S("12345678")}}});
    Bytes f = read_file(p);
    auto r = open_ok(p);
    ASSERT_TRUE(r);
    const uint64_t at = r->meta(0, 0).block_offset;
    ASSERT_EQ(r->meta(0, 0).block_len, 10u);
    const uint8_t bomb[10] = {4, 1, 0, 'A', 0x00, 0x40, 0xFF, 0xFF, 0xFF, 0xFF};
    std::memcpy(f.data() + at + 12, bomb, sizeof bomb);
    store_le<uint32_t>(f.data() + at, static_cast<uint32_t>(::crc32_z(0, bomb, sizeof bomb)));
    write_file(p, f);
    ReaderOptions budget;
    budget.memory_budget = 64 << 20;
    const std::string got = check_all(p, nullptr, budget);
    EXPECT_EQ(got.rfind("chunk 0, column 0 't', record at offset " + std::to_string(at) +
                            ": block does not decode: range content length 4294967295 exceeds the limit",
                        0),
              0u)
        << got;

    // A record longer than its payload could ever compress to is not read:
    // three flags take one byte, stored in a block of two. The record of 40
    // flags (five bytes) stays where it is; the index says the chunk has 3 rows.
    const std::string flags = path("flags.varn");
    std::vector<Row> forty;
    for (int i = 0; i < 40; ++i) forty.push_back({B(i % 3 == 0 || i % 7 == 1)});
    write_varn(flags, {column("b", format::kTypeBool)}, {forty});
    IndexEdit e(read_file(flags));
    store_le<uint32_t>(e.index.data() + 6, 3);  // the chunk's row count
    write_file(flags, e.rebuilt());
    auto fr = open_ok(flags);
    ASSERT_TRUE(fr);
    ASSERT_GT(fr->meta(0, 0).block_len, 2u);
    Bytes payload;
    std::vector<uint8_t> bits;
    Status st = fr->read_flags(0, 0, payload, bits);
    ASSERT_TRUE(st.failed());
    EXPECT_NE(st.message().find("bytes, longer than any block of a payload of at most 1 bytes"), std::string::npos)
        << st.message();

    // The limit on text payloads is an option.
    const std::string q = path("small.varn");
    std::vector<Row> rows;
    for (int i = 0; i < 300; ++i) rows.push_back({S("cell number " + std::to_string(i))});
    write_varn(q, {column("t", format::kTypeText)}, {rows});
    ReaderOptions tight;
    tight.memory_budget = 1000;  // room for the index, not for the payload
    auto small = open_ok(q, tight);
    ASSERT_TRUE(small);
    std::vector<ByteView> entries;
    st = small->read_entries(0, 0, payload, entries);
    ASSERT_TRUE(st.failed());
    EXPECT_NE(st.message().find("decoding the chunk's 300 rows takes 4800 bytes, more than the "
                                "memory budget of 1000 bytes"),
              std::string::npos)
        << st.message();
    // Without the views the payload itself is over the budget.
    st = small->read_entry_payload(0, 0, payload);
    ASSERT_TRUE(st.failed());
    EXPECT_NE(st.message().find("exceeds the limit of 1000 bytes (the memory budget is 1000 bytes)"),
              std::string::npos)
        << st.message();
}

// The only cap on a block is the budget: a cell larger than a budget is
// refused by it, naming it, and the same file reads back under a larger one
// (so a file with one cell over the old fixed 1 GiB cap reads back whenever
// the budget allows; here 3 MiB stands in for it).
TEST_F(ReaderTest, ABigCellReadsBackWithinTheBudget) {
    const std::string p = path("big.varn");
    std::string cell(3 << 20, 'x');
    for (size_t i = 0; i < cell.size(); i += 7) cell[i] = static_cast<char>('a' + (i / 7) % 26);
    write_varn(p, {column("t", format::kTypeText)}, {{{S(cell)}}});
    ReaderOptions small;
    small.memory_budget = 2 << 20;
    const std::string refused = check_all(p, nullptr, small);
    EXPECT_NE(refused.find("the memory budget is 2097152 bytes"), std::string::npos) << refused;
    ReaderOptions enough;
    enough.memory_budget = 8 << 20;
    EXPECT_EQ(check_all(p, nullptr, enough), "");
    auto r = open_ok(p, enough);
    ASSERT_TRUE(r);
    std::vector<KVal> cells;
    ASSERT_TRUE(r->read_cells(0, 0, cells).is_ok());
    EXPECT_EQ(text_of(cells[0]).size(), cell.size() + 2);
}

// A small LZ stream coded with the range coder that declares 4 GiB, put in
// place of each block the reader decodes: refused by the budget, with the
// place named, before the stream is allocated.
TEST_F(ReaderTest, DecompressionBombsStopAtTheBudget) {
    const std::string p = path("bomb.varn");
    write_varn(p, {column("t", format::kTypeText)}, {{{S("12345678")}}});
    const Bytes clean = read_file(p);
    const uint8_t bomb[10] = {static_cast<uint8_t>(BlockTag::LzRange), 1, 0, 'A', 0x00, 0x40,
                              0xFF, 0xFF, 0xFF, 0xFF};
    const Bytes bomb_block(bomb, bomb + sizeof bomb);
    IndexEdit plain(clean);
    const uint64_t record = plain.index_offset - 12 - 10;
    struct Case {
        const char* what;
        std::function<Bytes()> make;
        std::string expect;
    };
    const Case cases[] = {
        {"schema",
         [&] {
             const uint32_t s = load_le<uint32_t>(clean.data() + 64);
             Bytes f(clean.begin(), clean.begin() + 64);
             put_le<uint32_t>(f, sizeof bomb);
             f.insert(f.end(), bomb_block.begin(), bomb_block.end());
             f.insert(f.end(), clean.begin() + 68 + s, clean.end());
             return f;
         },
         "schema block at offset 68: block does not decode: range content length 4294967295 "
         "exceeds the limit of 67108864 bytes (the memory budget is 67108864 bytes (64.0 MiB))"},
        {"index",
         [&] {
             Bytes f(clean.begin(), clean.begin() + static_cast<ptrdiff_t>(plain.index_offset));
             f.insert(f.end(), bomb_block.begin(), bomb_block.end());
             put_le<uint64_t>(f, sizeof bomb);
             put_le<uint64_t>(f, plain.index_offset);
             return f;
         },
         "index block at offset " + std::to_string(plain.index_offset) +
             ": block does not decode: range content length 4294967295 exceeds the limit of 67108864 bytes"},
        {"record",
         [&] {
             Bytes f = clean;
             std::memcpy(f.data() + record + 12, bomb, sizeof bomb);
             store_le<uint32_t>(f.data() + record, static_cast<uint32_t>(::crc32_z(0, bomb, sizeof bomb)));
             return f;
         },
         "chunk 0, column 0 't', record at offset " + std::to_string(record) +
             ": block does not decode: range content length 4294967295 exceeds the limit of 67108864 bytes"},
        {"stored index larger than the budget",
         [&] {
             Bytes f(clean.begin(), clean.begin() + static_cast<ptrdiff_t>(plain.index_offset));
             f.push_back(static_cast<uint8_t>(BlockTag::Stored));
             f.insert(f.end(), (64 << 20) + 10, 0);
             put_le<uint64_t>(f, (64 << 20) + 11);
             put_le<uint64_t>(f, plain.index_offset);
             return f;
         },
         "index block at offset " + std::to_string(plain.index_offset) + ": block of 67108875 bytes "
             "passes the memory budget of 67108864 bytes (64.0 MiB)"},
    };
    ReaderOptions budget;
    budget.memory_budget = 64 << 20;
    for (const Case& c : cases) {
        write_file(p, c.make());
        const std::string got = check_all(p, nullptr, budget);
        EXPECT_EQ(got.rfind(c.expect, 0), 0u) << c.what << ": " << got;
    }
}

// ---------------------------------------------------------------------------
// Field text.

TEST(FieldText, ParsesEachTypeStrictly) {
    struct Case {
        uint8_t type;
        std::string text;
        std::string want;  // the value as JSON text, or "error: <substring>"
    };
    const Case cases[] = {
        {format::kTypeInt, "42", "42"},
        {format::kTypeInt, "+7", "7"},
        {format::kTypeInt, "-0012", "-12"},
        {format::kTypeInt, "-9223372036854775808", "-9223372036854775808"},
        {format::kTypeInt, "9223372036854775808", "error: outside the 64-bit integer range"},
        {format::kTypeInt, "1.0", "error: is not an integer"},
        {format::kTypeInt, "+", "error: is not an integer"},
        {format::kTypeInt, " 1", "error: is not an integer"},
        {format::kTypeInt, "", "null"},
        {format::kTypeFloat, "1.5", "1.5"},
        {format::kTypeFloat, "-.5e1", "-5.0"},
        {format::kTypeFloat, "3.", "3.0"},
        {format::kTypeFloat, "+2E-2", "0.02"},
        {format::kTypeFloat, "1e-400", "0.0"},
        {format::kTypeFloat, "1e400", "error: beyond the range of a double"},
        {format::kTypeFloat, "inf", "error: is not a decimal number"},
        {format::kTypeFloat, "nan", "error: is not a decimal number"},
        {format::kTypeFloat, "0x10", "error: is not a decimal number"},
        {format::kTypeFloat, "1e", "error: is not a decimal number"},
        {format::kTypeFloat, ".", "error: is not a decimal number"},
        {format::kTypeBool, "TRUE", "true"},
        {format::kTypeBool, "0", "false"},
        {format::kTypeBool, "fAlSe", "false"},
        {format::kTypeBool, "yes", "error: is not a boolean"},
        {format::kTypeBool, "", "null"},
        {format::kTypeText, "", "\"\""},
        {format::kTypeText, "a b", "\"a b\""},
        {format::kTypeBytes, "0aFF", "\"0aff\""},
        {format::kTypeBytes, "abc", "error: odd number of hex digits"},
        {format::kTypeBytes, "zz", "error: is not hex digits"},
        {9, "01", "\"01\""},
        {format::kTypeNested6, "{\"a\":[1,2.5,\"x\",true,null,{}],\"a\":-3}",
         "{\"a\":[1,2.5,\"x\",true,null,{}],\"a\":-3}"},
        {format::kTypeNested6, " [ ] ", "[]"},
        {format::kTypeNested6, "\"\\u00e9\\ud83d\\ude00\\n\\/\"", "\"\xC3\xA9\xF0\x9F\x98\x80\\n/\""},
        {format::kTypeNested6, "12345678901234567890", "12345678901234567168.0"},
        {format::kTypeNested6, "-0", "0"},
        {format::kTypeNested6, "-0.0", "-0.0"},
        {format::kTypeNested6, "null", "null"},
        {format::kTypeNested6, "\"a,b\"", "\"a\\u002cb\""},
        {format::kTypeNested6, "[1,]", "error: invalid JSON at byte 3: expected a value"},
        {format::kTypeNested6, "{\"a\" 1}", "error: invalid JSON at byte 5: expected ':'"},
        {format::kTypeNested6, "[1] x", "error: text after the value"},
        {format::kTypeNested6, "\"\\ud800\"", "error: unpaired high surrogate"},
        {format::kTypeNested6, "\"\\udc00\"", "error: unpaired low surrogate"},
        {format::kTypeNested6, "\"a\tb\"", "error: control character"},
        {format::kTypeNested6, "01", "error: text after the value"},
        {format::kTypeNested6, "[", "error: expected a value"},
        {format::kTypeNested6, "tru", "error: expected a value"},
    };
    for (const Case& c : cases) {
        auto got = parse_field(c.type, as_bytes(c.text.data(), c.text.size()));
        if (c.want.rfind("error: ", 0) == 0) {
            ASSERT_TRUE(got.failed()) << c.text << " gave " << text_of(got.value());
            EXPECT_NE(got.message().find(c.want.substr(7)), std::string::npos)
                << c.text << ": " << got.message();
            continue;
        }
        ASSERT_TRUE(got.is_ok()) << c.text << ": " << got.message();
        EXPECT_EQ(text_of(got.value()), c.want) << c.text;
    }
}

TEST(FieldText, DeepJsonNeedsNoStack) {
    const size_t depth = kMaxJsonDepth;
    std::string text(depth, '[');
    text.append(depth, ']');
    auto v = parse_json(as_bytes(text.data(), text.size()));
    ASSERT_TRUE(v.is_ok()) << v.message();
    EXPECT_EQ(text_of(v.value()), text);
    text = "[" + text + "]";
    v = parse_json(as_bytes(text.data(), text.size()));
    ASSERT_TRUE(v.failed());
    EXPECT_NE(v.message().find("nested deeper than"), std::string::npos);
}

TEST(FieldText, PrintedValuesParseBackToTheSameValue) {
    // JSON: whatever the parser makes, printing and parsing again keeps it.
    const char* json[] = {"{\"k\":{\"k\":[[],{},\"\\\"\\\\\\u0001\"]}}", "[0.1,1e300,-2.5e-300,5e-324]",
                          "[-9223372036854775808,9223372036854775807,9223372036854775808]",
                          "\"\xE6\x9D\xB1,\\r\""};
    for (const char* j : json) {
        auto v = parse_json(as_bytes(j, std::strlen(j)));
        ASSERT_TRUE(v.is_ok()) << j << ": " << v.message();
        const std::string printed = text_of(v.value());
        EXPECT_EQ(printed.find(',') == std::string::npos || printed[0] == '[' || printed[0] == '{', true);
        auto again = parse_json(as_bytes(printed.data(), printed.size()));
        ASSERT_TRUE(again.is_ok()) << printed;
        EXPECT_TRUE(same(v.value(), again.value())) << j << " -> " << printed;
    }
    // Map and Bytes, which JSON lacks, print as arrays and hex strings.
    KVal m = KVal::make_map({});
    std::get<KVal::MapT>(m.v).emplace_back(I(1), Y({0xAB}));
    std::get<KVal::MapT>(m.v).emplace_back(S("x"), KVal::make_map({}));
    EXPECT_EQ(text_of(m), "[[1,\"ab\"],[\"x\",[]]]");
    EXPECT_EQ(text_of(F(std::numeric_limits<double>::quiet_NaN())), "null");

    // Float columns: the printed 1/10000 units read back to the same units.
    struct Scaled {
        int64_t units;
        const char* text;
    };
    for (const Scaled& s : {Scaled{12345, "1.2345"}, Scaled{-5, "-0.0005"}, Scaled{30000, "3"},
                            Scaled{0, "0"}, Scaled{-120000, "-12"}, Scaled{10, "0.001"},
                            Scaled{std::numeric_limits<int64_t>::min(), "-922337203685477.5808"}}) {
        std::string out;
        append_scaled_text(s.units, out);
        EXPECT_EQ(out, s.text);
    }
    std::mt19937_64 rng(7);
    for (int i = 0; i < 20000; ++i) {
        const int64_t units = static_cast<int64_t>(rng() >> (i % 2 ? 14 : 40)) * (i % 3 ? 1 : -1);
        std::string out;
        append_scaled_text(units, out);
        auto v = parse_field(format::kTypeFloat, as_bytes(out.data(), out.size()));
        ASSERT_TRUE(v.is_ok()) << out;
        ASSERT_EQ(coerce_scaled(v.value()), units) << out;
    }
    std::string hex;
    append_hex_text(as_bytes("\x00\x7f\xff", 3), hex);
    EXPECT_EQ(hex, "007fff");
    EXPECT_EQ(format::type_code_from_name("json"), format::kTypeNested6);
    EXPECT_EQ(format::type_code_from_name("bytes"), format::kTypeBytes);
    EXPECT_FALSE(format::type_code_from_name("string"));
    EXPECT_FALSE(format::type_code_from_name("none"));
    EXPECT_STREQ(format::type_info(7).name, "json");
    EXPECT_STREQ(format::type_info(200).name, "bytes");
}

}  // namespace
}  // namespace varn
