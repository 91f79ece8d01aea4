// The CSV driver. Two passes over the input: the header pass reads the first
// line for the column names; the data pass streams every other line into a
// reusable text batch (one buffer, one span per cell) and hands each batch of
// 65,536 rows to the writer. Nothing is allocated per cell or per row once the
// batch has grown to its working size.
#include "convert/csv_converter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/fd.h"
#include "common/grow_buffer.h"
#include "common/memory_budget.h"
#include "common/os_error.h"
#include "csv/cell_values.h"
#include "csv/csv_records.h"
#include "csv/field_parse.h"
#include "csv/input_stream.h"
#include "common/text_format.h"
#include "convert/batch_builder.h"
#include "convert/type_inference.h"
#include "common/text_scan.h"
#include "format/format.h"
#include "format/type_codes.h"
#include "format/file/chunk_pipeline.h"
#include "format/file/writer.h"

namespace varn {

namespace {

constexpr size_t kHeaderReadBuffer = 1u << 20;
constexpr size_t kDataReadBuffer = 16u << 20;
constexpr const char* kInvalidUtf8 = "stream did not contain valid UTF-8";
// A row's peak memory while it is converted, in multiples of its length:
// the reader's buffer, the batch's copy, and the payload and its record.
constexpr uint64_t kRowMemoryFactor = 3;

// Reads "\n"-terminated lines through one growable buffer. A line is handed
// out as a view into the buffer, valid until the next call, and is followed
// by at least TextBatchBuilder::kLineSlack readable bytes.
//
// UTF-8 is checked for many lines at once: the first time a line past the
// checked part is asked about, everything from its start to the last line
// end in the buffer is scanned in one call. The scan reports where the first
// bad character starts, so every line before it is known good and the line
// that holds it is the first bad line, exactly as checking line by line.
class LineReader {
public:
    static constexpr size_t kSlack = TextBatchBuilder::kLineSlack;

    LineReader(int fd, size_t capacity) : fd_(fd), base_(capacity + kSlack), buf_(base_) {}
    ~LineReader() {
        if (fd_ >= 0) ::close(fd_);
    }

    enum Outcome { kLine, kEnd, kError };

    // A line longer than `bytes` is refused as soon as that much of it is
    // buffered, before the rest is read: next() gives kError with "line N:
    // a row longer than BYTES bytes " + `reason`. 0: no limit (the default).
    void set_line_limit(uint64_t bytes, std::string reason) {
        limit_ = bytes;
        limit_reason_ = std::move(reason);
    }

    // The next line without its "\n" and the "\r" directly before it.
    Outcome next(const uint8_t*& line, size_t& len) {
        size_t scan = pos_;
        for (;;) {
            const void* nl = scan < end_ ? std::memchr(buf_.data() + scan, '\n', end_ - scan) : nullptr;
            if (nl) {
                size_t at = static_cast<size_t>(static_cast<const uint8_t*>(nl) - buf_.data());
                line = buf_.data() + pos_;
                len = at - pos_;
                if (len && line[len - 1] == '\r') --len;
                if (limit_ != 0 && len > limit_) return too_long();
                consumed_ += at + 1 - pos_;
                pos_ = at + 1;
                ++lines_;
                return kLine;
            }
            if (eof_) {
                if (pos_ == end_) {
                    release();
                    return kEnd;
                }
                line = buf_.data() + pos_;
                len = end_ - pos_;
                if (limit_ != 0 && len > limit_) return too_long();
                consumed_ += len;
                pos_ = end_;
                ++lines_;
                return kLine;
            }
            // Keep the partial line, make room, read more.
            size_t have = end_ - pos_;
            if (pos_ > 0) {
                std::memmove(buf_.data(), buf_.data() + pos_, have);
                checked_ = checked_ > pos_ ? checked_ - pos_ : 0;
                pos_ = 0;
                end_ = have;
                // The long line that grew the buffer is gone: give its memory back.
                if (buf_.size() > base_ && have + kSlack < base_) buf_.resize(base_);
            }
            scan = end_;
            if (end_ + kSlack == buf_.size()) {
                // The buffer holds nothing but the start of one line. Past
                // the limit it is refused (its last byte may be a CR).
                if (limit_ != 0 && end_ > limit_ + 1) return too_long();
                // A line longer than the buffer: grow by half, so that a
                // line of L bytes reserves at most about 1.5 L, and never
                // much past the limit.
                const size_t room = buf_.size() - kSlack;
                size_t grown = room + room / 2;
                if (limit_ != 0 && grown > limit_ + 2) grown = static_cast<size_t>(limit_ + 2);
                if (grown <= room) grown = room + 1;
                buf_.resize(grown + kSlack);
            }
            const ssize_t r = read_fd(fd_, buf_.data() + end_, buf_.size() - kSlack - end_);
            if (r < 0) {
                error_ = Status::io_error(last_os_error());
                return kError;
            }
            if (r == 0) eof_ = true;
            end_ += static_cast<size_t>(r);
            std::memset(buf_.data() + end_, 0, kSlack);
        }
    }

    // True when the line last returned by next() is well-formed UTF-8.
    bool line_is_utf8(const uint8_t* line, size_t len) {
        const size_t from = static_cast<size_t>(line - buf_.data());
        const size_t to = from + len;
        if (to <= checked_) return true;
        // Scan from this line up to the end of the last whole line buffered
        // (up to the end of the input at its end).
        size_t stop = end_;
        if (!eof_) {
            const void* nl = memrchr(buf_.data() + to, '\n', end_ - to);
            stop = nl ? static_cast<size_t>(static_cast<const uint8_t*>(nl) - buf_.data()) + 1 : to;
        }
        checked_ = from + utf8_scan(buf_.data() + from, stop - from);
        return to <= checked_;
    }

    const Status& error() const { return error_; }
    uint64_t consumed() const { return consumed_; }

private:
    Outcome too_long() {
        error_ = Status::invalid_input("line " + std::to_string(lines_ + 1) + ": a row longer than " +
                                       std::to_string(limit_) + " bytes " + limit_reason_);
        return kError;
    }

    // At the end of the input, the memory a long line took goes back.
    void release() {
        if (buf_.size() > base_) {
            buf_.resize(base_);
            pos_ = end_ = checked_ = 0;
        }
    }

    int fd_;
    size_t base_;  // the buffer's size when no line is longer than it
    GrowBuffer buf_;
    size_t pos_ = 0;
    size_t end_ = 0;
    size_t checked_ = 0;  // buf_[0..checked_) is known to be whole UTF-8 characters
    bool eof_ = false;
    uint64_t consumed_ = 0;
    uint64_t lines_ = 0;  // lines handed out
    uint64_t limit_ = 0;
    std::string limit_reason_;
    Status error_;
};

int open_read(const std::string& path) { return open_fd(path.c_str(), O_RDONLY); }

class Report {
public:
    // `legacy`: compress_csv's report lines (the banner, the batch size, the
    // DONE line); otherwise the caller writes its own.
    explicit Report(bool enabled, bool legacy = true, std::function<void()> before = {})
        : enabled_(enabled), legacy_(legacy), before_(std::move(before)) {}
    bool legacy() const { return legacy_; }
    void line(const std::string& text) const {
        if (!enabled_) return;
        if (before_) before_();
        (void)write_all(STDERR_FILENO, text.data(), text.size());  // the report is best effort
    }

private:
    bool enabled_;
    bool legacy_;
    std::function<void()> before_;
};

std::string size_text(uint64_t bytes) {
    double gb = static_cast<double>(bytes) / 1073741824.0;
    if (gb >= 1.0) return format_fixed(gb, 2) + "GB";
    return format_fixed(static_cast<double>(bytes) / 1048576.0, 0) + "MB";
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    return static_cast<double>(ns / 1000000000) + static_cast<double>(ns % 1000000000) / 1e9;
}

// An empty cell of a column that has no empty value, without --lossy.
Status empty_cell_error(uint8_t type_code, bool python_names) {
    return Status::invalid_input("empty cell: a " + std::string(format::type_info(type_code).name) +
                                 " column stores no empty value (" + (python_names ? "lossy=True" : "--lossy") +
                                 " stores 0 or false and counts it as null)");
}

// True when the output path names the file `in` describes (also through a link).
bool output_names_input(const struct stat& in, const std::string& varn_path) {
    struct stat out;
    return ::stat(varn_path.c_str(), &out) == 0 && out.st_dev == in.st_dev && out.st_ino == in.st_ino;
}

Status onto_itself_error(const std::string& csv_path, const std::string& varn_path) {
    return Status::io_error("Refusing to convert " + csv_path + " onto itself: the output path " + varn_path +
                    " names the input file");
}

// Begins the output file with the final schema and reports the batch size.
Status begin_writer(std::vector<KColumn> columns, const std::string& varn_path,
                    const Report& report, BlockLevel level, std::unique_ptr<StreamingVarnWriter>& writer) {
    const size_t column_count = columns.size();
    auto begun = StreamingVarnWriter::begin(std::move(columns), format::kChunkRows, varn_path);
    if (begun.failed()) return begun.status();
    writer = begun.take();
    writer->set_level(level);
    if (report.legacy())
        report.line(">>> Streaming 65536 rows at a time (~" + std::to_string(5 * column_count / 4) +
                "MB memory constant)...\n");
    return Status::ok();
}

// Applies the declarations to the header's columns; fails when a
// declaration names no column or a typed column has no field parser.
Status apply_declarations(std::vector<KColumn>& columns, const ConversionHooks& hooks) {
    for (size_t i = 0; hooks.refuse_nul_names && i < columns.size(); ++i) {
        const std::string& name = columns[i].name;
        if (name.find('\0') == std::string::npos) continue;
        std::string shown;
        for (char ch : name) shown += ch == '\0' ? std::string("\\0") : std::string(1, ch);
        return Status::invalid_input("column " + std::to_string(i + 1) + " of the header, '" + shown +
                                     "', holds a NUL byte, which a column name cannot hold");
    }
    for (const ColumnDeclaration& d : hooks.declarations) {
        bool found = false;
        for (KColumn& c : columns) {
            if (c.name != d.name) continue;
            found = true;
            c.type_code = d.type_code;
            c.flags = d.encrypt ? format::kFlagEncrypt : 0;
            c.key = d.key;
        }
        if (!found) return Status::invalid_input("No column named '" + d.name + "' in the header");
        if (d.type_code != format::kTypeText && !hooks.parse_field) {
            return Status::invalid_input("Column '" + d.name +
                                         "' is declared with a type but no field parser was given");
        }
    }
    return Status::ok();
}

// Builds KVal rows from a text batch for a schema with typed columns: text
// columns keep their text, the others go through the field parser.
Status typed_rows(const TextBatch& batch, const std::vector<KColumn>& columns,
                  const std::vector<uint64_t>& line_numbers, const FieldParser& parse,
                  std::vector<Row>& rows) {
    rows.resize(batch.rows);
    for (size_t r = 0; r < batch.rows; ++r) {
        Row& row = rows[r];
        row.clear();
        row.reserve(columns.size());
        const uint8_t* base = batch.text.data() + batch.row_offsets[r];
        for (size_t c = 0; c < columns.size(); ++c) {
            const TextSpan s = batch.cell(r, c);
            ByteView text(base + s.offset, s.length);
            if (columns[c].type_code == format::kTypeText) {
                row.push_back(KVal::make_str(std::string(reinterpret_cast<const char*>(text.data()),
                                                         text.size())));
                continue;
            }
            Result<KVal> cell = parse(columns[c].type_code, text);
            if (cell.failed()) {
                return cell.status().prefixed("line " + std::to_string(line_numbers[r]) +
                                              ", column '" + columns[c].name + "': ");
            }
            row.push_back(cell.take());
        }
    }
    return Status::ok();
}

// The column names of the first line, trimmed. A UTF-8 byte-order mark at
// the start of the file is not part of the first name.
Status read_header(LineReader& reader, std::vector<KColumn>& columns) {
    const uint8_t* line;
    size_t len;
    LineReader::Outcome got = reader.next(line, len);
    if (got == LineReader::kEnd) return Status::invalid_input("CSV file is empty");
    if (got == LineReader::kError) return reader.error();
    if (!utf8_valid(line, len)) return Status::io_error(kInvalidUtf8);
    if (len >= 3 && line[0] == 0xEF && line[1] == 0xBB && line[2] == 0xBF) {
        line += 3;
        len -= 3;
    }
    const uint8_t* end = line + len;
    const uint8_t* cur = line;
    for (;;) {
        const uint8_t* comma = static_cast<const uint8_t*>(std::memchr(cur, ',', end - cur));
        const uint8_t* b = cur;
        const uint8_t* e = comma ? comma : end;
        trim_space(b, e);
        KColumn column;
        column.name.assign(reinterpret_cast<const char*>(b), static_cast<size_t>(e - b));
        columns.push_back(std::move(column));
        if (!comma) break;
        cur = comma + 1;
    }
    return Status::ok();
}

void report_columns(const Report& report, const std::vector<KColumn>& columns) {
    std::string names;
    for (size_t i = 0; i < columns.size(); ++i) {
        if (i) names += ", ";
        names += columns[i].name;
    }
    report.line(">>> Columns (" + std::to_string(columns.size()) + "): " + names + "\n");
}

// The data pass: every line after the header streamed into a reusable text
// batch, written each time it holds a chunk's rows, then the last part. With
// worker threads, a full batch goes to the pipeline and the lines that follow
// fill the other batch meanwhile.
class BatchPass {
public:
    BatchPass(StreamingVarnWriter& writer, const ConversionHooks& hooks, const Report& report,
              bool typed)
        : writer_(writer),
          hooks_(hooks),
          report_(report),
          typed_(typed),
          values_path_(hooks.parse_values),
          builders_{TextBatchBuilder(batches_[0], writer.columns().size()),
                    TextBatchBuilder(batches_[1], writer.columns().size())} {
        // The cell spans grow with the first batch and are reused after it;
        // reserving a full batch up front would cost 512 KiB per column even
        // for a few rows.
        batches_[0].row_offsets.reserve(format::kChunkRows);
        for (const KColumn& c : writer.columns()) {
            if (c.type_code != format::kTypeText && c.type_code != format::kTypeInt &&
                c.type_code != format::kTypeFloat && c.type_code != format::kTypeBool)
                values_path_ = false;
        }
        const unsigned threads = hooks.threads ? hooks.threads : available_cores();
        if (threads > 1) pipeline_ = std::make_unique<ChunkPipeline>(writer, threads);
    }

    // Converts the lines after the header. `header_read` says whether the
    // reader has already gone past the header line (one pass over input that
    // cannot be read twice) or starts at the top of the file.
    Status run(LineReader& reader, bool header_read, std::chrono::steady_clock::time_point start);
    // Converts the records after the header (the RFC 4180 dialect).
    Status run_records(CsvRecordReader& reader, const InputStream& in, ExtraFields extra,
                       const std::string& long_row_hint, std::chrono::steady_clock::time_point start);
    uint64_t rows() const { return rows_; }
    // Rows that had more fields than the header, and the line of the first.
    uint64_t long_rows() const { return long_rows_; }
    uint64_t first_long_line() const { return first_long_line_; }

private:
    Status write_batch();
    Status finish();
    // Parses the Int, Float and Bool columns of batch `b` into its values.
    Status parse_values(int b);
    // Parses column `c` of batch `b` (0 or 1) into `values`.
    Status parse_column(int b, size_t c, BatchValues& values);
    Status after_full_batch(uint64_t consumed, std::chrono::steady_clock::time_point start);
    Status fail(Status failure);
    // Rows of KVal cells that take this much or more exist one batch at a time.
    static constexpr size_t kRowsBytesShared = size_t{16} << 20;

    StreamingVarnWriter& writer_;
    const ConversionHooks& hooks_;
    const Report& report_;
    const bool typed_;
    bool values_path_;  // no column needs KVal cells (only Text, Int, Float, Bool)
    TextBatch batches_[2];
    TextBatchBuilder builders_[2];
    int cur_ = 0;  // the batch being filled
    uint64_t rows_ = 0;
    uint64_t long_rows_ = 0;
    uint64_t first_long_line_ = 0;
    std::vector<uint64_t> line_numbers_[2];  // of each batch's rows, for typed-field errors
    // Parses the typed columns of a batch given to the pipeline, on its workers.
    ChunkPipeline::ColumnParser parse_column_ = [this](const TextBatch& batch, size_t c, BatchValues& values) {
        const int b = &batch == &batches_[0] ? 0 : 1;
        Status parsed = parse_column(b, c, values);
        // The spans of a parsed column are read no more.
        batches_[b].release_spans(c);
        return parsed;
    };
    std::vector<Row> typed_batches_[2];
    // Declared last: stopped and joined before the batches it reads go.
    std::unique_ptr<ChunkPipeline> pipeline_;
};

Status BatchPass::run(LineReader& reader, bool header_read,
                      std::chrono::steady_clock::time_point start) {
    const uint8_t* line;
    size_t len;
    if (!header_read) (void)reader.next(line, len);  // the header line again
    uint64_t line_number = 1;
    for (;;) {
        LineReader::Outcome got = reader.next(line, len);
        if (got == LineReader::kEnd) break;
        if (got == LineReader::kError) return fail(reader.error());
        // Text that is not UTF-8 is a failure to read the input as text.
        if (!reader.line_is_utf8(line, len)) return fail(Status::io_error(kInvalidUtf8));
        ++line_number;
        if (blank_line(line, len)) continue;
        if (len > UINT32_MAX) return fail(Status::io_error("CSV line longer than 4 GiB is not supported"));
        if (builders_[cur_].append_row(line, len) && long_rows_++ == 0) first_long_line_ = line_number;
        if (typed_) line_numbers_[cur_].push_back(line_number);
        ++rows_;
        if (batches_[cur_].rows == format::kChunkRows) {
            Status o = after_full_batch(reader.consumed(), start);
            if (o.failed()) return fail(std::move(o));
        }
    }
    return finish();
}

Status BatchPass::run_records(CsvRecordReader& reader, const InputStream& in, ExtraFields extra,
                              const std::string& long_row_hint, std::chrono::steady_clock::time_point start) {
    const size_t columns = writer_.columns().size();
    for (;;) {
        const CsvRecordReader::Outcome got = reader.next();
        if (got == CsvRecordReader::kEnd) break;
        if (got == CsvRecordReader::kError) return fail(reader.error());
        const std::vector<CsvField>& fields = reader.fields();
        if (fields.size() > columns) {
            if (extra == ExtraFields::Error) {
                return fail(too_many_fields(reader.line(), fields.size(), columns, long_row_hint));
            }
            if (long_rows_++ == 0) first_long_line_ = reader.line();
        }
        builders_[cur_].append_fields(fields.data(), fields.size());
        if (typed_) line_numbers_[cur_].push_back(reader.line());
        ++rows_;
        if (batches_[cur_].rows == format::kChunkRows) {
            Status o = after_full_batch(in.raw_bytes_read(), start);
            if (o.failed()) return fail(std::move(o));
        }
    }
    return finish();
}

Status BatchPass::finish() {
    if (batches_[cur_].rows > 0) {
        Status o = write_batch();
        if (o.failed()) return fail(std::move(o));
    }
    if (pipeline_) {
        Status written = pipeline_->finish();
        pipeline_.reset();
        if (written.failed()) return written;
    }
    return Status::ok();
}

Status BatchPass::parse_values(int b) {
    const std::vector<KColumn>& columns = writer_.columns();
    TextBatch& batch = batches_[b];
    batch.values.resize(columns.size());
    for (size_t c = 0; c < columns.size(); ++c) {
        if (columns[c].type_code == format::kTypeText) continue;
        VARN_RETURN_IF_ERROR(parse_column(b, c, batch.values[c]));
        batch.release_spans(c);  // read no more: the writer takes the values
    }
    return Status::ok();
}

Status BatchPass::parse_column(int b, size_t c, BatchValues& values) {
    const KColumn& column = writer_.columns()[c];
    const TextBatch& batch = batches_[b];
    const std::vector<uint64_t>& lines = line_numbers_[b];
    const uint8_t type = column.type_code;
    values.clear();
    values.v.resize(batch.rows);
    for (size_t r = 0; r < batch.rows; ++r) {
        const TextSpan span = batch.cell(r, c);
        const uint8_t* p = batch.text.data() + batch.row_offsets[r] + span.offset;
        auto cell_failure = [&](const Status& why) {
            return why.prefixed("line " + std::to_string(lines[r]) + ", column '" + column.name + "': ");
        };
        if (span.length == 0) {
            if (!hooks_.lossy) return cell_failure(empty_cell_error(type, hooks_.python_names));
            if (values.null.empty()) values.null.assign(batch.rows, 0);
            values.null[r] = 1;
            ++values.null_count;
            values.v[r] = 0;
            continue;
        }
        const Result<int64_t> v = type == format::kTypeInt     ? int_value(p, span.length, hooks_.lossy)
                                  : type == format::kTypeFloat ? scaled_value(p, span.length, hooks_.lossy)
                                                               : bool_value(p, span.length);
        if (v.failed()) return cell_failure(v.status());
        values.v[r] = v.value();
    }
    return Status::ok();
}

// A failure found while reading comes after every chunk before it, as in
// file order: a fault in writing those is reported first. An interruption
// is reported as it is, without waiting.
Status BatchPass::fail(Status failure) {
    if (pipeline_ && failure.kind() != ErrorKind::interrupted) {
        Status earlier = pipeline_->finish();
        if (earlier.failed()) return earlier;
    }
    return failure;
}

// Writes the batch through the text fast path, or as typed rows; with worker
// threads, hands it to them and moves on to the other batch, whose chunk is
// in the file by then.
Status BatchPass::write_batch() {
    builders_[cur_].flush();
    const TextBatch& batch = batches_[cur_];
    std::vector<Row>& typed_batch = typed_batches_[cur_];
    const std::vector<uint64_t>& lines = line_numbers_[cur_];
    Status written;
    if (typed_ && !values_path_ && pipeline_ &&
        batch.rows * writer_.columns().size() * sizeof(KVal) >= kRowsBytesShared) {
        // KVal rows take 40 bytes a cell or more (a wide batch: hundreds
        // of MB). The chunk in flight is done with its rows once it is in
        // the file: wait for that and build these rows in its storage, so
        // that one batch of rows exists at a time.
        VARN_RETURN_IF_ERROR(pipeline_->finish());
        typed_batch.swap(typed_batches_[cur_ ^ 1]);
    }
    if (typed_ && values_path_ && pipeline_) {
        // The workers parse each typed column as they encode it.
        written = pipeline_->submit_text(batch, parse_column_);
    } else if (typed_ && values_path_) {
        VARN_RETURN_IF_ERROR(parse_values(cur_));
        written = writer_.write_text_chunk(batch);
    } else if (typed_) {
        VARN_RETURN_IF_ERROR(typed_rows(batch, writer_.columns(), lines, hooks_.parse_field, typed_batch));
        written = pipeline_ ? pipeline_->submit_rows(typed_batch, batch.rows)
                            : writer_.write_chunk(typed_batch, batch.rows);
    } else {
        written = pipeline_ ? pipeline_->submit_text(batch) : writer_.write_text_chunk(batch);
    }
    if (written.failed()) return written;
    if (pipeline_) {
        // The other batch will most likely take as many rows as this one.
        const size_t filled = batches_[cur_].rows;
        cur_ ^= 1;
        batches_[cur_].expect_rows(filled);
        builders_[cur_].clear();
        builders_[cur_].plan_like(builders_[cur_ ^ 1]);
    } else {
        builders_[cur_].clear();
    }
    line_numbers_[cur_].clear();
    return Status::ok();
}

// A full batch: written, the progress reported every million rows, and the
// caller asked whether to go on.
Status BatchPass::after_full_batch(uint64_t consumed, std::chrono::steady_clock::time_point start) {
    VARN_RETURN_IF_ERROR(write_batch());
    if (rows_ % 1000000 == 0) {
        double elapsed = seconds_since(start);
        double mrows = static_cast<double>(rows_) / 1e6;
        report_.line("  Streamed " + format_fixed(mrows, 1) + "M rows in " +
                     format_fixed(elapsed, 0) + "s (" + format_fixed(mrows / elapsed, 1) +
                     "M rows/sec)\n");
    }
    if (hooks_.after_batch && !hooks_.after_batch(consumed, rows_))
        return Status::interrupted("interrupted");
    return Status::ok();
}

// The sizes of the finished output and the closing report line.
Result<ConversionSummary> summarize(const std::string& varn_path, uint64_t csv_size,
                                    const std::string& writer_summary, const Report& report,
                                    std::chrono::steady_clock::time_point start) {
    struct stat out_st;
    if (::stat(varn_path.c_str(), &out_st) != 0)
        return Status::io_error("Output file was not created at: " + varn_path);
    if (::stat(varn_path.c_str(), &out_st) != 0) return Status::io_error(last_os_error());
    const uint64_t varn_size = static_cast<uint64_t>(out_st.st_size);
    if (varn_size == 0) return Status::io_error("Output file is empty");

    ConversionSummary summary;
    summary.csv_size = csv_size;
    summary.varn_size = varn_size;
    summary.compression_ratio =
        csv_size > varn_size
            ? static_cast<double>(csv_size - varn_size) / static_cast<double>(csv_size) * 100.0
            : 0.0;

    double elapsed = seconds_since(start);
    if (report.legacy())
        report.line(">>> DONE! " + size_text(csv_size) + " \xE2\x86\x92 " +
                format_fixed(static_cast<double>(varn_size) / 1048576.0, 1) + "MB (" +
                format_fixed(summary.compression_ratio, 1) + "% saved) in " +
                format_fixed(elapsed, 0) + "s (" +
                format_fixed(static_cast<double>(csv_size) / 1073741824.0 / elapsed, 1) +
                "GB/sec) | " + writer_summary + "\n");
    return summary;
}

// Rows with more fields than the header: how many, and the line of the first.
struct LongRows {
    uint64_t count = 0;
    uint64_t first_line = 0;
};

// Closes the file (index, trailer, rename), then reports: the summary line
// and, when rows lost fields, the warning that says so.
Result<ConversionSummary> finish_file(std::unique_ptr<StreamingVarnWriter> writer, const std::string& varn_path,
                                      uint64_t csv_size, size_t column_count, LongRows long_rows,
                                      const Report& report, std::chrono::steady_clock::time_point start) {
    Result<std::string> finished = writer->finish();
    writer.reset();
    if (finished.failed()) return finished.status();
    Result<ConversionSummary> outcome = summarize(varn_path, csv_size, finished.value(), report, start);
    if (outcome.is_ok() && long_rows.count > 0 && report.legacy()) {
        report.line(">>> WARNING: " + std::to_string(long_rows.count) + (long_rows.count == 1 ? " row" : " rows") +
                    " had more fields than the " + std::to_string(column_count) +
                    " columns of the header; the extra fields were dropped (first at line " +
                    std::to_string(long_rows.first_line) + ")\n");
    }
    return outcome;
}

}  // namespace

Result<ConversionSummary> compress_csv(const std::string& csv_path, const std::string& varn_path,
                                       const ConversionHooks& hooks) {
    const Report report(hooks.report, true, hooks.before_report_line);
    struct stat st;
    if (::stat(csv_path.c_str(), &st) != 0) return Status::io_error("CSV file does not exist: " + csv_path);
    if (::stat(csv_path.c_str(), &st) != 0)
        return Status::io_error("Failed to read CSV metadata: " + last_os_error());
    uint64_t csv_size = static_cast<uint64_t>(st.st_size);

    report.line(std::string("\n>>> compress_csv v") + kConverterVersion + " STREAMING MODE\n");
    report.line(">>> File: " + csv_path + " (" + size_text(csv_size) + ")\n");

    // A regular file is read twice: its first line in a small header pass,
    // then the data from the top. Anything else (a pipe, a FIFO, standard
    // input, a device) gives its bytes once, so one reader takes the header
    // and then goes on with the data.
    std::vector<KColumn> columns;
    std::unique_ptr<LineReader> one_pass;
    {
        int fd = open_read(csv_path);
        if (fd < 0) return Status::io_error(last_os_error());
        Status header;
        if (S_ISREG(st.st_mode)) {
            LineReader reader(fd, kHeaderReadBuffer);
            reader.set_line_limit(hooks.max_line, hooks.line_limit_reason);
            header = read_header(reader, columns);
        } else {
            one_pass = std::make_unique<LineReader>(fd, kDataReadBuffer);
            one_pass->set_line_limit(hooks.max_line, hooks.line_limit_reason);
            header = read_header(*one_pass, columns);
        }
        if (header.failed()) return header;
    }
    const size_t column_count = columns.size();
    if (Status declared = apply_declarations(columns, hooks); declared.failed()) return declared;
    bool typed = false;
    for (const KColumn& c : columns) typed |= c.type_code != format::kTypeText;
    report_columns(report, columns);

    // Converting a file onto itself would truncate the input before it is read.
    if (output_names_input(st, varn_path)) return onto_itself_error(csv_path, varn_path);

    std::unique_ptr<StreamingVarnWriter> writer;
    if (Status begun = begin_writer(std::move(columns), varn_path, report, hooks.level, writer); begun.failed())
        return begun;

    if (hooks.before_data_pass) hooks.before_data_pass();
    const auto start = std::chrono::steady_clock::now();
    LongRows long_rows;
    {
        BatchPass pass(*writer, hooks, report, typed);
        Status data;
        if (one_pass) {
            data = pass.run(*one_pass, true, start);
            // Input that cannot be read twice has no size of its own: the bytes read.
            csv_size = one_pass->consumed();
            one_pass.reset();
        } else {
            int fd = open_read(csv_path);
            if (fd < 0) return Status::io_error(last_os_error());
            LineReader reader(fd, kDataReadBuffer);
            reader.set_line_limit(hooks.max_line, hooks.line_limit_reason);
            data = pass.run(reader, false, start);
        }
        if (data.failed()) return data;
        long_rows = {pass.long_rows(), pass.first_long_line()};
    }
    return finish_file(std::move(writer), varn_path, csv_size, column_count, long_rows, report, start);
}


// ---------------------------------------------------------------------------
// The RFC 4180 conversion of `varn compress`.

FieldParser strict_field_parser(bool lossy, bool python_names) {
    return [lossy, python_names](uint8_t type_code, ByteView text) -> Result<KVal> {
        const uint8_t* p = text.data();
        const size_t n = text.size();
        const bool numeric = type_code == format::kTypeInt || type_code == format::kTypeFloat ||
                             type_code == format::kTypeBool;
        if (numeric && n == 0) {
            if (lossy) return KVal();
            return empty_cell_error(type_code, python_names);
        }
        if (numeric) {
            const Result<int64_t> v = type_code == format::kTypeInt     ? int_value(p, n, lossy)
                                      : type_code == format::kTypeFloat ? scaled_value(p, n, lossy)
                                                                        : bool_value(p, n);
            if (v.failed()) return v.status();
            if (type_code == format::kTypeInt) return KVal::make_int(v.value());
            if (type_code == format::kTypeFloat) return KVal::make_float(static_cast<double>(v.value()) / kFloatScale);
            return KVal::make_bool(v.value() != 0);
        }
        if (!lossy && type_code >= format::kTypeNested6 && type_code <= format::kTypeNested8)
            VARN_RETURN_IF_ERROR(json_numbers_exact(text));
        return parse_field(type_code, text);
    };
}

namespace {

// A temporary file that is gone from the file system at once.
int spool_file() {
    const char* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/varn-spool-XXXXXX";
    int fd = ::mkstemp(path.data());
    if (fd >= 0) ::unlink(path.c_str());
    return fd;
}

std::string names_text(const std::vector<KColumn>& columns, bool with_types) {
    std::string out;
    for (size_t i = 0; i < columns.size(); ++i) {
        if (i) out += ", ";
        out += columns[i].name;
        if (with_types) {
            out += ' ';
            out += format::type_info(columns[i].type_code).name;
        }
    }
    return out;
}


// "812 bytes", "1.4 KiB", "3.2 MiB", "1.05 GiB".
std::string human_bytes(uint64_t n) {
    if (n < 1024) return std::to_string(n) + (n == 1 ? " byte" : " bytes");
    const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
    double v = static_cast<double>(n) / 1024.0;
    int u = 0;
    while (v >= 1024.0 && u < 3) {
        v /= 1024.0;
        ++u;
    }
    return format_fixed(v, v < 10 ? 2 : 1) + " " + units[u];
}

// ',' ';' '|' as themselves, a tab as "tab".
std::string delimiter_text(uint8_t d) {
    if (d == '\t') return "tab";
    return std::string("'") + static_cast<char>(d) + "'";
}

// Text that is not UTF-8 may be in another encoding: say how to give it.
Status encoding_hint(Status failure, const ConvertOptions& options) {
    const std::string& m = failure.message();
    const std::string tail = "is not valid UTF-8";
    if (!options.encoding.empty() || m.size() < tail.size() || m.compare(m.size() - tail.size(), tail.size(), tail) != 0)
        return failure;
    return Status::error(failure.kind(), m + (options.python_names ? " (text in another encoding: give encoding=\"NAME\", e.g. \"latin1\")"
                                                                   : " (text in another encoding: give --encoding NAME, e.g. latin1)"));
}

}  // namespace

std::string count_text(uint64_t n, const char* singular, const char* plural) {
    return std::to_string(n) + " " + (n == 1 ? singular : plural);
}

Status too_many_fields(uint64_t line, size_t fields, size_t columns, const std::string& hint) {
    return Status::invalid_input("line " + std::to_string(line) + ": " + count_text(fields, "field", "fields") +
                                 ", but the header has " + count_text(columns, "column", "columns") +
                                 (hint.empty() ? "" : " (" + hint + ")"));
}

Result<ConversionSummary> convert_csv(const std::string& csv_path, const std::string& varn_path,
                                      const ConvertOptions& options, ConversionHooks hooks) {
    const bool py = options.python_names;
    hooks.declarations = options.declarations;
    hooks.parse_field = strict_field_parser(options.lossy, py);
    hooks.lossy = options.lossy;
    hooks.parse_values = true;
    hooks.threads = options.threads;
    hooks.level = options.level;
    hooks.report = options.report;
    hooks.python_names = py;
    hooks.refuse_nul_names = true;
    const uint64_t budget = options.max_memory != 0 ? options.max_memory : default_memory_budget();
    hooks.max_line = std::max<uint64_t>(budget / kRowMemoryFactor, 1);
    hooks.line_limit_reason = "needs more memory than the budget of " + memory_size_text(budget) +
                              " allows (a row takes about " + std::to_string(kRowMemoryFactor) +
                              " times its length while it is converted); give " +
                              (py ? "a larger max_memory=" : "--max-memory SIZE") + " to raise it";
    if (options.dialect == CsvDialect::Plain) {
        if (!options.encoding.empty() || options.skip_lines > 0 || options.comment != 0) {
            return Status::invalid_input(
                py ? "the plain dialect reads UTF-8 lines from the first: encoding, skip_lines and comment do not apply"
                   : "--plain reads UTF-8 lines from the first: --encoding, --skip-lines and --comment do not apply");
        }
        return compress_csv(csv_path == "-" ? "/dev/stdin" : csv_path, varn_path, hooks);
    }

    const auto begun_at = std::chrono::steady_clock::now();
    const Report report(hooks.report, false, hooks.before_report_line);
    struct stat in_st;
    if (csv_path != "-" && ::stat(csv_path.c_str(), &in_st) != 0)
        return Status::io_error("CSV file does not exist: " + csv_path);
    auto opened = InputStream::open(csv_path, options.encoding);
    if (opened.failed()) return opened.status();
    std::unique_ptr<InputStream> in = opened.take();
    const bool from_stdin = csv_path == "-";
    {
        std::string line = "input    " + (from_stdin ? std::string("standard input") : csv_path);
        std::string about;
        if (in->rereadable()) about = human_bytes(in->file_size());
        if (in->compression() != InputCompression::None)
            about += std::string(about.empty() ? "" : ", ") + compression_name(in->compression());
        if (!about.empty()) line += " (" + about + ")";
        report.line(line + "\n");
    }
    // What would help with a row longer than the header: another delimiter
    // when it was detected, or dropping the extra fields.
    auto long_row_hint = [&](uint8_t delimiter) {
        const std::string drop = py ? "extra_fields=\"drop\"" : "--extra-fields drop";
        if (options.delimiter != 0) return drop + " drops the extra fields";
        return "detected " + delimiter_text(delimiter) + " from the header line; give " +
               (py ? "delimiter=" : "--delimiter") + " if the file uses another, or " + drop +
               " to drop the extra fields";
    };

    // First pass (type inference): every record, each column's types checked.
    TypeGuesses guesses;
    uint8_t delimiter = options.delimiter;
    int spool = -1;
    if (options.infer_types) {
        if (!in->rereadable()) {
            spool = spool_file();
            if (spool < 0) return Status::io_error("Cannot create a temporary file to read the input twice: " + last_os_error());
            Status spooling = in->spool_to(spool);
            if (spooling.failed()) {
                ::close(spool);
                return spooling;
            }
        }
        auto close_spool = [&] {
            if (spool >= 0) ::close(spool);
        };
        CsvRecordReader first(*in, delimiter);
        first.skip_lines(options.skip_lines, options.comment);
        first.set_record_limit(hooks.max_line, hooks.line_limit_reason);
        CsvRecordReader::Outcome got = first.next();
        if (got == CsvRecordReader::kError) {
            close_spool();
            return encoding_hint(first.error(), options);
        }
        if (got == CsvRecordReader::kEnd) {
            close_spool();
            return Status::invalid_input("CSV file is empty");
        }
        delimiter = first.delimiter();
        Result<TypeGuesses> guessed =
            guess_types(first, *in, from_stdin ? std::string() : csv_path, first.fields().size(),
                        options.extra_fields, options.threads ? options.threads : available_cores(), RangeSizes{},
                        long_row_hint(delimiter));
        if (guessed.failed()) {
            close_spool();
            return encoding_hint(guessed.status(), options);
        }
        guesses = guessed.take();
        // Second pass from the top: the file again, or the spooled copy.
        if (spool >= 0) {
            ::lseek(spool, 0, SEEK_SET);
            opened = InputStream::from_fd(spool, true, options.encoding);
        } else {
            opened = InputStream::open(csv_path, options.encoding);
        }
        if (opened.failed()) return opened.status();
        in = opened.take();
    }

    CsvRecordReader reader(*in, delimiter);
    reader.skip_lines(options.skip_lines, options.comment);
    reader.set_record_limit(hooks.max_line, hooks.line_limit_reason);
    CsvRecordReader::Outcome got = reader.next();
    if (got == CsvRecordReader::kError) return encoding_hint(reader.error(), options);
    if (got == CsvRecordReader::kEnd) return Status::invalid_input("CSV file is empty");
    delimiter = reader.delimiter();
    std::vector<KColumn> columns;
    for (const CsvField& f : reader.fields()) {
        KColumn column;
        column.name.assign(reinterpret_cast<const char*>(f.data), f.size);
        columns.push_back(std::move(column));
    }
    const size_t column_count = columns.size();
    for (size_t c = 0; c < guesses.columns.size() && c < column_count; ++c)
        columns[c].type_code = guesses.columns[c].type(guesses.data_rows);
    if (Status declared = apply_declarations(columns, hooks); declared.failed()) return declared;
    bool typed = false;
    for (const KColumn& c : columns) typed |= c.type_code != format::kTypeText;
    {
        std::string dialect = "dialect  RFC 4180, delimiter " + delimiter_text(delimiter) +
                              (options.delimiter ? " (given)" : " (detected from the header line)");
        dialect += ", ";
        dialect += in->transcoded_from().empty() ? std::string("UTF-8")
                                                 : in->transcoded_from() + " transcoded to UTF-8";
        if (options.skip_lines > 0) dialect += ", " + count_text(options.skip_lines, "line", "lines") + " skipped";
        if (options.comment != 0)
            dialect += std::string(", lines starting with '") + static_cast<char>(options.comment) + "' skipped";
        report.line(dialect + "\n");
        report.line("schema   " + count_text(column_count, "column", "columns") + ": " + names_text(columns, true) +
                    "\n");
    }

    if (!from_stdin) {
        struct stat st;
        if (::stat(csv_path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && output_names_input(st, varn_path))
            return onto_itself_error(csv_path, varn_path);
    }
    std::unique_ptr<StreamingVarnWriter> writer;
    if (Status begun = begin_writer(std::move(columns), varn_path, report, hooks.level, writer); begun.failed())
        return begun;

    const auto start = std::chrono::steady_clock::now();
    LongRows long_rows;
    uint64_t rows = 0;
    {
        BatchPass pass(*writer, hooks, report, typed);
        Status data = pass.run_records(reader, *in, options.extra_fields, long_row_hint(delimiter), start);
        if (data.failed()) return encoding_hint(std::move(data), options);
        long_rows = {pass.long_rows(), pass.first_long_line()};
        rows = pass.rows();
    }
    const uint64_t csv_size = in->rereadable() && spool < 0 ? in->file_size() : in->raw_bytes_read();
    Result<ConversionSummary> outcome =
        finish_file(std::move(writer), varn_path, csv_size, column_count, long_rows, report, start);
    if (outcome.failed()) return outcome;
    const ConversionSummary& done = outcome.value();
    const uint64_t chunks = (rows + format::kChunkRows - 1) / format::kChunkRows;
    std::string output = "output   " + varn_path + " (" + human_bytes(done.varn_size) + "): " +
                         count_text(rows, "row", "rows") + " in " + count_text(chunks, "chunk", "chunks");
    if (csv_size > 0) {
        const double ratio = static_cast<double>(done.varn_size) / static_cast<double>(csv_size);
        output += ", " + format_fixed(ratio * 100.0, 1) + "% of the input's " + human_bytes(csv_size);
        if (done.varn_size > 0 && ratio < 1.0)
            output += " (" + format_fixed(1.0 / ratio, 2) + "x smaller)";
        else if (ratio > 1.0)
            output += " (" + format_fixed(ratio, 2) + "x larger)";
    }
    report.line(output + "\n");
    const double elapsed = seconds_since(begun_at);
    report.line("time     " + format_fixed(elapsed, elapsed < 10 ? 2 : 1) + " s" +
                (elapsed > 0 ? ", " + human_bytes(static_cast<uint64_t>(static_cast<double>(csv_size) / elapsed)) + "/s"
                             : std::string()) +
                "\n");
    if (long_rows.count > 0) {
        report.line("warning  " + count_text(long_rows.count, "row", "rows") + " had more fields than the " +
                    count_text(column_count, "column", "columns") +
                    " of the header; the extra fields were dropped (first at line " +
                    std::to_string(long_rows.first_line) + ")\n");
    }
    return outcome;
}

}  // namespace varn
