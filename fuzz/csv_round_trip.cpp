// Fuzz target: CSV conversion of arbitrary bytes, then a full verify and a
// cell-by-cell read back. The cells the conversion must keep are computed
// here from the dialect alone: the text is split on "\n" (one "\r" before
// each "\n" goes with it), the first line is the header with one column per
// comma plus one, lines that are empty after trimming White_Space are
// skipped, every other line is split on every "," and each field trimmed;
// short rows are padded with empty cells and extra fields dropped. The
// conversion must succeed exactly when the input is non-empty, well-formed
// UTF-8, and then the file must verify and hold exactly those cells.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "convert/csv_converter.h"
#include "fuzz_common.h"
#include "format/format.h"
#include "format/file/reader.h"

namespace {

struct Table {
    std::vector<std::string_view> names;
    std::vector<std::vector<std::string_view>> rows;  // names.size() cells each
};

std::vector<std::string_view> split_commas(std::string_view line) {
    std::vector<std::string_view> pieces;
    size_t at = 0;
    for (;;) {
        const size_t comma = line.find(',', at);
        if (comma == std::string_view::npos) {
            pieces.push_back(line.substr(at));
            return pieces;
        }
        pieces.push_back(line.substr(at, comma - at));
        at = comma + 1;
    }
}

// The table a conversion of `text` (non-empty, well-formed UTF-8) must store.
Table expected_table(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t at = 0;
    while (at < text.size()) {
        const size_t nl = text.find('\n', at);
        if (nl == std::string_view::npos) {
            lines.push_back(text.substr(at));  // the last line needs no "\n"
            break;
        }
        std::string_view line = text.substr(at, nl - at);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        at = nl + 1;
    }
    Table t;
    for (std::string_view name : split_commas(lines.at(0))) t.names.push_back(fuzz::trim_white_space(name));
    for (size_t i = 1; i < lines.size(); ++i) {
        if (fuzz::trim_white_space(lines[i]).empty()) continue;
        const std::vector<std::string_view> fields = split_commas(lines[i]);
        std::vector<std::string_view> row(t.names.size());
        for (size_t c = 0; c < row.size() && c < fields.size(); ++c) {
            row[c] = fuzz::trim_white_space(fields[c]);
        }
        t.rows.push_back(std::move(row));
    }
    return t;
}

void check_file(const std::string& path, const Table& want) {
    auto opened = varn::VarnReader::open(path);
    FUZZ_CHECK(opened.is_ok(), "the converted file does not open: %s", opened.message().c_str());
    varn::VarnReader& r = *opened.value();

    varn::VerifyReport report;
    const varn::Status verified = varn::verify_file(r, report);
    FUZZ_CHECK(verified.is_ok(), "the converted file does not verify: %s", verified.message().c_str());

    const size_t rows = want.rows.size();
    const size_t chunk = varn::format::kChunkRows;
    FUZZ_CHECK(r.column_count() == want.names.size(), "%zu columns, expected %zu", r.column_count(),
               want.names.size());
    FUZZ_CHECK(r.header().total_rows == rows && r.index_rows() == rows && report.rows == rows,
               "%llu rows, expected %zu", static_cast<unsigned long long>(r.header().total_rows), rows);
    FUZZ_CHECK(r.chunk_count() == (rows + chunk - 1) / chunk, "%zu chunks for %zu rows",
               r.chunk_count(), rows);
    for (size_t k = 0; k < want.names.size(); ++k) {
        const varn::KColumn& c = r.columns()[k];
        FUZZ_CHECK(c.name == want.names[k], "column %zu is named '%s', expected '%.*s'", k,
                   c.name.c_str(), static_cast<int>(want.names[k].size()), want.names[k].data());
        FUZZ_CHECK(c.type_code == varn::format::kTypeText && c.flags == 0,
                   "column %zu has type %u and flags %u", k, c.type_code, c.flags);
    }

    std::vector<varn::KVal> cells;
    for (size_t ch = 0; ch < r.chunk_count(); ++ch) {
        const size_t first = ch * chunk;
        FUZZ_CHECK(r.chunk_rows(ch) == std::min(chunk, rows - first), "chunk %zu holds %u rows", ch,
                   r.chunk_rows(ch));
        for (size_t k = 0; k < r.column_count(); ++k) {
            const varn::Status st = r.read_cells(ch, k, cells);
            FUZZ_CHECK(st.is_ok(), "chunk %zu column %zu does not read: %s", ch, k, st.message().c_str());
            FUZZ_CHECK(cells.size() == r.chunk_rows(ch), "%zu cells in chunk %zu", cells.size(), ch);
            for (size_t i = 0; i < cells.size(); ++i) {
                const std::string_view expected = want.rows[first + i][k];
                const auto* got = std::get_if<std::string>(&cells[i].v);
                FUZZ_CHECK(got && *got == expected, "row %zu column %zu: got %s'%s', expected '%.*s'",
                           first + i, k, got ? "" : "a non-text cell ", got ? got->c_str() : "",
                           static_cast<int>(expected.size()), expected.data());
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::ScratchDir& dir = fuzz::ScratchDir::get();
    const std::string csv = dir.path("input.csv");
    const std::string out = dir.path("output.varn");
    fuzz::write_file(csv, data, size);
    ::unlink(out.c_str());  // so that a file left by the previous input cannot pass for this one's

    varn::ConversionHooks hooks;
    hooks.report = false;
    const varn::Result<varn::ConversionSummary> got = varn::compress_csv(csv, out, hooks);

    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (size == 0) {
        FUZZ_CHECK(got.kind() == varn::ErrorKind::invalid_input && got.message() == "CSV file is empty",
                   "the empty file gave error kind %d: %s", static_cast<int>(got.kind()),
                   got.message().c_str());
        return 0;
    }
    if (!fuzz::utf8_well_formed(text)) {
        FUZZ_CHECK(got.kind() == varn::ErrorKind::io &&
                       got.message() == "stream did not contain valid UTF-8",
                   "ill-formed UTF-8 gave error kind %d: %s", static_cast<int>(got.kind()),
                   got.message().c_str());
        return 0;
    }
    FUZZ_CHECK(got.is_ok(), "the conversion failed (kind %d): %s", static_cast<int>(got.kind()),
               got.message().c_str());

    struct stat st;
    FUZZ_CHECK(::stat(out.c_str(), &st) == 0, "no output file");
    const varn::ConversionSummary& s = got.value();
    FUZZ_CHECK(s.csv_size == size && s.varn_size == static_cast<uint64_t>(st.st_size),
               "sizes %llu and %llu reported, %zu and %lld on disk",
               static_cast<unsigned long long>(s.csv_size), static_cast<unsigned long long>(s.varn_size),
               size, static_cast<long long>(st.st_size));
    FUZZ_CHECK((s.compression_ratio > 0.0) == (s.csv_size > s.varn_size) && s.compression_ratio < 100.0,
               "%.3f%% saved for %llu -> %llu bytes", s.compression_ratio,
               static_cast<unsigned long long>(s.csv_size), static_cast<unsigned long long>(s.varn_size));

    check_file(out, expected_table(text));
    return 0;
}
