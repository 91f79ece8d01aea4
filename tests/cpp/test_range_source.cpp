// Readers over a range source: ranges merged for a prefetch, the stream
// handing each window's records to the source before any thread reads
// them (pruned chunks and unused columns left out), and a reader that keeps
// reading the file it opened when its path is replaced.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "arrow/arrow_stream.h"
#include "format/file/range_source.h"
#include "format/file/reader.h"
#include "format/file/writer.h"
#include "format/format.h"
#include "temp_files.h"

namespace varn {
namespace {

TEST(MergeRanges, JoinsNeighboursWithinGapAndSize) {
    struct Case {
        const char* name;
        std::vector<ByteRange> in;
        uint64_t gap, most;
        std::vector<std::pair<uint64_t, uint64_t>> out;
    };
    const Case cases[] = {
        {"empty", {}, 10, 100, {}},
        {"adjacent", {{0, 10}, {10, 5}}, 0, 100, {{0, 15}}},
        {"gap within", {{0, 10}, {20, 5}}, 10, 100, {{0, 25}}},
        {"gap too wide", {{0, 10}, {21, 5}}, 10, 100, {{0, 10}, {21, 5}}},
        {"unsorted", {{50, 5}, {0, 10}, {12, 3}}, 4, 100, {{0, 15}, {50, 5}}},
        {"size cap", {{0, 60}, {60, 60}, {120, 10}}, 0, 100, {{0, 60}, {60, 70}}},
        {"one long record stays whole", {{0, 500}}, 0, 100, {{0, 500}}},
        {"overlap joins past the cap", {{0, 90}, {80, 40}}, 0, 100, {{0, 120}}},
        {"contained", {{0, 50}, {10, 5}}, 0, 100, {{0, 50}}},
        {"zero lengths dropped", {{0, 0}, {5, 5}}, 0, 100, {{5, 5}}},
    };
    for (const Case& c : cases) {
        std::vector<std::pair<uint64_t, uint64_t>> got;
        for (const ByteRange& r : merge_ranges(c.in, c.gap, c.most)) got.emplace_back(r.offset, r.length);
        EXPECT_EQ(got, c.out) << c.name;
    }
}

// A local file that logs every prefetch and read, in order.
class LoggingSource : public RangeSource {
public:
    struct Event {
        bool prefetch;
        std::vector<ByteRange> ranges;  // the prefetched ranges, or the one read
    };
    explicit LoggingSource(std::shared_ptr<RangeSource> inner) : inner_(std::move(inner)) {}
    uint64_t size() const override { return inner_->size(); }
    Status read_at(uint64_t offset, size_t n, uint8_t* out) const override {
        {
            std::lock_guard<std::mutex> lock(mu_);
            events_.push_back({false, {{offset, n}}});
        }
        return inner_->read_at(offset, n, out);
    }
    Status prefetch(const std::vector<ByteRange>& ranges) override {
        std::lock_guard<std::mutex> lock(mu_);
        events_.push_back({true, ranges});
        return Status::ok();
    }
    std::vector<Event> events() const {
        std::lock_guard<std::mutex> lock(mu_);
        return events_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mu_);
        events_.clear();
    }

private:
    std::shared_ptr<RangeSource> inner_;
    mutable std::mutex mu_;
    mutable std::vector<Event> events_;
};

bool covers(const std::vector<ByteRange>& ranges, uint64_t offset, uint64_t n) {
    for (const ByteRange& r : ranges) {
        if (offset >= r.offset && offset + n <= r.offset + r.length) return true;
    }
    return false;
}

class RangeSourceTest : public TempFileTest {
protected:
    RangeSourceTest() : TempFileTest("range_source_") {}

    // `chunks` chunks of 50 rows: k = the chunk number, v = row number, and
    // between them text columns whose records are longer than the gap a
    // prefetch bridges (hex digits, which compress to about half), so no two
    // int records are merged into one range.
    std::string write_file(const std::string& name, int chunks, int64_t base = 0) {
        const std::string p = path(name);
        auto w = StreamingVarnWriter::begin({make_column("k", format::kTypeInt), make_column("t1"),
                                             make_column("v", format::kTypeInt), make_column("t2")},
                                            50, p);
        uint64_t state = 88172645463325252ull;
        auto text = [&] {
            std::string s(3000, '0');
            for (char& ch : s) {
                state ^= state << 13;
                state ^= state >> 7;
                state ^= state << 17;
                ch = "0123456789abcdef"[state & 15];
            }
            return s;
        };
        EXPECT_TRUE(w.is_ok()) << w.message();
        for (int c = 0; c < chunks; ++c) {
            std::vector<Row> rows;
            for (int r = 0; r < 50; ++r) {
                Row row;
                row.push_back(KVal::make_int(base + c));
                row.push_back(KVal::make_str(text()));
                row.push_back(KVal::make_int(base + c * 50 + r));
                row.push_back(KVal::make_str(text()));
                rows.push_back(std::move(row));
            }
            EXPECT_TRUE(w.value()->write_chunk(rows, rows.size()).is_ok());
        }
        EXPECT_TRUE(w.value()->finish().is_ok());
        return p;
    }

    // The values of int column 0 of every batch of a stream over `reader`.
    static std::vector<int64_t> ints(std::unique_ptr<VarnReader> reader, arrow::ScanOptions options) {
        EXPECT_TRUE(arrow::check_scan(*reader, options).is_ok());
        ArrowArrayStream s;
        arrow::make_stream(std::move(reader), std::move(options), nullptr, &s);
        std::vector<int64_t> out;
        for (;;) {
            ArrowArray a;
            const int rc = s.get_next(&s, &a);
            EXPECT_EQ(rc, 0) << (rc ? s.get_last_error(&s) : "");
            if (rc != 0 || !a.release) break;
            const auto* v = static_cast<const int64_t*>(a.children[0]->buffers[1]);
            out.insert(out.end(), v, v + a.length);
            a.release(&a);
        }
        s.release(&s);
        return out;
    }
};

TEST_F(RangeSourceTest, StreamPrefetchesEachWindowBeforeReadingIt) {
    const int kChunks = 9;
    const std::string p = write_file("f.varn", kChunks);
    auto local = LocalFileSource::open(p);
    ASSERT_TRUE(local.is_ok()) << local.message();
    auto source = std::make_shared<LoggingSource>(local.take());
    auto opened = VarnReader::open(source);
    ASSERT_TRUE(opened.is_ok()) << opened.message();
    const std::unique_ptr<VarnReader> base = opened.take();
    const uint64_t records_from = base->header().records_offset;

    arrow::FilterValue three;
    three.integer = 3;
    struct Case {
        const char* name;
        unsigned threads;
        std::vector<arrow::Filter> filters;
        std::vector<size_t> chunks_read;
    };
    std::vector<size_t> all;
    for (size_t c = 0; c < kChunks; ++c) all.push_back(c);
    const Case cases[] = {
        {"one thread", 1, {}, all},
        {"three threads", 3, {}, all},
        {"a filter keeping chunk 3", 2, {{0, arrow::FilterOp::Eq, {three}}}, {3}},
    };
    for (const Case& c : cases) {
        source->clear();
        arrow::ScanOptions options;
        options.columns = {2};
        options.filters = c.filters;
        options.threads = c.threads;
        const std::vector<int64_t> got = ints(base->share(), options);
        std::vector<int64_t> expected;
        for (size_t chunk : c.chunks_read) {
            for (int r = 0; r < 50; ++r) expected.push_back(static_cast<int64_t>(chunk) * 50 + r);
        }
        EXPECT_EQ(got, expected) << c.name;

        // Every record read lies in a range prefetched before the read, and
        // only the records of the chunks read and of the columns used
        // (v, and k for the filter) were ever prefetched.
        std::vector<ByteRange> prefetched;
        size_t calls = 0;
        for (const auto& e : source->events()) {
            if (e.prefetch) {
                ++calls;
                prefetched.insert(prefetched.end(), e.ranges.begin(), e.ranges.end());
                continue;
            }
            const ByteRange& r = e.ranges[0];
            if (r.offset < records_from) continue;
            EXPECT_TRUE(covers(prefetched, r.offset, r.length))
                << c.name << ": read at " << r.offset << " before any prefetch of it";
        }
        for (size_t chunk = 0; chunk < kChunks; ++chunk) {
            const bool read = std::find(c.chunks_read.begin(), c.chunks_read.end(), chunk) !=
                              c.chunks_read.end();
            for (size_t col = 0; col < 4; ++col) {
                const StreamChunkColMeta& m = base->meta(chunk, col);
                const bool used = col == 2 || (col == 0 && !c.filters.empty());
                EXPECT_EQ(covers(prefetched, m.block_offset, format::kRecordPrefixSize + m.block_len),
                          read && used)
                    << c.name << ": chunk " << chunk << " column " << col;
            }
        }
        // A window's chunks go in one call: far fewer calls than chunks.
        EXPECT_LE(calls, c.chunks_read.size() / 2 + 1) << c.name;
    }
}

TEST_F(RangeSourceTest, ReaderKeepsTheFileItOpened) {
    const std::string p = write_file("f.varn", 2);
    const std::string other = write_file("g.varn", 5, 1000);
    auto opened = VarnReader::open(p);
    ASSERT_TRUE(opened.is_ok()) << opened.message();
    const std::unique_ptr<VarnReader> reader = opened.take();
    ASSERT_EQ(std::rename(other.c_str(), p.c_str()), 0);
    arrow::ScanOptions options;
    options.columns = {0};
    for (unsigned threads : {1u, 2u}) {
        options.threads = threads;
        std::vector<int64_t> expected(50, 0);
        expected.insert(expected.end(), 50, 1);
        EXPECT_EQ(ints(reader->share(), options), expected);
    }
    std::remove(p.c_str());
    EXPECT_EQ(ints(reader->share(), options).size(), 100u);
}

TEST_F(RangeSourceTest, FifoIsRefusedWithoutWaiting) {
    const std::string p = path("fifo");
    ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0);
    const auto start = std::chrono::steady_clock::now();
    auto opened = VarnReader::open(p);
    ASSERT_TRUE(opened.failed());
    EXPECT_NE(opened.message().find("not a regular file"), std::string::npos) << opened.message();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
}  // namespace varn
