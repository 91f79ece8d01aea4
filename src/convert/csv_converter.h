// compress_csv: streams a CSV text file into a VARN v2 file in batches of
// 65,536 rows, printing a progress report to standard error. Memory is
// bounded by one batch whatever the file size.
//
// The CSV dialect: lines end at "\n" (a "\r" before it goes with it); every
// "," separates fields (no quoting or escaping); fields are trimmed of Unicode
// White_Space; blank lines are skipped; short rows are padded with empty
// cells and extra fields are dropped. The input must be UTF-8.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/result.h"
#include "common/bytes.h"
#include "format/block/block_compression.h"
#include "format/format.h"
#include "format/column/kval.h"

namespace varn {

// The converter's version: in its report banner and in compress_csv's docstring.
#define VARN_CONVERTER_VERSION "1.3.2"
inline constexpr const char* kConverterVersion = VARN_CONVERTER_VERSION;

struct ConversionSummary {
    uint64_t csv_size = 0;
    uint64_t varn_size = 0;
    double compression_ratio = 0.0;  // percent of the input size saved
};

// Declares how one header column is stored, instead of plain text.
struct ColumnDeclaration {
    std::string name;                        // a name of the header line
    uint8_t type_code = format::kTypeText;   // format::TypeCode
    bool encrypt = false;                    // encrypt with `key` (AES-256, counter mode)
    std::array<uint8_t, 32> key{};
};

// Turns one trimmed field into the cell of a declared column type, or an error
// message; the converter prefixes it with the line number and column name.
using FieldParser = std::function<Result<KVal>(uint8_t type_code, ByteView text)>;

struct ConversionHooks {
    // Called after every full batch written, with the bytes of the input
    // consumed so far and the data rows accepted. Returning
    // false stops the conversion as a failure of kind interrupted; the output
    // is then left as for any failure after the writer started.
    std::function<bool(uint64_t bytes_read, uint64_t rows)> after_batch;
    // Called between the header pass and the data pass (for tests that change
    // the input in between).
    std::function<void()> before_data_pass;
    // Write the report lines to standard error.
    bool report = true;
    // Called before each report line is written (a progress bar clears itself).
    std::function<void()> before_report_line;
    // Typed or encrypted columns. With no declarations every column is text and
    // the output is exactly that of the plain conversion. Declaring a type
    // other than text needs `parse_field`.
    std::vector<ColumnDeclaration> declarations;
    FieldParser parse_field;
    // Worker threads that analyse and compress the columns while the next
    // batch is read; 0 means one per CPU this process may use, 1 means none
    // (everything on the calling thread). The output is the same for all.
    unsigned threads = 0;
    // Declared Int, Float and Bool columns: an empty cell is stored as 0 or
    // false (and counted as null) and a Float with more than 4 decimals is
    // rounded, instead of stopping the conversion.
    bool lossy = false;
    // Int, Float and Bool columns are parsed straight into the batch (no
    // KVal per cell) by the rules of strict_field_parser(lossy) instead of
    // going through parse_field. Only schemas of Text, Int, Float and Bool
    // columns take this path.
    bool parse_values = false;
    // Messages name the Python keywords instead of the command's options.
    bool python_names = false;
    // A header field holding a NUL byte stops the conversion (a column name
    // with one is cut short by every consumer that takes C strings).
    bool refuse_nul_names = false;
    // The block compressor's level for the column records. Default keeps
    // the output exactly as described above.
    BlockLevel level = BlockLevel::Default;
    // A line longer than this many bytes stops the conversion (kind
    // invalid_input) before the rest of it is read, with the message "line
    // N: a row longer than MAX bytes " + line_limit_reason. 0: no limit.
    uint64_t max_line = 0;
    std::string line_limit_reason;
};

enum class CsvDialect {
    Rfc4180,  // quoted fields, any of , ; TAB | as delimiter, compressed input (convert_csv)
    Plain,    // compress_csv's: one line a row, every comma separates
};

enum class ExtraFields {
    Error,  // a row with more fields than the header stops the conversion
    Drop,   // the extra fields are dropped (counted in the report)
};

// The options of `varn compress`, in one place so that every front end
// (the command, the Python package) takes the same ones.
struct ConvertOptions {
    CsvDialect dialect = CsvDialect::Rfc4180;
    uint8_t delimiter = 0;  // 0: detected from the header line (RFC 4180 only)
    bool infer_types = true;  // Int, Float or Bool where every cell keeps its exact text
    ExtraFields extra_fields = ExtraFields::Error;
    bool lossy = false;  // see ConversionHooks::lossy
    std::vector<ColumnDeclaration> declarations;  // --type and --encrypt
    unsigned threads = 0;  // see ConversionHooks::threads
    BlockLevel level = BlockLevel::Default;  // see ConversionHooks::level
    bool report = true;
    // The input's encoding for iconv; empty: UTF-8, or UTF-16 / UTF-32 when
    // the text starts with their byte-order mark (RFC 4180 only).
    std::string encoding;
    uint64_t skip_lines = 0;  // lines dropped at the start, before the header
    uint8_t comment = 0;      // lines starting with this byte are dropped (0: none)
    // Messages name the Python keywords (extra_fields="drop") instead of the
    // command's options (--extra-fields drop).
    bool python_names = false;
    // The memory budget in bytes (0: default_memory_budget(), as the
    // readers'). A row takes about 3 times its length while it is converted,
    // so a row (a line, or the lines of a quoted field) longer than a third
    // of the budget is refused, naming its line, before it is read whole.
    uint64_t max_memory = 0;
};

// Fails with ErrorKind::io when the input cannot be opened or read (text
// that is not UTF-8 included), the output cannot be written, or the header
// has more columns than a file holds; with invalid_input for an empty input
// and bad declarations or fields; with interrupted when after_batch asked to
// stop; with out_of_memory when a worker ran out of memory.
Result<ConversionSummary> compress_csv(const std::string& csv_path, const std::string& varn_path,
                                       const ConversionHooks& hooks = {});

// The conversion of `varn compress`. `csv_path` "-" is standard input. The
// RFC 4180 dialect reads the input once when no types are inferred; to infer
// them it reads the whole input first (input that cannot be read twice is
// spooled, still compressed, to an unlinked temporary file for that) and
// converts in a second pass. `hooks` gives the progress callback; its
// declarations, threads and lossy are taken from `options`.
Result<ConversionSummary> convert_csv(const std::string& csv_path, const std::string& varn_path,
                                      const ConvertOptions& options, ConversionHooks hooks = {});

// The field parser of declared types that never loses data silently: the
// parse_field grammar, with an empty cell, a value out of range, a Float
// with more than 4 decimals or an inexact JSON number refused unless `lossy`.
FieldParser strict_field_parser(bool lossy, bool python_names = false);

// A row with more fields than the header: "line N: F fields, but the header
// has C columns" and, in parentheses, `hint` (what would help) when given.
Status too_many_fields(uint64_t line, size_t fields, size_t columns, const std::string& hint);

// "1 column", "3 columns".
std::string count_text(uint64_t n, const char* singular, const char* plural);

}  // namespace varn
