// The RFC 4180 record reader, the input stream's decompression and the
// lossless value checks.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "csv/cell_values.h"
#include "csv/csv_records.h"
#include "csv/input_stream.h"

namespace varn {
namespace {

// Input bytes in an unlinked temporary file.
int temp_fd(const std::string& bytes) {
    char path[] = "/tmp/varn-records-XXXXXX";
    int fd = ::mkstemp(path);
    ::unlink(path);
    EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::lseek(fd, 0, SEEK_SET);
    return fd;
}

struct Parsed {
    std::vector<std::vector<std::string>> rows;
    std::vector<uint64_t> lines;
    char delimiter = 0;
    std::string error;
    uint64_t raw_read = 0;  // input bytes read
};

Parsed parse(const std::string& bytes, uint8_t delimiter = 0, size_t buffer = 4u << 20, uint64_t skip = 0,
             uint8_t comment = 0, uint64_t record_limit = 0) {
    Parsed out;
    auto in = InputStream::from_fd(temp_fd(bytes), true);
    EXPECT_TRUE(in.is_ok());
    CsvRecordReader reader(*in.value(), delimiter, buffer);
    reader.skip_lines(skip, comment);
    reader.set_record_limit(record_limit, "(too long)");
    for (;;) {
        auto got = reader.next();
        if (got == CsvRecordReader::kEnd) break;
        if (got == CsvRecordReader::kError) {
            out.error = reader.error().message();
            break;
        }
        std::vector<std::string> row;
        for (const CsvField& f : reader.fields()) row.emplace_back(reinterpret_cast<const char*>(f.data), f.size);
        out.rows.push_back(row);
        out.lines.push_back(reader.line());
    }
    out.delimiter = static_cast<char>(reader.delimiter());
    out.raw_read = in.value()->raw_bytes_read();
    return out;
}

using Rows = std::vector<std::vector<std::string>>;

TEST(CsvRecords, Dialect) {
    struct Case {
        const char* name;
        std::string text;
        Rows rows;
        char delimiter;
    };
    const Case cases[] = {
        {"quoted delimiter and doubled quotes", "a,b\n\"x, y\",\"say \"\"hi\"\"\"\n",
         {{"a", "b"}, {"x, y", "say \"hi\""}}, ','},
        {"line breaks inside quotes are kept", "a\n\"1\r\n2\n3\"\n", {{"a"}, {"1\r\n2\n3"}}, ','},
        {"CR only", "a,b\r1,2\r", {{"a", "b"}, {"1", "2"}}, ','},
        {"BOM and CRLF", "\xEF\xBB\xBF" "a,b\r\n1,2", {{"a", "b"}, {"1", "2"}}, ','},
        {"unquoted trimmed, quoted kept", " a ,\" b \" \n", {{"a", " b "}}, ','},
        {"stray quote is text", "a\n5\" pipe\n", {{"a"}, {"5\" pipe"}}, ','},
        {"text after a closing quote", "a\n\"ab\"cd\n", {{"a"}, {"abcd"}}, ','},
        {"blank lines skipped, empty quoted kept", "a\n\n  \n\"\"\n", {{"a"}, {""}}, ','},
        {"semicolon detected", "a;b;c\n1;2,5;3\n", {{"a", "b", "c"}, {"1", "2,5", "3"}}, ';'},
        {"tab detected", "a\tb\n1\t2\n", {{"a", "b"}, {"1", "2"}}, '\t'},
        {"bar detected", "a|b\n1|2\n", {{"a", "b"}, {"1", "2"}}, '|'},
        {"tie goes to comma", "a,b;c\n", {{"a", "b;c"}}, ','},
        {"delimiters in quotes do not count", "\"a;b;c\",d\n", {{"a;b;c", "d"}}, ','},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Parsed p = parse(c.text);
        EXPECT_EQ(p.error, "");
        EXPECT_EQ(p.rows, c.rows);
        EXPECT_EQ(p.delimiter, c.delimiter);
    }
}

TEST(CsvRecords, LineNumbersCountBreaksInsideQuotes) {
    Parsed p = parse("a\n\"x\ny\"\n\nz\r\"q\rr\"\rw\n");
    EXPECT_EQ(p.lines, (std::vector<uint64_t>{1, 2, 5, 6, 8}));
}

TEST(CsvRecords, RecordsAcrossBufferRefills) {
    // A tiny buffer: records, quoted fields and CR LF pairs split at every place.
    std::string text = "k,v\n";
    Rows want = {{"k", "v"}};
    for (int i = 0; i < 200; ++i) {
        text += std::to_string(i) + ",\"x\"\"" + std::to_string(i) + "\r\ny\"\r\n";
        want.push_back({std::to_string(i), "x\"" + std::to_string(i) + "\r\ny"});
    }
    Parsed p = parse(text, 0, 7);
    EXPECT_EQ(p.error, "");
    EXPECT_EQ(p.rows, want);
}

TEST(CsvRecords, SkippedLinesAcrossBufferRefills) {
    // A preamble and comment lines longer than the buffer, CR LF pairs split
    // by refills, a blank line before the header, comment lines between
    // records and a '#' inside a quoted field that is no comment.
    const std::string preamble = "title; with; semicolons\r\n" + std::string(40, ';') + "\r\n";
    const std::string body = "# a; long; comment; " + std::string(30, ';') + "\r\n   \r\nname\tv\r\n# x;y\r\n"
                             "a\t\"1\n# kept\"\r\n#\r\nb\t2";
    const Rows want = {{"name", "v"}, {"a", "1\n# kept"}, {"b", "2"}};
    for (size_t buffer : {size_t{3}, size_t{7}, size_t{4} << 20}) {
        Parsed p = parse(preamble + body, 0, buffer, 2, '#');
        EXPECT_EQ(p.error, "") << buffer;
        EXPECT_EQ(p.rows, want) << buffer;
        EXPECT_EQ(p.delimiter, '\t') << buffer;
        EXPECT_EQ(p.lines, (std::vector<uint64_t>{5, 7, 10})) << buffer;
    }
    // Without the options the comment line decides the delimiter.
    EXPECT_EQ(parse(body).delimiter, ';');
    // More lines to skip than the input has: no record.
    EXPECT_TRUE(parse("a\nb", 0, 4u << 20, 5).rows.empty());
}

TEST(CsvRecords, Errors) {
    EXPECT_EQ(parse("a\n\"open\n").error, "line 2: a quoted field is not closed by the end of the input");
    EXPECT_EQ(parse("a\nok\n\xFF\n").error, "line 3: the text is not valid UTF-8");
}

// A record longer than the limit is refused, naming its first line, at any
// buffer size and whatever its line break; one at the limit is read.
TEST(CsvRecords, RecordLimit) {
    const std::string x20(20, 'x');
    struct Case {
        std::string text;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"h\n" + x20 + "\nz\n", ""},
        {"h\r\n" + x20 + "\r\nz", ""},
        {"h\r" + x20 + "\r", ""},
        {"h\n" + x20, ""},
        {"h\n" + x20 + "x\nz\n", "line 2: a row longer than 20 bytes (too long)"},
        {"h\n" + x20 + "x", "line 2: a row longer than 20 bytes (too long)"},
        {"h\n\"a\n\n" + x20 + "\"\nz\n", "line 2: a row longer than 20 bytes (too long)"},
        {x20 + "x,y\nz\n", "line 1: a row longer than 20 bytes (too long)"},
        {"#" + x20 + x20 + "\nh\n" + x20 + "\n", ""},  // a skipped comment line is no row
    };
    for (size_t buffer : {size_t{3}, size_t{7}, size_t{64}}) {
        for (const Case& c : cases) {
            Parsed p = parse(c.text, ',', buffer, 0, '#', 20);
            EXPECT_EQ(p.error, c.error) << buffer << " " << c.text;
            if (c.error.empty()) {
                EXPECT_EQ(p.rows.size(), c.text.find('z') == std::string::npos ? 2u : 3u) << c.text;
            }
        }
    }
    // Refused once the limit is passed, long before the line is read whole.
    const std::string huge = "h\n" + std::string(size_t{8} << 20, 'x') + "\n";
    Parsed p = parse(huge, ',', 16, 0, 0, 1000);
    EXPECT_EQ(p.error, "line 2: a row longer than 1000 bytes (too long)");
    EXPECT_LT(p.raw_read, size_t{3} << 20);
    EXPECT_EQ(parse(huge, ',', 16).error, "");
}

TEST(InputStream, GzipMembersAreOneStream) {
    auto gz = [](const std::string& s) {
        uLongf n = compressBound(static_cast<uLong>(s.size())) + 64;
        std::string out(n, '\0');
        z_stream z{};
        deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(s.data()));
        z.avail_in = static_cast<uInt>(s.size());
        z.next_out = reinterpret_cast<Bytef*>(out.data());
        z.avail_out = static_cast<uInt>(n);
        deflate(&z, Z_FINISH);
        out.resize(z.total_out);
        deflateEnd(&z);
        return out;
    };
    Parsed p = parse(gz("a,b\n1,2\n") + gz("3,4\n"));
    EXPECT_EQ(p.rows, (Rows{{"a", "b"}, {"1", "2"}, {"3", "4"}}));
    std::string cut = gz("a,b\n1,2\n");
    cut.resize(cut.size() - 6);
    EXPECT_NE(parse(cut).error, "");
}

// Short numbers take a direct path, long ones the library's: both must give
// the same values and the same range errors at the 18/19-digit seam.
TEST(CellValues, IntValuesAcrossTheDigitCounts) {
    struct Case {
        const char* text;
        bool ok;
        int64_t value;
    };
    const Case cases[] = {
        {"0", true, 0},
        {"+42", true, 42},
        {"-0042", true, -42},
        {"999999999999999999", true, 999999999999999999},
        {"-999999999999999999", true, -999999999999999999},
        {"1000000000000000000", true, 1000000000000000000},
        {"9223372036854775807", true, INT64_MAX},
        {"-9223372036854775808", true, INT64_MIN},
        {"9223372036854775808", false, 0},
        {"-", false, 0},
        {"12a", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const Result<int64_t> v = int_value(reinterpret_cast<const uint8_t*>(c.text), std::strlen(c.text), false);
        ASSERT_EQ(v.is_ok(), c.ok) << v.message();
        if (c.ok) {
            EXPECT_EQ(v.value(), c.value);
        }
    }
}

TEST(CellValues, CanonicalForms) {
    struct Case {
        const char* text;
        bool as_int, as_float, as_bool;
    };
    const Case cases[] = {
        {"0", true, true, false},         {"-12", true, true, false},
        {"007", false, false, false},     {"+1", false, false, false},
        {"-0", false, false, false},      {"9223372036854775807", true, false, false},
        {"999999999999999999", true, false, false}, {"-100000000000000000", true, false, false},
        {"9223372036854775808", false, false, false},
        {"1.5", false, true, false},      {"1.50", false, false, false},
        {"-0.0001", false, true, false},  {"0.00001", false, false, false},
        {"1.", false, false, false},      {".5", false, false, false},
        {"1e3", false, false, false},     {"922337203685477.5807", false, true, false},
        {"922337203685477.5808", false, false, false},
        {"true", false, false, true},     {"TRUE", false, false, false},
        {"", false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const auto* p = reinterpret_cast<const uint8_t*>(c.text);
        const size_t n = std::string(c.text).size();
        EXPECT_EQ(canonical_int(p, n), c.as_int);
        EXPECT_EQ(canonical_float(p, n), c.as_float);
        EXPECT_EQ(canonical_bool(p, n), c.as_bool);
    }
}

TEST(CellValues, DeclaredFloatsNeverLoseSilently) {
    struct Case {
        const char* text;
        bool lossy;
        bool ok;
        int64_t scaled;
    };
    const Case cases[] = {
        {"1.25", false, true, 12500},     {"-2.5e-1", false, true, -2500},
        {"+.5", false, true, 5000},       {"1e3", false, true, 10000000},
        {"1.23456", false, false, 0},     {"1.23455", true, true, 12346},
        {"-1.23455", true, true, -12346}, {"0.00004", true, true, 0},
        {"1e15", false, false, 0},        {"1e15", true, true, INT64_MAX},
        {"inf", true, false, 0},          {"0x10", true, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const auto* p = reinterpret_cast<const uint8_t*>(c.text);
        const Result<int64_t> v = scaled_value(p, std::string(c.text).size(), c.lossy);
        EXPECT_EQ(v.is_ok(), c.ok) << v.message();
        if (c.ok) {
            EXPECT_EQ(v.value(), c.scaled);
        } else {
            EXPECT_EQ(v.kind(), ErrorKind::invalid_input);
        }
    }
}

TEST(CellValues, JsonNumbers) {
    struct Case {
        const char* text;
        bool exact;
    };
    const Case cases[] = {
        {"[1, -2, 9223372036854775807]", true},
        {"{\"a\": 0.1, \"b\": 1.5e300}", true},
        {"\"12345678901234567890 in a string\"", true},
        {"12345678901234567890", false},
        {"[0.12345678901234567890]", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string t = c.text;
        EXPECT_EQ(json_numbers_exact(ByteView(reinterpret_cast<const uint8_t*>(t.data()), t.size())).is_ok(), c.exact);
    }
}

}  // namespace
}  // namespace varn
