// verify_file on several threads: the same report for a sound file and the
// same first fault, in file order, for a damaged one, whatever the thread
// count. (The suite name puts these tests in the TSan run.)
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "format/file/reader.h"
#include "format/file/writer.h"
#include "temp_files.h"

namespace varn {
namespace {

class VerifyThreads : public TempFileTest {
protected:
    VerifyThreads() : TempFileTest("varn_vthreads_") {}

    void SetUp() override {
        p_ = path("v.varn");
        std::vector<KColumn> columns;
        for (const char* name : {"a", "b", "c"}) {
            KColumn c;
            c.name = name;
            c.type_code = format::kTypeText;
            columns.push_back(c);
        }
        columns[1].type_code = format::kTypeInt;
        auto w = StreamingVarnWriter::begin(columns, 65536, p_);
        ASSERT_TRUE(w.is_ok()) << w.message();
        for (int chunk = 0; chunk < 6; ++chunk) {
            std::vector<Row> rows;
            for (int r = 0; r < 50 + chunk; ++r) {
                rows.push_back({KVal::make_str("row " + std::to_string(r * chunk)),
                                KVal::make_int(r - chunk), KVal::make_str(std::string(r % 9, 'q'))});
            }
            ASSERT_TRUE(w.value()->write_chunk(rows, rows.size()).is_ok());
        }
        ASSERT_TRUE(w.value()->finish().is_ok());
        clean_ = read_file(p_);
        auto r = VarnReader::open(p_);
        ASSERT_TRUE(r.is_ok());
        records_ = r.value()->header().records_offset;
        index_ = r.value()->header().index_offset;
    }
    void write(const Bytes& f) {
        std::ofstream(p_, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(f.data()), static_cast<std::streamsize>(f.size()));
    }
    // The outcome of verify_file on `threads` threads, as one line of text.
    std::string verify(unsigned threads) {
        auto r = VarnReader::open(p_);
        if (r.failed()) return "open: " + r.message();
        VerifyReport rep;
        std::vector<size_t> chunks;
        Status st = verify_file(*r.value(), rep, [&](size_t c) { chunks.push_back(c); }, threads);
        if (st.failed()) return st.message();
        std::string seen;
        for (size_t c : chunks) seen += std::to_string(c) + " ";
        return "ok " + std::to_string(rep.records) + " " + std::to_string(rep.payloads_decoded) + " " +
               std::to_string(rep.compressed_bytes) + " " + std::to_string(rep.payload_bytes) + " " +
               std::to_string(rep.rows) + " chunks " + seen;
    }

    std::string p_;
    Bytes clean_;
    uint64_t records_ = 0;
    uint64_t index_ = 0;
};

TEST_F(VerifyThreads, SameOutcomeForEveryThreadCount) {
    const std::string sound = verify(1);
    ASSERT_EQ(sound.rfind("ok 18 18 ", 0), 0u) << sound;
    for (unsigned t : {2u, 3u, 8u}) EXPECT_EQ(verify(t), sound) << t;

    // One damaged byte in a record, and two in records far apart: the
    // fault named is the first in file order.
    for (uint64_t at = records_; at < index_; at += 5) {
        Bytes f = clean_;
        f[at] ^= 0x41;
        write(f);
        const std::string one = verify(1);
        ASSERT_NE(one.rfind("ok", 0), 0u) << at;
        EXPECT_EQ(verify(3), one) << at;
        f[index_ - 1 - (at - records_)] ^= 0x10;
        write(f);
        EXPECT_EQ(verify(4), verify(1)) << at;
    }
}

}  // namespace
}  // namespace varn
