// Type inference: one reader over the whole input, or readers over byte
// ranges of a plain file whose results are joined in file order.
#include "convert/type_inference.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <system_error>
#include <thread>

#include "common/fd.h"
#include "csv/cell_values.h"
#include "format/file/chunk_pipeline.h"
#include "format/type_codes.h"

namespace varn {

void ColumnGuess::see(const uint8_t* p, size_t n) {
    if (n == 0) {
        int_ok = float_ok = bool_ok = false;
        return;
    }
    if (int_ok) int_ok = canonical_int(p, n);
    if (float_ok) float_ok = canonical_float(p, n);
    if (bool_ok) bool_ok = canonical_bool(p, n);
}

uint8_t ColumnGuess::type(uint64_t rows) const {
    if (rows == 0) return format::kTypeText;
    if (int_ok) return format::kTypeInt;
    if (float_ok) return format::kTypeFloat;
    if (bool_ok) return format::kTypeBool;
    return format::kTypeText;
}

namespace {


// One record's cells seen; false for a row longer than the header when
// that is an error.
bool see_record(const std::vector<CsvField>& fields, TypeGuesses& g, ExtraFields extra) {
    const size_t columns = g.columns.size();
    if (fields.size() > columns && extra == ExtraFields::Error) return false;
    const size_t present = std::min(fields.size(), columns);
    for (size_t c = 0; c < present; ++c)
        if (g.columns[c].any()) g.columns[c].see(fields[c].data, fields[c].size);
    for (size_t c = present; c < columns; ++c) g.columns[c].see(nullptr, 0);
    ++g.data_rows;
    return true;
}

Result<TypeGuesses> guess_serially(CsvRecordReader& reader, size_t columns, ExtraFields extra,
                                   const std::string& hint) {
    TypeGuesses g;
    g.columns.assign(columns, ColumnGuess{});
    CsvRecordReader::Outcome got;
    while ((got = reader.next()) == CsvRecordReader::kRecord) {
        if (!see_record(reader.fields(), g, extra))
            return too_many_fields(reader.line(), reader.fields().size(), columns, hint);
    }
    if (got == CsvRecordReader::kError) return reader.error();
    return g;
}

// The first line start at or after `at` in the file: just after a LF, or
// after a CR not followed by a LF. The file's size when there is none.
bool line_start(int fd, uint64_t at, uint64_t size, uint64_t& start) {
    if (at == 0) {
        start = 0;
        return true;
    }
    uint8_t buf[1 << 16];
    uint64_t off = at - 1;  // the byte before a line start ends a line
    bool after_cr = false;
    for (;;) {
        const ssize_t n = pread_fd(fd, buf, sizeof buf, static_cast<off_t>(off));
        if (n < 0) return false;
        if (n == 0) {
            start = after_cr ? off : size;
            return true;
        }
        for (ssize_t k = 0; k < n; ++k) {
            if (after_cr) {
                start = off + static_cast<uint64_t>(k) + (buf[k] == '\n');
                return true;
            }
            if (buf[k] == '\n') {
                start = off + static_cast<uint64_t>(k) + 1;
                return true;
            }
            after_cr = buf[k] == '\r';
        }
        off += static_cast<uint64_t>(n);
    }
}

// The records of one range: those whose reading starts before `limit`.
struct RangeScan {
    uint64_t start = 0;
    uint64_t end = 0;  // where the reading of the next record starts
    TypeGuesses guesses;
    bool failed = false;
};

// A record longer than `record_limit` fails the range (the single reader
// then refuses it with its message).
void scan_range(const std::string& path, uint64_t from, uint64_t limit, uint8_t delimiter, uint8_t comment,
                uint64_t record_limit, size_t columns, ExtraFields extra, RangeScan& out) {
    out.start = out.end = from;
    out.failed = false;
    out.guesses.columns.assign(columns, ColumnGuess{});
    out.guesses.data_rows = 0;
    if (from >= limit) return;
    try {
        Result<std::unique_ptr<InputStream>> opened = InputStream::open_text_at(path, from);
        if (opened.failed()) {
            out.failed = true;
            return;
        }
        CsvRecordReader reader(*opened.value(), delimiter, CsvRecordReader::MidText{});
        reader.skip_lines(0, comment);
        reader.set_record_limit(record_limit, {});
        while (from + reader.offset() < limit) {
            const CsvRecordReader::Outcome got = reader.next();
            if (got == CsvRecordReader::kEnd) break;
            if (got == CsvRecordReader::kError || !see_record(reader.fields(), out.guesses, extra)) {
                out.failed = true;
                return;
            }
        }
        out.end = from + reader.offset();
    } catch (const std::bad_alloc&) {
        out.failed = true;
    }
}

}  // namespace

Result<TypeGuesses> guess_types(CsvRecordReader& reader, const InputStream& in, const std::string& path,
                                size_t columns, ExtraFields extra, unsigned threads, const RangeSizes& sizes,
                                const std::string& long_row_hint) {
    const uint64_t first = reader.offset();
    const uint64_t size = in.file_size();
    if (threads < 2 || !in.rereadable() || in.compression() != InputCompression::None ||
        !in.transcoded_from().empty() || path.empty() ||
        path == "-" || size <= first || size - first < sizes.min_text)
        return guess_serially(reader, columns, extra, long_row_hint);

    // At least one range per thread, none longer than sizes.most.
    threads = std::min(threads, ChunkPipeline::kMaxWorkers);
    const uint64_t text = size - first;
    const uint64_t rounds = (text + uint64_t{threads} * sizes.most - 1) / (uint64_t{threads} * sizes.most);
    const size_t ranges = static_cast<size_t>(rounds * threads);
    std::vector<uint64_t> bound(ranges + 1);
    for (size_t i = 0; i <= ranges; ++i) bound[i] = first + text / ranges * i + text % ranges * i / ranges;
    // The last range reads to the end, as one reader would, should the file have grown.
    bound[ranges] = UINT64_MAX;

    std::vector<RangeScan> scans(ranges);
    std::atomic<size_t> next{0};
    std::atomic<bool> fd_failed{false};
    const int fd = open_fd(path.c_str(), O_RDONLY);
    if (fd < 0) return guess_serially(reader, columns, extra, long_row_hint);
    const uint8_t delimiter = reader.delimiter();
    const uint8_t comment = reader.comment();
    const uint64_t record_limit = reader.record_limit();
    auto work = [&] {
        for (size_t i; (i = next.fetch_add(1)) < ranges;) {
            uint64_t start = first;
            if (i > 0 && !line_start(fd, bound[i], size, start)) {
                fd_failed = true;
                continue;
            }
            scan_range(path, start, bound[i + 1], delimiter, comment, record_limit, columns, extra, scans[i]);
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < std::min<size_t>(threads, ranges); ++t) {
        try {
            pool.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // fewer threads: the others take the ranges
        }
    }
    work();
    for (std::thread& t : pool) t.join();
    ::close(fd);
    if (fd_failed) return guess_serially(reader, columns, extra, long_row_hint);

    TypeGuesses g;
    g.columns.assign(columns, ColumnGuess{});
    for (size_t i = 0; i < ranges; ++i) {
        if (i > 0 && scans[i].start != scans[i - 1].end)
            scan_range(path, scans[i - 1].end, bound[i + 1], delimiter, comment, record_limit, columns, extra, scans[i]);
        if (scans[i].failed) return guess_serially(reader, columns, extra, long_row_hint);
        for (size_t c = 0; c < columns; ++c) g.columns[c].merge(scans[i].guesses.columns[c]);
        g.data_rows += scans[i].guesses.data_rows;
    }
    return g;
}

}  // namespace varn
