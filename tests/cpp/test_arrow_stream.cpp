// The Arrow C stream over a file, consumed here by hand: the schema's
// formats, 32- and 64-bit offsets, validity from null counts and json nulls,
// text that is not UTF-8, chunk pruning, and release in any order.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "arrow/arrow_stream.h"
#include "scan/prune.h"
#include "format/file/writer.h"
#include "format/format.h"
#include "temp_files.h"

namespace varn::arrow {
namespace {

Row row(std::vector<KVal> cells) { return Row(std::make_move_iterator(cells.begin()), std::make_move_iterator(cells.end())); }

class ArrowStreamTest : public TempFileTest {
protected:
    ArrowStreamTest() : TempFileTest("arrow_stream_") {}

    std::string write(std::vector<KColumn> columns, const std::vector<std::vector<Row>>& chunks) {
        const std::string p = path("f.varn");
        auto w = StreamingVarnWriter::begin(std::move(columns), 65536, p);
        EXPECT_TRUE(w.is_ok()) << w.message();
        for (const auto& rows : chunks) {
            Status st = w.value()->write_chunk(rows, rows.size());
            EXPECT_TRUE(st.is_ok()) << st.message();
        }
        auto done = w.value()->finish();
        EXPECT_TRUE(done.is_ok()) << done.message();
        return p;
    }

    static void open_stream(const std::string& p, ScanOptions options, ArrowArrayStream* s,
                            const ReaderOptions& ro = {}) {
        auto r = VarnReader::open(p, ro);
        ASSERT_TRUE(r.is_ok()) << r.message();
        ASSERT_TRUE(check_scan(*r.value(), options).is_ok());
        make_stream(r.take(), std::move(options), std::make_shared<ScanStats>(), s);
    }
};

template <class Offset>
std::vector<std::string> texts(const ArrowArray* a) {
    std::vector<std::string> out;
    const auto* off = static_cast<const Offset*>(a->buffers[1]);
    const auto* data = static_cast<const char*>(a->buffers[2]);
    const auto* valid = static_cast<const uint8_t*>(a->buffers[0]);
    for (int64_t i = 0; i < a->length; ++i) {
        if (valid && !((valid[i / 8] >> (i % 8)) & 1)) {
            out.push_back("<null>");
        } else {
            out.emplace_back(data + off[i], static_cast<size_t>(off[i + 1] - off[i]));
        }
    }
    return out;
}

TEST_F(ArrowStreamTest, FormatsOffsetsAndNulls) {
    std::vector<Row> rows;
    rows.push_back(row({KVal::make_str("a"), KVal::make_int(0), KVal::make_null(), KVal::make_str("[1]")}));
    rows.push_back(row({KVal::make_str("bb"), KVal::make_null(), KVal::make_null(), KVal::make_null()}));
    rows.push_back(row({KVal::make_str(""), KVal::make_int(7), KVal::make_float(1.5), KVal::make_str("x")}));
    // json cells from KVal: the nested column stores the cell itself
    rows[0][3] = KVal::make_array({KVal::make_int(1)});
    rows[2][3] = KVal::make_str("x");
    const std::string p = write({make_column("t"), make_column("i", format::kTypeInt),
                                 make_column("f", format::kTypeFloat), make_column("j", format::kTypeNested6)},
                                {rows});
    for (bool large : {false, true}) {
        ReaderOptions ro;
        ro.large_offsets = large;
        ArrowArrayStream s;
        open_stream(p, ScanOptions{{0, 1, 2, 3}, {}, 0}, &s, ro);
        ArrowSchema schema;
        ASSERT_EQ(s.get_schema(&s, &schema), 0);
        ASSERT_EQ(schema.n_children, 4);
        EXPECT_STREQ(schema.format, "+s");
        EXPECT_STREQ(schema.children[0]->format, large ? "U" : "u");
        EXPECT_STREQ(schema.children[1]->format, "l");
        EXPECT_STREQ(schema.children[2]->format, "g");
        EXPECT_STREQ(schema.children[3]->format, large ? "U" : "u");
        EXPECT_STREQ(schema.children[1]->name, "i");
        // A consumer may move a child out and release the parent first.
        ArrowSchema moved = *schema.children[2];
        schema.children[2]->release = nullptr;
        schema.release(&schema);
        EXPECT_STREQ(moved.format, "g");
        moved.release(&moved);

        ArrowArray batch;
        ASSERT_EQ(s.get_next(&s, &batch), 0);
        ASSERT_NE(batch.release, nullptr);
        ASSERT_EQ(batch.length, 3);
        const ArrowArray* t = batch.children[0];
        EXPECT_EQ(large ? texts<int64_t>(t) : texts<int32_t>(t), (std::vector<std::string>{"a", "bb", ""}));
        // int: one stored 0 and one null -> the zero is not settled; both 0
        const ArrowArray* i = batch.children[1];
        EXPECT_EQ(i->null_count, 0);
        EXPECT_EQ(static_cast<const int64_t*>(i->buffers[1])[2], 7);
        // float: two stored zeros, two nulls -> both null
        const ArrowArray* f = batch.children[2];
        EXPECT_EQ(f->null_count, 2);
        EXPECT_EQ(static_cast<const double*>(f->buffers[1])[2], 1.5);
        const ArrowArray* j = batch.children[3];
        EXPECT_EQ(j->null_count, 1);
        EXPECT_EQ(large ? texts<int64_t>(j) : texts<int32_t>(j),
                  (std::vector<std::string>{"[1]", "<null>", "\"x\""}));
        ArrowArray keep = *batch.children[3];
        batch.children[3]->release = nullptr;
        batch.release(&batch);
        EXPECT_EQ(keep.length, 3);
        keep.release(&keep);
        ASSERT_EQ(s.get_next(&s, &batch), 0);
        EXPECT_EQ(batch.release, nullptr);  // the end
        s.release(&s);
    }
}

// Text and byte strings of every length up to 40 (a chunk given out whole
// copies them 16 bytes at a time), lengths at the one- and two-byte length
// prefixes, nulls and empty strings, near the payload's end: the whole-chunk
// batch and small batches (built from per-cell views) give the same cells.
TEST_F(ArrowStreamTest, TextOfEveryLengthWholeAndInBatches) {
    const std::string pattern = "abc\xC3\xA9\xD0\xBC\xE7\xA7\x81xyz\xF0\x9F\x98\x80-";
    auto text_of = [&](size_t len) {  // valid UTF-8 of exactly len bytes
        std::string t;
        for (size_t i = 0; t.size() < len; ++i) {
            const unsigned char b = static_cast<unsigned char>(pattern[i % pattern.size()]);
            const size_t w = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
            if (t.size() + w > len) {
                t.append(len - t.size(), 'q');
                break;
            }
            t += pattern.substr(i % pattern.size(), w);
            i += w - 1;
        }
        return t;
    };
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 40; ++n) lengths.push_back(n);
    for (size_t n : {127u, 128u, 129u, 16383u, 16384u, 70000u, 3u, 0u, 17u}) lengths.push_back(n);
    // Two files: the text column's empty cells are nulls (then the nulls
    // show), or nulls and empty strings both (then they stay hidden).
    for (bool mixed : {false, true}) {
        std::vector<std::vector<Row>> chunks(2);
        std::vector<std::string> want_t, want_b;
        for (size_t c = 0; c < 2; ++c) {
            for (size_t k = 0; k < lengths.size(); ++k) {
                const size_t n = lengths[(k + c * 7) % lengths.size()];
                const std::string t = text_of(n);
                Bytes b(n);
                for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 37 + k);  // any bytes
                // Mixed: chunk 0's first empty cell is null, its other one an empty string.
                const bool null_text = n == 0 && (!mixed || (c == 0 && k == 0));
                chunks[c].push_back(row({null_text ? KVal::make_null() : KVal::make_str(t), KVal::make_bytes(b)}));
                want_t.push_back(null_text && !mixed ? "<null>" : t);
                want_b.emplace_back(b.begin(), b.end());
            }
        }
        const std::string p = write({make_column("t"), make_column("b", format::kTypeBytes)}, chunks);
        for (bool large : {false, true}) {
            for (size_t batch_rows : {size_t{0}, size_t{7}}) {
                SCOPED_TRACE(testing::Message() << "mixed " << mixed << ", large " << large << ", batch rows "
                                                << batch_rows);
                ReaderOptions ro;
                ro.large_offsets = large;
                ArrowArrayStream s;
                open_stream(p, ScanOptions{{0, 1}, {}, batch_rows}, &s, ro);
                std::vector<std::string> got_t, got_b;
                for (;;) {
                    ArrowArray batch;
                    ASSERT_EQ(s.get_next(&s, &batch), 0) << s.get_last_error(&s);
                    if (!batch.release) break;
                    for (size_t i = 0; i < 2; ++i) {
                        const auto v = large ? texts<int64_t>(batch.children[i]) : texts<int32_t>(batch.children[i]);
                        (i == 0 ? got_t : got_b).insert((i == 0 ? got_t : got_b).end(), v.begin(), v.end());
                    }
                    batch.release(&batch);
                }
                s.release(&s);
                EXPECT_EQ(got_t, want_t);
                EXPECT_EQ(got_b, want_b);
            }
        }
    }
}

// Every cell of a batch's children as text, by the schema's formats.
std::vector<std::string> dump_batch(const ArrowSchema& schema, const ArrowArray& batch) {
    std::vector<std::string> out{"rows " + std::to_string(batch.length)};
    for (int64_t c = 0; c < batch.n_children; ++c) {
        const ArrowArray* a = batch.children[c];
        const std::string f = schema.children[c]->format;
        const auto* valid = static_cast<const uint8_t*>(a->buffers[0]);
        auto is_null = [&](int64_t i) { return valid && !((valid[i / 8] >> (i % 8)) & 1); };
        if (f == "u" || f == "z") {
            for (auto& t : texts<int32_t>(a)) out.push_back(std::move(t));
            continue;
        }
        if (f == "U" || f == "Z") {
            for (auto& t : texts<int64_t>(a)) out.push_back(std::move(t));
            continue;
        }
        for (int64_t i = 0; i < a->length; ++i) {
            if (is_null(i)) {
                out.push_back("<null>");
            } else if (f == "l") {
                out.push_back(std::to_string(static_cast<const int64_t*>(a->buffers[1])[i]));
            } else if (f == "g") {
                out.push_back(std::to_string(static_cast<const double*>(a->buffers[1])[i]));
            } else {
                const auto* bits = static_cast<const uint8_t*>(a->buffers[1]);
                out.push_back((bits[i / 8] >> (i % 8)) & 1 ? "true" : "false");
            }
        }
    }
    return out;
}

// Chunks decode ahead of the consumer, column by column across chunk
// boundaries, within a window the memory budget bounds: one thread,
// several, and a budget that keeps the window small give the same batches
// and the same counts, with filters, small batches, repeated columns and a
// chosen chunk order too.
TEST_F(ArrowStreamTest, ThreadsAndBudgetGiveTheSameBatches) {
    std::vector<std::vector<Row>> chunks(11);
    for (size_t c = 0; c < chunks.size(); ++c) {
        const int rows = 40 + static_cast<int>(c * 37 % 90);
        for (int i = 0; i < rows; ++i) {
            const bool null = (i + static_cast<int>(c)) % 17 == 0;
            const std::string text(static_cast<size_t>((i * 13 + static_cast<int>(c) * 29) % 300),
                                   static_cast<char>('a' + (i + c) % 26));
            chunks[c].push_back(row({null ? KVal::make_null() : KVal::make_str(text),
                                     KVal::make_int(static_cast<int64_t>(c) * 1000 + i),
                                     null ? KVal::make_null() : KVal::make_float(i * 0.25 - 3),
                                     KVal::make_bool(i % 3 == 0)}));
        }
    }
    const std::string p = write({make_column("t"), make_column("i", format::kTypeInt),
                                 make_column("f", format::kTypeFloat), make_column("b", format::kTypeBool)},
                                chunks);
    auto at_least = [](int64_t v) {
        FilterValue x;
        x.integer = v;
        return Filter{1, FilterOp::Ge, {x}};
    };
    struct Case {
        const char* name;
        ScanOptions options;
    };
    const Case cases[] = {
        {"every column", ScanOptions{{0, 1, 2, 3}, {}, 0}},
        {"small batches, repeated columns", ScanOptions{{3, 0, 0, 1}, {}, 16}},
        {"a filter", ScanOptions{{0, 2}, {at_least(3040)}, 0}},
        {"a filter and small batches", ScanOptions{{2, 1}, {at_least(5020)}, 7}},
        {"chosen chunks", ScanOptions{{1, 0}, {}, 0, std::vector<size_t>{7, 2, 9, 2}}},
        {"no column", ScanOptions{{}, {}, 0}},
    };
    struct Run {
        unsigned threads;
        uint64_t budget;  // 0: the default
    };
    const Run runs[] = {{1, 0}, {2, 0}, {5, 0}, {3, 64 << 10}};
    for (const Case& c : cases) {
        std::vector<std::string> want;
        std::array<uint64_t, 4> want_stats{};
        for (const Run& run : runs) {
            SCOPED_TRACE(testing::Message() << c.name << ", " << run.threads << " threads, budget " << run.budget);
            ReaderOptions ro;
            if (run.budget) ro.memory_budget = run.budget;
            ScanOptions options = c.options;
            options.threads = run.threads;
            auto r = VarnReader::open(p, ro);
            ASSERT_TRUE(r.is_ok()) << r.message();
            ASSERT_TRUE(check_scan(*r.value(), options).is_ok());
            auto stats = std::make_shared<ScanStats>();
            ArrowArrayStream s;
            make_stream(r.take(), std::move(options), stats, &s);
            ArrowSchema schema;
            ASSERT_EQ(s.get_schema(&s, &schema), 0);
            std::vector<std::string> got;
            for (;;) {
                ArrowArray batch;
                ASSERT_EQ(s.get_next(&s, &batch), 0) << s.get_last_error(&s);
                if (!batch.release) break;
                for (auto& cell : dump_batch(schema, batch)) got.push_back(std::move(cell));
                batch.release(&batch);
            }
            s.release(&s);
            const std::array<uint64_t, 4> got_stats{stats->chunks_read.load(), stats->chunks_skipped.load(),
                                                    stats->rows.load(), stats->hidden_nulls.load()};
            // Released with chunks still decoding ahead, and before any
            // batch: the threads are joined, a batch taken outlives them.
            for (int taken : {0, 1}) {
                ScanOptions again = c.options;
                again.threads = run.threads;
                open_stream(p, std::move(again), &s, ro);
                ArrowArray batch{};
                if (taken) {
                    ASSERT_EQ(s.get_next(&s, &batch), 0) << s.get_last_error(&s);
                }
                s.release(&s);
                if (batch.release) {
                    EXPECT_EQ(dump_batch(schema, batch).front(), want.empty() ? got.front() : want.front());
                    batch.release(&batch);
                }
            }
            schema.release(&schema);
            if (run.threads == 1) {
                ASSERT_GT(got.size(), 10u);
                want = got;
                want_stats = got_stats;
            } else {
                EXPECT_EQ(got, want);
                EXPECT_EQ(got_stats, want_stats);
            }
        }
    }
}

// Large buffers freed by one reader are taken by the next, on any thread:
// readers of different columns on several threads at once, each holding
// all its batches while it checks them, never see another's values.
TEST_F(ArrowStreamTest, ThreadsReuseLargeBuffersSafely) {
    constexpr int kRows = 40000;  // 320 KB per int column of a chunk
    std::vector<std::vector<Row>> chunks(2);
    for (size_t c = 0; c < chunks.size(); ++c) {
        for (int i = 0; i < kRows; ++i) {
            const int64_t n = static_cast<int64_t>(c) * kRows + i;
            chunks[c].push_back(row({KVal::make_int(n), KVal::make_int(-3 * n - 1)}));
        }
    }
    const std::string p = write({make_column("a", format::kTypeInt), make_column("b", format::kTypeInt)}, chunks);
    std::vector<std::string> failures(4);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < failures.size(); ++t) {
        threads.emplace_back([&, t] {
            const size_t col = t % 2;
            for (int round = 0; round < 4 && failures[t].empty(); ++round) {
                auto r = VarnReader::open(p);
                if (!r.is_ok()) return void(failures[t] = r.message());
                ArrowArrayStream s;
                make_stream(r.take(), ScanOptions{{col}, {}, 0}, std::make_shared<ScanStats>(), &s);
                std::vector<ArrowArray> batches;
                for (;;) {
                    ArrowArray batch;
                    if (s.get_next(&s, &batch) != 0) {
                        failures[t] = s.get_last_error(&s);
                        break;
                    }
                    if (!batch.release) break;
                    batches.push_back(batch);
                }
                s.release(&s);  // the batches outlive their stream
                int64_t n = 0;
                for (ArrowArray& b : batches) {
                    const auto* v = static_cast<const int64_t*>(b.children[0]->buffers[1]);
                    for (int64_t i = 0; i < b.length && failures[t].empty(); ++i, ++n) {
                        const int64_t want = col == 0 ? n : -3 * n - 1;
                        if (v[i] != want) failures[t] = "row " + std::to_string(n) + ": " + std::to_string(v[i]);
                    }
                    b.release(&b);
                }
                if (failures[t].empty() && n != 2 * kRows) failures[t] = std::to_string(n) + " rows";
            }
        });
    }
    for (std::thread& th : threads) th.join();
    for (size_t t = 0; t < failures.size(); ++t) EXPECT_EQ(failures[t], "") << "thread " << t;
}

// Columns of the chunks ahead decode as separate pieces of work, largest
// first: a damaged record still stops the stream at its own chunk, after
// the chunks before it, on one thread or several, and of two damaged
// columns of one chunk the first in column order is named whatever order
// they decoded in.
TEST_F(ArrowStreamTest, DamagedRecordNamesItsChunkAndFirstColumn) {
    std::vector<std::vector<Row>> chunks(4);
    for (size_t c = 0; c < chunks.size(); ++c) {
        for (int i = 0; i < 300; ++i) {
            const std::string big(40 + i % 50, static_cast<char>('a' + (i + c) % 26));
            chunks[c].push_back(row({KVal::make_str(std::to_string(i)), KVal::make_int(i * 7 + c),
                                     KVal::make_str(big)}));
        }
    }
    const std::string p = write({make_column("small"), make_column("i", format::kTypeInt), make_column("big")},
                                chunks);
    struct Case {
        const char* name;
        std::vector<size_t> damaged;  // columns of chunk 2
        const char* error;
    } cases[] = {
        {"the large column", {2}, "chunk 2, column 2 'big'"},
        {"a small column", {0}, "chunk 2, column 0 'small'"},
        {"two columns", {2, 1}, "chunk 2, column 1 'i'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string name = "damaged_";
        name += std::to_string(c.damaged[0]);
        const std::string q = path(name);
        {
            std::FILE* in = std::fopen(p.c_str(), "rb");
            ASSERT_NE(in, nullptr);
            std::vector<char> bytes(1 << 20);
            bytes.resize(std::fread(bytes.data(), 1, bytes.size(), in));
            std::fclose(in);
            auto r = VarnReader::open(p);
            ASSERT_TRUE(r.is_ok());
            for (size_t col : c.damaged) {
                const auto& m = r.value()->meta(2, col);
                bytes[m.block_offset + format::kRecordPrefixSize + m.block_len / 2] ^= 0x5A;
            }
            std::FILE* out = std::fopen(q.c_str(), "wb");
            ASSERT_NE(out, nullptr);
            std::fwrite(bytes.data(), 1, bytes.size(), out);
            std::fclose(out);
        }
        struct Read {
            size_t batch_rows;
            unsigned threads;
        };
        for (const Read& read : {Read{0, 1}, Read{0, 2}, Read{0, 4}, Read{100, 1}, Read{100, 2}, Read{100, 4}}) {
            SCOPED_TRACE(testing::Message() << "batch rows " << read.batch_rows << ", " << read.threads
                                            << " threads");
            ScanOptions options{{0, 1, 2}, {}, read.batch_rows};
            options.threads = read.threads;
            ArrowArrayStream s;
            open_stream(q, std::move(options), &s);
            size_t rows = 0;
            ArrowArray batch;
            int rc = 0;
            while ((rc = s.get_next(&s, &batch)) == 0 && batch.release) {
                rows += static_cast<size_t>(batch.length);
                batch.release(&batch);
            }
            EXPECT_NE(rc, 0);
            EXPECT_EQ(rows, 600u);  // chunks 0 and 1
            ASSERT_NE(s.get_last_error(&s), nullptr);
            EXPECT_NE(std::string(s.get_last_error(&s)).find(c.error), std::string::npos) << s.get_last_error(&s);
            s.release(&s);
        }
    }
}

TEST_F(ArrowStreamTest, TextThatIsNotUtf8StopsTheStream) {
    std::vector<Row> rows;
    rows.push_back(row({KVal::make_str("ok")}));
    rows.push_back(row({KVal::make_str(std::string("\xC3", 1))}));
    rows.push_back(row({KVal::make_str(std::string("\xA9", 1))}));  // joined with the row above: valid
    const std::string p = write({make_column("t")}, {rows});
    ArrowArrayStream s;
    open_stream(p, ScanOptions{{0}, {}, 0}, &s);
    ArrowArray batch;
    EXPECT_NE(s.get_next(&s, &batch), 0);
    ASSERT_NE(s.get_last_error(&s), nullptr);
    EXPECT_NE(std::string(s.get_last_error(&s)).find("chunk 0, column 0 't'"), std::string::npos)
        << s.get_last_error(&s);
    EXPECT_NE(std::string(s.get_last_error(&s)).find("row 1 of the chunk is not valid UTF-8"),
              std::string::npos)
        << s.get_last_error(&s);
    EXPECT_NE(s.get_next(&s, &batch), 0);  // stays failed
    s.release(&s);
}

TEST_F(ArrowStreamTest, PruningFollowsTheIndex) {
    std::vector<std::vector<Row>> chunks(3);
    for (int c = 0; c < 3; ++c) {
        for (int r = 0; r < 10; ++r) {
            chunks[c].push_back(row({KVal::make_int(c * 100 + r), KVal::make_float(c * 10 + 0.5)}));
        }
    }
    const std::string p = write({make_column("i", format::kTypeInt), make_column("f", format::kTypeFloat)}, chunks);
    auto r = VarnReader::open(p);
    ASSERT_TRUE(r.is_ok());
    const VarnReader& reader = *r.value();
    auto f = [](size_t col, FilterOp op, int64_t i, double d) {
        FilterValue v;
        v.integer = i;
        v.real = d;
        return Filter{col, op, {v}};
    };
    struct Case {
        Filter filter;
        std::vector<bool> out;
    };
    const Case cases[] = {
        {f(0, FilterOp::Eq, 105, 0), {true, false, true}},
        {f(0, FilterOp::Lt, 100, 0), {false, true, true}},
        {f(0, FilterOp::Ge, 209, 0), {true, true, false}},
        {f(0, FilterOp::Gt, 209, 0), {true, true, true}},
        {f(0, FilterOp::Ne, 5, 0), {false, false, false}},
        // float: the index keeps the values truncated, so bounds are one wider
        {f(1, FilterOp::Eq, 0, 10.5), {true, false, true}},
        {f(1, FilterOp::Gt, 0, 20.9), {true, true, false}},
        {f(1, FilterOp::Ge, 0, 22.0), {true, true, true}},
        {f(1, FilterOp::Ne, 0, 10.5), {false, false, false}},
    };
    for (const Case& c : cases) {
        for (size_t chunk = 0; chunk < 3; ++chunk) {
            EXPECT_EQ(scan::chunk_ruled_out(reader, chunk, c.filter), c.out[chunk])
                << "column " << c.filter.column << " op " << int(c.filter.op) << " chunk " << chunk;
        }
    }
}

}  // namespace
}  // namespace varn::arrow
