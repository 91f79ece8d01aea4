// The conversion on worker threads: the same bytes and the same errors for
// every thread count, on files of several chunks with text, typed and
// encrypted columns. (The suite name puts these tests in the TSan run.)
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "convert/csv_converter.h"
#include "csv/field_parse.h"
#include "format/file/chunk_pipeline.h"
#include "format/file/reader.h"
#include "format/format.h"
#include "temp_files.h"

namespace varn {
namespace {

constexpr unsigned kThreadCounts[] = {2, 5};

class PipelineThreads : public TempFileTest {
protected:
    PipelineThreads() : TempFileTest("varn_pipe_") {}

    // `rows` data rows of a text, an int, a float, a bool and a second text
    // column, with repeats, empty and multi-byte fields, so that the records
    // take different encodings and block forms.
    static std::string table(size_t rows) {
        std::string csv = "name,count,price,flag,note\n";
        uint64_t x = 88172645463325252ull;
        for (size_t r = 0; r < rows; ++r) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            csv += "user" + std::to_string(x % 5000) + ",";
            csv += (r % 97 == 0 ? std::string() : std::to_string(static_cast<int64_t>(r) - 1000)) + ",";
            csv += std::to_string(x % 100000) + "." + std::to_string(x % 7) + ",";
            csv += (x & 1) ? "true," : "false,";
            csv += (r % 11 == 0) ? "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC" : std::string(x % 40, 'a' + static_cast<char>(r % 26));
            csv += "\n";
        }
        return csv;
    }
    // `rows` rows of `columns` small Int columns (c0, c1, ...): enough
    // columns make a batch of typed rows large, and the next batch's rows
    // are then made only once the chunk in flight is written.
    static std::string numbers(size_t rows, size_t columns) {
        std::string csv;
        for (size_t c = 0; c < columns; ++c) csv += (c ? ",c" : "c") + std::to_string(c);
        csv += "\n";
        for (size_t r = 0; r < rows; ++r) {
            for (size_t c = 0; c < columns; ++c) {
                if (c) csv += ',';
                csv += std::to_string((r * 31 + c * 7) % 1000);
            }
            csv += "\n";
        }
        return csv;
    }
    // typed: Int, Float, Bool and an encrypted Text column, parsed into KVal
    // rows, or with `values` into the batch's values (empty cells kept as
    // nulls) as varn compress does.
    static ConversionHooks hooks(bool typed, unsigned threads, bool values = false) {
        ConversionHooks h;
        h.report = false;
        h.threads = threads;
        h.parse_values = values;
        h.lossy = values;
        if (typed) {
            h.parse_field = parse_field;
            h.declarations = {ColumnDeclaration{"count", format::kTypeInt, false, {}},
                              ColumnDeclaration{"price", format::kTypeFloat, false, {}},
                              ColumnDeclaration{"flag", format::kTypeBool, false, {}}};
            ColumnDeclaration secret{"note", format::kTypeText, true, {}};
            for (size_t i = 0; i < secret.key.size(); ++i) secret.key[i] = static_cast<uint8_t>(7 * i + 1);
            h.declarations.push_back(secret);
        }
        return h;
    }
    // The file without its creation time.
    static Bytes content(const Bytes& f) {
        Bytes b = f;
        if (b.size() >= 32) std::fill(b.begin() + 24, b.begin() + 32, 0);
        return b;
    }
    // A file with an encrypted column has a salt of its own, so its
    // encrypted records differ from file to file: the index, the clear
    // records and the decrypted payloads must be the same.
    static void expect_same_encrypted(const std::string& a, const std::string& b, const ColumnKey& key) {
        auto ra = VarnReader::open(a), rb = VarnReader::open(b);
        ASSERT_TRUE(ra.is_ok() && rb.is_ok());
        VarnReader& x = *ra.value();
        VarnReader& y = *rb.value();
        x.set_key(key);
        y.set_key(key);
        ASSERT_EQ(x.chunk_count(), y.chunk_count());
        ASSERT_EQ(x.column_count(), y.column_count());
        Bytes pa, pb;
        for (size_t chunk = 0; chunk < x.chunk_count(); ++chunk) {
            EXPECT_EQ(x.chunk_rows(chunk), y.chunk_rows(chunk));
            for (size_t col = 0; col < x.column_count(); ++col) {
                const StreamChunkColMeta &ma = x.meta(chunk, col), &mb = y.meta(chunk, col);
                EXPECT_TRUE(ma.block_offset == mb.block_offset && ma.block_len == mb.block_len &&
                            ma.min_str == mb.min_str && ma.max_str == mb.max_str && ma.min == mb.min &&
                            ma.max == mb.max && ma.bloom == mb.bloom && ma.null_count == mb.null_count);
                ASSERT_TRUE(x.read_payload(chunk, col, pa).is_ok());
                ASSERT_TRUE(y.read_payload(chunk, col, pb).is_ok());
                EXPECT_TRUE(pa == pb) << "chunk " << chunk << " column " << col;
            }
        }
    }
};

// Workers beyond the columns of two chunks or beyond kMaxWorkers would only
// hold memory: each keeps a block compressor and its buffers.
TEST(PipelineWorkers, CountIsBoundedByTheWorkAndTheCap) {
    const unsigned cap = ChunkPipeline::kMaxWorkers;
    struct Case {
        unsigned threads;
        size_t columns;
        unsigned want;
    } cases[] = {
        {0, 10, 1}, {1, 10, 1}, {2, 10, 2}, {2, 0, 1}, {8, 1, 2}, {5, 2, 4},
        {cap, 100, cap}, {cap + 1, 100, cap}, {32, 100, cap}, {1024, 65535, cap},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ChunkPipeline::workers_for(c.threads, c.columns), c.want) << c.threads << " threads, " << c.columns << " columns";
}

TEST_F(PipelineThreads, SameBytesForEveryThreadCount) {
    struct Case {
        const char* what;
        size_t rows;
        bool typed;
        bool values = false;
        size_t int_columns = 0;  // a table of numbers instead, every column declared Int
    };
    const Case cases[] = {
        {"no rows", 0, false},
        {"part of a chunk", 1000, false},
        {"exactly two chunks", 2 * 65536, false},
        {"two and a bit chunks, text", 2 * 65536 + 123, false},
        {"two and a bit chunks, typed and encrypted", 2 * 65536 + 123, true},
        {"three and a bit chunks, typed values and encrypted", 3 * 65536 + 7, true, true},
        {"two and a bit chunks of 8 Int columns, typed rows", 2 * 65536 + 5, false, false, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string in = path("in.csv"), one = path("one.varn"), many = path("many.varn");
        write(in, c.int_columns ? numbers(c.rows, c.int_columns) : table(c.rows));
        auto hooks_for = [&](unsigned threads) {
            ConversionHooks h = hooks(c.typed, threads, c.values);
            if (c.int_columns) h.parse_field = parse_field;
            for (size_t col = 0; col < c.int_columns; ++col)
                h.declarations.push_back(ColumnDeclaration{"c" + std::to_string(col), format::kTypeInt, false, {}});
            return h;
        };
        Result<ConversionSummary> o = compress_csv(in, one, hooks_for(1));
        ASSERT_TRUE(o.is_ok()) << o.message();
        const Bytes want = content(read_file(one));
        for (unsigned t : kThreadCounts) {
            SCOPED_TRACE(t);
            const ConversionHooks h = hooks_for(t);
            o = compress_csv(in, many, h);
            ASSERT_TRUE(o.is_ok()) << o.message();
            if (c.typed) {
                expect_same_encrypted(one, many, h.declarations.back().key);
            } else {
                EXPECT_TRUE(content(read_file(many)) == want);
            }
        }
    }
}

TEST_F(PipelineThreads, ErrorsAreThoseOfOneThread) {
    const std::string good = table(2 * 65536 + 10);
    // A bad field and a bad byte in the third chunk, after two chunks in flight.
    const size_t third = good.find('\n', good.size() - 200) + 1;
    struct Case {
        const char* what;
        std::string csv;
        bool typed;
        const char* out;  // empty: a temporary file
        bool values = false;
    };
    std::string bad_int = good.substr(0, third) + "u,12x,1.5,true,n\n" + good.substr(third);
    std::string bad_utf8 = good.substr(0, third) + "u,\xFF,1,true,n\n" + good.substr(third);
    const Case cases[] = {
        {"a typed field that does not parse", bad_int, true, ""},
        {"a typed value that does not parse", bad_int, true, "", true},
        {"invalid UTF-8", bad_utf8, false, ""},
        {"a full disk", good, false, "/dev/full"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.out[0] && ::access(c.out, W_OK) != 0) continue;
        const std::string in = path("in.csv"), out = c.out[0] ? std::string(c.out) : path("out.varn");
        write(in, c.csv);
        const Result<ConversionSummary> want = compress_csv(in, out, hooks(c.typed, 1, c.values));
        ASSERT_FALSE(want.is_ok());
        for (unsigned t : kThreadCounts) {
            SCOPED_TRACE(t);
            const Result<ConversionSummary> got = compress_csv(in, out, hooks(c.typed, t, c.values));
            EXPECT_EQ(got.kind(), want.kind());
            EXPECT_EQ(got.message(), want.message());
        }
    }
}

TEST_F(PipelineThreads, StopsWhenAskedWithChunksInFlight) {
    const std::string in = path("in.csv"), out = path("out.varn");
    write(in, table(3 * 65536));
    for (unsigned t : kThreadCounts) {
        ConversionHooks h = hooks(false, t);
        int calls = 0;
        h.after_batch = [&](uint64_t, uint64_t) { return ++calls < 2; };
        const Result<ConversionSummary> o = compress_csv(in, out, h);
        EXPECT_EQ(o.kind(), ErrorKind::interrupted);
        EXPECT_EQ(calls, 2);
    }
}

}  // namespace
}  // namespace varn
