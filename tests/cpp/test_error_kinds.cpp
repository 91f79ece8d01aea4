// The category each kind of failure comes back with: the Python module and
// the command line choose their exception or exit code by it alone, so a
// failure filed under the wrong one would surface as the wrong exception.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <string>

#include "arrow/arrow_stream.h"
#include "scan/filter.h"
#include "common/memory_budget.h"
#include "convert/csv_converter.h"
#include "format/file/reader.h"
#include "temp_files.h"

namespace varn {
namespace {

class ErrorKinds : public TempFileTest {
protected:
    ErrorKinds() : TempFileTest("varn_kinds_") {}
    static ConversionHooks quiet() {
        ConversionHooks h;
        h.report = false;
        return h;
    }
    // A good file of two columns, converted from `csv` once per test.
    std::string good_varn() {
        const std::string in = path("good.csv"), out = path("good.varn");
        write(in, "a,b\n1,x\n2,y\n");
        Result<ConversionSummary> done = compress_csv(in, out, quiet());
        EXPECT_TRUE(done.is_ok()) << done.message();
        return out;
    }
    std::string damaged_varn() {
        const std::string p = good_varn();
        Bytes data = read_file(p);
        data[0] ^= 0xFF;  // the magic
        const std::string bad = path("damaged.varn");
        write(bad, std::string(data.begin(), data.end()));
        return bad;
    }
};

TEST_F(ErrorKinds, EachFailureHasItsCategory) {
    struct Case {
        const char* what;
        std::function<Status()> run;
        ErrorKind want;
    };
    auto convert = [this](const std::string& csv, ConversionHooks h = quiet()) {
        const std::string in = path("in.csv");
        write(in, csv);
        return compress_csv(in, path("out.varn"), h).status();
    };
    auto convert_rfc = [this](const std::string& csv) {
        const std::string in = path("in_rfc.csv");
        write(in, csv);
        ConvertOptions options;
        options.report = false;
        return convert_csv(in, path("out_rfc.varn"), options).status();
    };
    auto open = [](const std::string& p, uint64_t budget = default_memory_budget()) {
        ReaderOptions options;
        options.memory_budget = budget;
        return VarnReader::open(p, options).status();
    };
    const Case cases[] = {
        {"a missing CSV file", [&] { return compress_csv(path("none.csv"), path("o.varn"), quiet()).status(); },
         ErrorKind::io},
        {"an output directory that does not exist",
         [&] {
             write(path("in.csv"), "a\n1\n");
             return compress_csv(path("in.csv"), path("no/such/dir.varn"), quiet()).status();
         },
         ErrorKind::io},
        {"an output that names the input",
         [&] {
             write(path("self.csv"), "a\n1\n");
             return compress_csv(path("self.csv"), path("self.csv"), quiet()).status();
         },
         ErrorKind::io},
        // Text that is not UTF-8 is a failure to read the input as text.
        {"CSV text that is not UTF-8", [&] { return convert("a\n\xFF\n"); }, ErrorKind::io},
        {"an empty CSV file", [&] { return convert(""); }, ErrorKind::invalid_input},
        {"a declaration naming no column",
         [&] {
             ConversionHooks h = quiet();
             h.declarations.push_back(ColumnDeclaration{"nope", format::kTypeInt, false, {}});
             h.parse_field = strict_field_parser(false);
             return convert("a\n1\n", h);
         },
         ErrorKind::invalid_input},
        {"a field that is not of its declared type",
         [&] {
             ConversionHooks h = quiet();
             h.declarations.push_back(ColumnDeclaration{"a", format::kTypeInt, false, {}});
             h.parse_field = strict_field_parser(false);
             return convert("a\n1\nx\n", h);
         },
         ErrorKind::invalid_input},
        {"a column to encrypt with an all-zero key",
         [&] {
             ConversionHooks h = quiet();
             h.declarations.push_back(ColumnDeclaration{"a", format::kTypeText, true, {}});
             return convert("a\n1\n", h);
         },
         ErrorKind::invalid_input},
        {"an RFC 4180 record with more fields than the header", [&] { return convert_rfc("a,b\n1,2,3\n"); },
         ErrorKind::invalid_input},
        {"a gzip input that is cut off",
         [&] { return convert_rfc(std::string("\x1F\x8B\x08\x00\x00\x00\x00\x00\x00\x03", 10)); },
         ErrorKind::invalid_input},
        {"a caller asking to stop",
         [&] {
             std::string csv = "v\n";
             for (int i = 0; i < 65536 + 1; ++i) csv += "r\n";
             ConversionHooks h = quiet();
             h.after_batch = [](uint64_t, uint64_t) { return false; };
             return convert(csv, h);
         },
         ErrorKind::interrupted},
        {"a missing VARN file", [&] { return open(path("none.varn")); }, ErrorKind::io},
        {"a VARN file with a damaged header", [&] { return open(damaged_varn()); }, ErrorKind::corrupt},
        {"a directory given as a VARN file", [&] { return open(::testing::TempDir()); }, ErrorKind::corrupt},
        // A block beyond the memory budget is refused as the file's fault,
        // before anything is allocated for it (so it is not out_of_memory).
        {"a block beyond the memory budget", [&] { return open(good_varn(), 1); }, ErrorKind::corrupt},
        {"the block statistics of a damaged file",
         [&] { return block_compression_saved_percent(damaged_varn()).status(); }, ErrorKind::corrupt},
        {"a wrong filter operator", [] { return scan::filter_op_from_text("~").status(); },
         ErrorKind::invalid_input},
        {"a size that is not a size", [] { return parse_memory_size("12Q").status(); },
         ErrorKind::invalid_input},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Status st = c.run();
        ASSERT_TRUE(st.failed());
        EXPECT_FALSE(st.message().empty());
        EXPECT_STREQ(error_kind_name(st.kind()), error_kind_name(c.want)) << st.message();
    }
}

TEST(StatusTest, ContextKeepsTheCategory) {
    const Status inner = Status::corrupt("bad tag");
    const Status outer = inner.prefixed("chunk 3: ");
    EXPECT_EQ(outer.kind(), ErrorKind::corrupt);
    EXPECT_EQ(outer.message(), "chunk 3: bad tag");
    EXPECT_TRUE(Status::ok().is_ok());
    EXPECT_EQ(Status::ok().kind(), ErrorKind::none);
    // A failure is never of kind none, whatever the caller passes.
    EXPECT_EQ(Status::error(ErrorKind::none, "x").kind(), ErrorKind::internal);
    Result<int> r = Status::out_of_memory("no room");
    EXPECT_EQ(r.kind(), ErrorKind::out_of_memory);
    EXPECT_EQ(r.status().kind(), ErrorKind::out_of_memory);
    EXPECT_EQ(Result<int>(7).status().kind(), ErrorKind::none);
}

}  // namespace
}  // namespace varn
