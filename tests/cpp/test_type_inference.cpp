// Type inference read in byte ranges on several threads must give what one
// reader gives: the same types and row count, or the same error, wherever
// the range boundaries fall (inside quoted line breaks, between CR and LF,
// on blank lines). The suite name puts these tests in the TSan run.
#include <gtest/gtest.h>

#include <string>

#include "convert/type_inference.h"
#include "temp_files.h"

namespace varn {
namespace {

class TypeInferenceThreads : public TempFileTest {
protected:
    TypeInferenceThreads() : TempFileTest("varn_infer_") {}

    // The types and row count as text, or the error message.
    static std::string guess(const std::string& path, unsigned threads, uint64_t range_bytes, ExtraFields extra,
                             uint8_t comment = 0, uint64_t record_limit = 0) {
        auto opened = InputStream::open(path);
        if (opened.failed()) return "open: " + opened.message();
        std::unique_ptr<InputStream> in = opened.take();
        CsvRecordReader header(*in, 0);
        header.skip_lines(0, comment);
        header.set_record_limit(record_limit, "(too long)");
        if (header.next() != CsvRecordReader::kRecord) return "header: " + header.error().message();
        RangeSizes sizes;
        sizes.min_text = 0;
        sizes.most = range_bytes;
        Result<TypeGuesses> g = guess_types(header, *in, path, header.fields().size(), extra, threads, sizes);
        if (g.failed()) return "error: " + g.message();
        std::string out = std::to_string(g.value().data_rows) + " rows:";
        for (const ColumnGuess& c : g.value().columns)
            out += " " + std::to_string(c.type(g.value().data_rows)) + (c.int_ok ? "i" : "") +
                   (c.float_ok ? "f" : "") + (c.bool_ok ? "b" : "");
        return out;
    }

    // `rows` rows of an Int, a Float, a Bool and a Text column; `late`
    // replaces the cells of the row before last.
    static std::string table(size_t rows, const char* eol, const std::string& late = "") {
        std::string csv = std::string("n,x,flag,note") + eol;
        for (size_t r = 0; r < rows; ++r) {
            if (!late.empty() && r + 2 == rows) {
                csv += late + eol;
                continue;
            }
            csv += std::to_string(r * 37 % 1000) + "," + std::to_string(r % 50) + "." + std::to_string(r % 9 + 1) +
                   "," + (r % 3 ? "true" : "false") + ",";
            csv += r % 4 == 0 ? "\"two\nlines, \"\"quoted\"\"\r\nthree\"" : "plain " + std::to_string(r);
            csv += eol;
        }
        return csv;
    }
};

TEST_F(TypeInferenceThreads, RangesGiveWhatOneReaderGives) {
    struct Case {
        const char* what;
        std::string csv;
        ExtraFields extra = ExtraFields::Error;
        uint8_t comment = 0;
        uint64_t record_limit = 0;
    };
    // Comment lines between rows, and lines inside quoted fields that start
    // with the comment character (which are no comments).
    std::string commented = "# head\nn,x\n";
    for (int r = 0; r < 40; ++r) {
        commented += r % 3 ? "# note " + std::to_string(r) + ";;;\n" : "";
        commented += std::to_string(r) + (r % 5 ? ",1.5\n" : ",\"2\n#3\n# 4\"\n");
    }
    const std::string bad_utf8 = "7,1.5,true,caf\xC3";
    const Case cases[] = {
        {"LF", table(60, "\n")},
        {"CR LF", table(60, "\r\n")},
        {"lone CR", table(60, "\r")},
        {"a late cell that is not an Int", table(60, "\n", "x7,1.5,true,a")},
        {"a late empty cell", table(60, "\n", ",1.5,true,a")},
        {"blank and white-space lines", "a,b\n1,2\n\n  \n3,4\n\r\n\n5,x\n\n6,7\n \t\n8,9"},
        {"short rows", "a,b,c\n1,2,3\n4\n5,6\n7,8,9\n"},
        {"no final line break, a final CR", "a,b\n1,2\n3,4\r"},
        {"a byte-order mark and semicolons", "\xEF\xBB\xBF" "a;b\n1;2\n3;4\n5;6\n"},
        {"quoted line breaks in every row", "a,b\n\"1\n2\",3\n\"x\r\n\n\",4\n\"\n\n\n\",5\n6,7\n"},
        {"a row longer than the header", table(60, "\n", "1,2.5,true,a,extra")},
        {"extra fields dropped", table(60, "\n", "1,2.5,true,a,extra"), ExtraFields::Drop},
        {"text that is not UTF-8", table(60, "\n", bad_utf8)},
        {"a quote left open", table(60, "\n") + "1,2.0,true,\"open\n"},
        {"no rows", "a,b\n"},
        {"comment lines", commented, ExtraFields::Error, '#'},
        {"comment lines, a late one too long", commented + "#;;;;;;;;;;;;;;;\n5,2.5,extra\n", ExtraFields::Error, '#'},
        {"rows within the record limit", table(60, "\n"), ExtraFields::Error, 0, 64},
        {"a late row past the record limit", table(60, "\n", "1,2.5,true," + std::string(300, 'y')),
         ExtraFields::Error, 0, 64},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string in = path("in.csv");
        write(in, c.csv);
        const std::string want = guess(in, 1, 1, c.extra, c.comment, c.record_limit);
        ASSERT_NE(want.rfind("open:", 0), 0u) << want;
        if (c.record_limit != 0) {
            EXPECT_EQ(want.find("a row longer than 64 bytes (too long)") != std::string::npos,
                      c.csv.find(std::string(300, 'y')) != std::string::npos) << want;
        }
        for (unsigned threads : {2u, 3u}) {
            for (uint64_t range : {uint64_t{1}, uint64_t{5}, uint64_t{17}, uint64_t{200}}) {
                EXPECT_EQ(guess(in, threads, range, c.extra, c.comment, c.record_limit), want)
                    << threads << " threads, ranges of " << range;
            }
        }
    }
}

}  // namespace
}  // namespace varn
