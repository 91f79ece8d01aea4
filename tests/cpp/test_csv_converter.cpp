// The CSV driver through its C++ entry point: what it writes for changes to
// the input between its two passes, typed declarations, and interruption.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "convert/csv_converter.h"
#include "common/bytes.h"
#include "temp_files.h"

namespace varn {
namespace {

class ConverterTest : public TempFileTest {
protected:
    ConverterTest() : TempFileTest("varn_conv_") {}
    static ConversionHooks quiet() {
        ConversionHooks h;
        h.report = false;
        return h;
    }
};

TEST_F(ConverterTest, InputRemovedBetweenPasses) {
    std::string in = path("removed.csv"), out = path("removed.varn");
    write(in, "a,b\n1,2\n");
    ConversionHooks h = quiet();
    h.before_data_pass = [&] { std::remove(in.c_str()); };
    Result<ConversionSummary> o = compress_csv(in, out, h);
    EXPECT_EQ(o.kind(), ErrorKind::io);
    EXPECT_EQ(o.message(), "No such file or directory (os error 2)");
    struct stat st;
    EXPECT_NE(::stat(out.c_str(), &st), 0) << "a failed conversion leaves no output";
}

TEST_F(ConverterTest, InputTruncatedBetweenPassesGivesAnEmptyTable) {
    std::string in = path("trunc.csv"), out = path("trunc.varn");
    write(in, "a,b\n1,2\n3,4\n");
    ConversionHooks h = quiet();
    h.before_data_pass = [&] { write(in, "a,b\n"); };
    Result<ConversionSummary> o = compress_csv(in, out, h);
    ASSERT_TRUE(o.is_ok()) << o.message();
    Bytes f = read_file(out);
    EXPECT_EQ(load_le<uint64_t>(&f[8]), 0u);
    EXPECT_EQ(load_le<uint32_t>(&f[16]), 0u);
    EXPECT_EQ(o.value().varn_size, f.size());
}

TEST_F(ConverterTest, AfterBatchCanStopTheConversion) {
    std::string in = path("stop.csv"), out = path("stop.varn");
    std::string csv = "v\n";
    for (int i = 0; i < 65536 * 2 + 5; ++i) csv += "r\n";
    write(in, csv);
    ConversionHooks h = quiet();
    int calls = 0;
    uint64_t seen_rows = 0;
    h.after_batch = [&](uint64_t bytes, uint64_t rows) {
        ++calls;
        seen_rows = rows;
        EXPECT_GT(bytes, 0u);
        return false;
    };
    Result<ConversionSummary> o = compress_csv(in, out, h);
    EXPECT_EQ(o.kind(), ErrorKind::interrupted);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(seen_rows, 65536u);
    struct stat st;
    EXPECT_NE(::stat(out.c_str(), &st), 0) << "an interrupted conversion leaves no output";
}

TEST_F(ConverterTest, DeclarationsAreChecked) {
    std::string in = path("decl.csv"), out = path("decl.varn");
    write(in, "a,b\n1,x\n");
    ConversionHooks h = quiet();
    h.declarations.push_back(ColumnDeclaration{"nope", format::kTypeInt, false, {}});
    Result<ConversionSummary> o = compress_csv(in, out, h);
    EXPECT_EQ(o.kind(), ErrorKind::invalid_input);
    EXPECT_EQ(o.message(), "No column named 'nope' in the header");

    h.declarations = {ColumnDeclaration{"a", format::kTypeInt, false, {}}};
    h.parse_field = [](uint8_t, ByteView text) -> Result<KVal> {
        if (text.size() == 1 && text[0] == '7') return Status::invalid_input("unlucky");
        return KVal::make_int(static_cast<int64_t>(text.size()));
    };
    ASSERT_TRUE(compress_csv(in, out, h).is_ok());
    write(in, "a,b\n1,x\n\n7,y\n");
    o = compress_csv(in, out, h);
    EXPECT_EQ(o.kind(), ErrorKind::invalid_input);
    EXPECT_EQ(o.message(), "line 4, column 'a': unlucky");
}

TEST_F(ConverterTest, EncryptedTextColumnChangesOnlyItsRecords) {
    std::string in = path("enc.csv"), plain = path("plain.varn"), secret = path("secret.varn");
    write(in, "a,b\nhello,world\nhello,again\n");
    ConversionHooks h = quiet();
    ASSERT_TRUE(compress_csv(in, plain, h).is_ok());
    ColumnDeclaration d{"b", format::kTypeText, true, {}};
    for (size_t i = 0; i < d.key.size(); ++i) d.key[i] = static_cast<uint8_t>(i + 1);
    h.declarations = {d};
    ASSERT_TRUE(compress_csv(in, secret, h).is_ok());
    Bytes p = read_file(plain), s = read_file(secret);
    uint32_t schema_len = load_le<uint32_t>(&p[64]);
    ASSERT_EQ(schema_len, load_le<uint32_t>(&s[64]));
    size_t records = 76 + schema_len + 2;
    // Column a's record is identical; column b's differs (the schema flags differ too).
    uint64_t len_a = load_le<uint64_t>(&p[records + 4]);
    EXPECT_TRUE(std::equal(p.begin() + static_cast<long>(records),
                           p.begin() + static_cast<long>(records + 12 + len_a),
                           s.begin() + static_cast<long>(records)));
    EXPECT_NE(p, s);
}

}  // namespace
}  // namespace varn
