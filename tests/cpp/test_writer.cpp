// The streaming writer's file layout, bookkeeping and failure behaviour.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/temp_names.h"
#include "format/block/block_compression.h"
#include "format/file/writer.h"
#include "temp_files.h"

namespace varn {
namespace {

class WriterTest : public TempFileTest {
protected:
    WriterTest() : TempFileTest("varn_writer_") {}
    static std::vector<KColumn> text_columns(std::vector<std::string> names) {
        std::vector<KColumn> cols;
        for (auto& n : names) {
            KColumn c;
            c.name = std::move(n);
            cols.push_back(std::move(c));
        }
        return cols;
    }
    static TextBatch batch(size_t columns, const std::vector<std::vector<std::string>>& rows) {
        TextBatch b;
        b.columns = columns;
        for (const auto& row : rows) {
            uint64_t base = b.text.size();
            std::vector<TextSpan> spans;
            for (const auto& cell : row) {
                spans.push_back(TextSpan{static_cast<uint32_t>(b.text.size() - base),
                                         static_cast<uint32_t>(cell.size())});
                b.text.insert(b.text.end(), cell.begin(), cell.end());
            }
            b.push_row(base, spans.data());
        }
        return b;
    }
};

// The index block, decoded, for checking what finish() wrote.
Bytes index_of(const Bytes& file) {
    uint64_t x = load_le<uint64_t>(file.data() + file.size() - 16);
    uint64_t i = load_le<uint64_t>(file.data() + file.size() - 8);
    EXPECT_EQ(i + x + 16, file.size());
    Bytes index;
    Status st = decompress_block(ByteView(file.data() + i, x), index, 1 << 20);
    EXPECT_TRUE(st.is_ok()) << st.message();
    return index;
}

TEST_F(WriterTest, OneColumnOneRowFile) {
    std::string p = path("ax");
    auto w = StreamingVarnWriter::begin(text_columns({"a"}), 65536, p);
    ASSERT_TRUE(w.is_ok()) << w.message();
    ASSERT_TRUE(w.value()->write_text_chunk(batch(1, {{"x"}})).is_ok());
    auto summary = w.value()->finish();
    ASSERT_TRUE(summary.is_ok()) << summary.message();
    EXPECT_EQ(summary.value(), "VARN v2 (streaming): 1 rows \xC3\x97 1 cols | 1 chunks | dict: 0 entries");

    Bytes f = read_file(p);
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 8), (Bytes{0x56, 0x41, 0x52, 0x4E, 0x02, 0x00, 0x01, 0x00}));
    EXPECT_EQ(load_le<uint64_t>(&f[8]), 1u);
    EXPECT_EQ(load_le<uint32_t>(&f[16]), 1u);
    EXPECT_EQ(load_le<uint32_t>(&f[20]), 65536u);
    EXPECT_EQ(load_le<uint32_t>(&f[64]), 5u);
    EXPECT_EQ(Bytes(f.begin() + 68, f.begin() + 73), (Bytes{0x02, 0x01, 0x61, 0x04, 0x00}));
    EXPECT_EQ(load_le<uint64_t>(&f[73]), 2u);
    EXPECT_EQ(Bytes(f.begin() + 81, f.begin() + 83), (Bytes{0x02, 0x00}));
    const uint8_t block[3] = {0x02, 0x01, 0x78};
    EXPECT_EQ(load_le<uint32_t>(&f[83]), static_cast<uint32_t>(crc32(0, block, 3)));
    EXPECT_EQ(load_le<uint64_t>(&f[87]), 3u);
    EXPECT_EQ(Bytes(f.begin() + 95, f.begin() + 98), Bytes(block, block + 3));
    EXPECT_EQ(load_le<uint64_t>(f.data() + f.size() - 8), 98u);

    Bytes expected;
    put_le<uint32_t>(expected, 1);   // chunk count
    put_le<uint16_t>(expected, 1);   // column count
    put_le<uint32_t>(expected, 1);   // rows of chunk 0
    put_le<uint64_t>(expected, 83);  // block_offset
    put_le<uint64_t>(expected, 3);   // block_len
    expected.push_back(0);           // encoding
    put_le<uint32_t>(expected, 0);   // null_count
    expected.insert(expected.end(), {0x00, 0x00, 0x01, 'x', 0x01, 'x'});
    BloomFilter bloom{};
    bloom_add(bloom, reinterpret_cast<const uint8_t*>("x"), 1);
    for (uint64_t word : bloom) put_le<uint64_t>(expected, word);
    EXPECT_EQ(index_of(f), expected);
}

TEST_F(WriterTest, KValRowsGiveTheSameBytesAsTextBatches) {
    std::string p1 = path("kv1"), p2 = path("kv2");
    std::vector<std::vector<std::string>> cells = {{"a", "1"}, {"bb", ""}, {"c", "zz"}};
    std::vector<Row> rows;
    for (const auto& r : cells) rows.push_back({KVal::make_str(r[0]), KVal::make_str(r[1])});
    auto w1 = StreamingVarnWriter::begin(text_columns({"x", "y"}), 65536, p1);
    auto w2 = StreamingVarnWriter::begin(text_columns({"x", "y"}), 65536, p2);
    ASSERT_TRUE(w1.is_ok() && w2.is_ok());
    ASSERT_TRUE(w1.value()->write_text_chunk(batch(2, cells)).is_ok());
    ASSERT_TRUE(w2.value()->write_chunk(rows, rows.size()).is_ok());
    ASSERT_TRUE(w1.value()->finish().is_ok());
    ASSERT_TRUE(w2.value()->finish().is_ok());
    Bytes f1 = read_file(p1), f2 = read_file(p2);
    ASSERT_EQ(f1.size(), f2.size());
    // Only the creation time (bytes 24..31) may differ.
    std::fill(f1.begin() + 24, f1.begin() + 32, 0);
    std::fill(f2.begin() + 24, f2.begin() + 32, 0);
    EXPECT_EQ(f1, f2);
}

TEST_F(WriterTest, ChunksWithoutRowsAndFilesWithoutChunks) {
    std::string p = path("empty");
    auto w = StreamingVarnWriter::begin(text_columns({"a", "b", "c"}), 65536, p);
    ASSERT_TRUE(w.is_ok());
    uint64_t before = w.value()->offset();
    ASSERT_TRUE(w.value()->write_text_chunk(batch(3, {})).is_ok());
    ASSERT_TRUE(w.value()->write_chunk({}, 0).is_ok());
    EXPECT_EQ(w.value()->offset(), before);
    EXPECT_EQ(w.value()->chunk_count(), 0u);
    ASSERT_TRUE(w.value()->finish().is_ok());
    Bytes f = read_file(p);
    uint32_t s = load_le<uint32_t>(&f[64]);
    EXPECT_EQ(load_le<uint64_t>(f.data() + f.size() - 8), 76 + s + 2);
    EXPECT_EQ(load_le<uint64_t>(&f[8]), 0u);
    EXPECT_EQ(load_le<uint32_t>(&f[16]), 0u);
    EXPECT_EQ(index_of(f), (Bytes{0, 0, 0, 0, 3, 0}));
}

TEST_F(WriterTest, RecordOffsetsAndRowCounts) {
    std::string p = path("multi");
    auto w = StreamingVarnWriter::begin(text_columns({"a", "b", "c"}), 2, p);
    ASSERT_TRUE(w.is_ok());
    StreamingVarnWriter& wr = *w.value();
    uint64_t first = wr.offset();
    ASSERT_TRUE(wr.write_text_chunk(batch(3, {{"1", "2", "3"}, {"4", "5", "6"}})).is_ok());
    ASSERT_TRUE(wr.write_text_chunk(batch(3, {{"7", "8", "9"}})).is_ok());
    EXPECT_EQ(wr.total_rows(), 3u);
    ASSERT_TRUE(wr.finish().is_ok());
    Bytes f = read_file(p);
    EXPECT_EQ(load_le<uint32_t>(&f[20]), 2u);
    Bytes index = index_of(f);
    ByteReader r(index);
    uint32_t chunks, rows0, rows1;
    uint16_t cols;
    ASSERT_TRUE(r.read_le(chunks) && r.read_le(cols) && r.read_le(rows0) && r.read_le(rows1));
    EXPECT_EQ(chunks, 2u);
    EXPECT_EQ(cols, 3u);
    EXPECT_EQ(rows0, 2u);
    EXPECT_EQ(rows1, 1u);
    uint64_t expect_offset = first;
    for (int rec = 0; rec < 6; ++rec) {
        uint64_t off, len;
        uint8_t enc;
        uint32_t nulls;
        int64_t mn, mx;
        uint64_t n;
        ByteView s;
        ASSERT_TRUE(r.read_le(off) && r.read_le(len) && r.read_u8(enc) && r.read_le(nulls) &&
                    r.read_zigzag(mn) && r.read_zigzag(mx));
        ASSERT_TRUE(r.read_leb128(n) && r.read_bytes(n, s) && r.read_leb128(n) && r.read_bytes(n, s));
        ASSERT_TRUE(r.skip(512));
        EXPECT_EQ(off, expect_offset);
        EXPECT_EQ(load_le<uint64_t>(&f[off + 4]), len);
        EXPECT_EQ(load_le<uint32_t>(&f[off]), static_cast<uint32_t>(crc32(0, &f[off + 12], static_cast<uInt>(len))));
        expect_offset += 12 + len;
    }
    EXPECT_TRUE(r.at_end());
}

TEST_F(WriterTest, LongColumnNamesTakeTwoLengthBytes) {
    std::string p = path("longname");
    auto w = StreamingVarnWriter::begin(text_columns({std::string(130, 'n')}), 1, p);
    ASSERT_TRUE(w.is_ok());
    ASSERT_TRUE(w.value()->finish().is_ok());
    Bytes f = read_file(p);
    uint32_t s = load_le<uint32_t>(&f[64]);
    Bytes schema;
    ASSERT_TRUE(decompress_block(ByteView(&f[68], s), schema, 1 << 20).is_ok());
    ASSERT_EQ(schema.size(), 2u + 130u + 2u);
    EXPECT_EQ(schema[0], 0x82);
    EXPECT_EQ(schema[1], 0x01);
    EXPECT_EQ(schema[132], 4);  // type code
    EXPECT_EQ(schema[133], 0);  // flags
}

// The file at the path changes only when finish() succeeds; a dropped or
// failed writer leaves it (or its absence) as it was, and no temporary file.
TEST_F(WriterTest, OutputIsReplacedOnlyWhenFinished) {
    const std::string dir = path("atomic");
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    const std::string p = dir + "/out.varn";
    auto entries = [&] {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    };
    {
        auto w = StreamingVarnWriter::begin(text_columns({"a"}), 65536, p);
        ASSERT_TRUE(w.is_ok());
        ASSERT_TRUE(w.value()->write_text_chunk(batch(1, {{"x"}})).is_ok());
        EXPECT_EQ(entries().size(), 1u);
        struct stat st;
        EXPECT_NE(::stat(p.c_str(), &st), 0) << "nothing at the path before finish()";
    }
    EXPECT_TRUE(entries().empty());

    std::ofstream(p, std::ios::binary) << "old bytes";
    ASSERT_EQ(::chmod(p.c_str(), 0640), 0);
    {
        auto w = StreamingVarnWriter::begin(text_columns({"a"}), 65536, p);
        ASSERT_TRUE(w.is_ok());
        ASSERT_TRUE(w.value()->write_text_chunk(batch(1, {{"x"}})).is_ok());
    }
    EXPECT_EQ(read_file(p), (Bytes{'o', 'l', 'd', ' ', 'b', 'y', 't', 'e', 's'}));
    EXPECT_EQ(entries(), std::vector<std::string>{"out.varn"});

    // Through a symbolic link the file it names is replaced, with its permissions.
    const std::string link = dir + "/link.varn";
    ASSERT_EQ(::symlink("out.varn", link.c_str()), 0);
    auto w = StreamingVarnWriter::begin(text_columns({"a"}), 65536, link);
    ASSERT_TRUE(w.is_ok());
    ASSERT_TRUE(w.value()->write_text_chunk(batch(1, {{"x"}})).is_ok());
    ASSERT_TRUE(w.value()->finish().is_ok());
    const Bytes done = read_file(p);
    ASSERT_GE(done.size(), 64u);
    EXPECT_EQ(load_le<uint64_t>(&done[8]), 1u);  // the finished file, totals patched
    struct stat st;
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(entries(), (std::vector<std::string>{"link.varn", "out.varn"}));

    // A chunk larger than the chunk size is refused.
    auto small = StreamingVarnWriter::begin(text_columns({"a"}), 2, p);
    ASSERT_TRUE(small.is_ok());
    Status st3 = small.value()->write_text_chunk(batch(1, {{"x"}, {"y"}, {"z"}}));
    EXPECT_EQ(st3.message(), "A chunk of 3 rows is larger than the file's chunk size of 2");
}

// A pid that ran and has ended (a child that exited and was reaped).
pid_t dead_pid() {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    int status = 0;
    ::waitpid(child, &status, 0);
    return child;
}

// Before it creates its own temporary file, a writer removes those of the
// same target that processes of this host left and that no longer run, and
// nothing else.
TEST_F(WriterTest, StaleTemporaryFilesOfDeadProcessesAreRemoved) {
    const std::string dir = path("stale");
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    const std::string tag = temp_host_tag();
    const std::string other_tag = tag == "00000000" ? "00000001" : "00000000";
    const std::string dead = std::to_string(dead_pid());
    const std::string self = std::to_string(::getpid());
    struct Case {
        std::string name;
        bool removed;
    };
    const std::vector<Case> cases = {
        {".out.varn.varn-" + tag + "-" + dead + "-aB3xYz.tmp", true},
        {".out.varn.varn-" + tag + "-" + self + "-aB3xYz.tmp", false},        // a running process
        {".out.varn.varn-" + other_tag + "-" + dead + "-aB3xYz.tmp", false},  // another host
        {".other.varn.varn-" + tag + "-" + dead + "-aB3xYz.tmp", false},      // another target
        {".out.varn.varn-" + tag + "-" + dead + "-aB3xY.tmp", false},         // five letters
        {".out.varn.varn-" + tag + "-0" + dead + "-aB3xYz.tmp", false},       // a leading zero
        {".out.varn.varn-" + tag + "-" + dead + "-aB3xYz.tmp.x", false},
        {"out.varn.varn-" + tag + "-" + dead + "-aB3xYz.tmp", false},         // not a dot file
        {".out.varn.1234abcd.tmp", false},                                    // no pid recorded
    };
    for (const Case& c : cases) std::ofstream(dir + "/" + c.name) << "partial";
    // Matching names that are not regular files are left alone.
    const std::string subdir = ".out.varn.varn-" + tag + "-" + dead + "-dirABC.tmp";
    const std::string link = ".out.varn.varn-" + tag + "-" + dead + "-lnkABC.tmp";
    ASSERT_EQ(::mkdir((dir + "/" + subdir).c_str(), 0755), 0);
    ASSERT_EQ(::symlink("nowhere", (dir + "/" + link).c_str()), 0);

    const std::string target = dir + "/out.varn";
    auto w = StreamingVarnWriter::begin(text_columns({"a"}), 65536, target);
    ASSERT_TRUE(w.is_ok());
    for (const Case& c : cases) {
        struct stat st;
        EXPECT_EQ(::lstat((dir + "/" + c.name).c_str(), &st) != 0, c.removed) << c.name;
    }
    struct stat st;
    EXPECT_EQ(::lstat((dir + "/" + subdir).c_str(), &st), 0);
    EXPECT_EQ(::lstat((dir + "/" + link).c_str(), &st), 0);

    // The writer's own temporary file carries this host's tag and this pid.
    std::vector<std::string> own;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        std::string host;
        pid_t pid = 0;
        const std::string name = e.path().filename();
        if (parse_temp_name(name, "out.varn", host, pid) && pid == ::getpid() && name.find("aB3xYz") == std::string::npos)
            own.push_back(name);
    }
    ASSERT_EQ(own.size(), 1u);
    EXPECT_EQ(own[0].substr(0, 24), ".out.varn.varn-" + tag + "-");
    ASSERT_TRUE(w.value()->finish().is_ok());
    std::filesystem::remove_all(dir);
}

TEST_F(WriterTest, Failures) {
    std::string missing_dir = ::testing::TempDir() + "no_such_dir_for_varn/x.varn";
    auto w = StreamingVarnWriter::begin(text_columns({"a"}), 1, missing_dir);
    ASSERT_TRUE(w.failed());
    EXPECT_EQ(w.message(), "Cannot create " + missing_dir + ": No such file or directory (os error 2)");

    std::string p = path("wide");
    std::vector<KColumn> wide(65536);
    auto too_wide = StreamingVarnWriter::begin(std::move(wide), 1, p);
    ASSERT_TRUE(too_wide.failed());
    EXPECT_NE(too_wide.message().find("Too many columns: 65536"), std::string::npos);
    struct stat st;
    EXPECT_NE(::stat(p.c_str(), &st), 0) << "nothing may be created";

    if (::access("/dev/full", W_OK) == 0) {
        auto full = StreamingVarnWriter::begin(text_columns({"a"}), 1, "/dev/full");
        ASSERT_TRUE(full.is_ok());
        ASSERT_TRUE(full.value()->write_text_chunk(batch(1, {{"x"}})).is_ok());  // still buffered
        auto done = full.value()->finish();
        ASSERT_TRUE(done.failed());
        EXPECT_EQ(done.message(), "No space left on device (os error 28)");
    }
}

}  // namespace
}  // namespace varn
