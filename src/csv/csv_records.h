// Records of RFC 4180 CSV text: double quotes around a field allow the
// delimiter, line breaks and doubled quotes ("") inside it, and a quoted
// field is kept exactly as written between its quotes. An unquoted field is
// trimmed of Unicode White_Space, and a quote inside it is ordinary text.
// Lines end at LF, CR LF or a lone CR. A UTF-8 byte-order mark at the very
// start is dropped, and lines holding nothing but white space are skipped.
//
// Spaces and tabs between a delimiter and an opening quote, and between a
// closing quote and the next delimiter, are not part of the field; text
// after a closing quote is appended to the field as it is (`"ab"cd` is
// abcd). A quote left open at the end of the input is an error.
//
// Lines can be skipped before the parse: a number of lines at the start
// (a preamble, whatever it holds) and comment lines, those whose first byte
// is a given character, before the header and after it. A skipped line ends
// at its first line break: quotes mean nothing there. The delimiter is
// detected from the first line that is not skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "common/grow_buffer.h"
#include "csv/input_stream.h"

namespace varn {

struct CsvField {
    const uint8_t* data;
    size_t size;
    bool quoted;
};

class CsvRecordReader {
public:
    // Readable bytes after every field handed out.
    static constexpr size_t kSlack = 16;
    // The delimiters detection chooses among, in the order that breaks ties.
    static constexpr char kCandidates[4] = {',', ';', '\t', '|'};

    // `delimiter` 0 detects it from the first line: the candidate that
    // occurs most often outside quotes there, a comma on a tie or when none
    // occurs.
    CsvRecordReader(InputStream& in, uint8_t delimiter, size_t buffer_size = 4u << 20);
    // A reader that starts at a record boundary inside a text: no byte-order
    // mark is looked for, and `delimiter` must be given.
    struct MidText {};
    CsvRecordReader(InputStream& in, uint8_t delimiter, MidText, size_t buffer_size = 4u << 20)
        : CsvRecordReader(in, delimiter, buffer_size) {
        started_ = true;
    }

    // The first `lines` lines of the text are skipped, and so is every line
    // that starts with `comment` (0: none). Call before the first next().
    void skip_lines(uint64_t lines, uint8_t comment) {
        skip_lines_ = lines;
        comment_ = comment;
    }
    uint8_t comment() const { return comment_; }

    // A record (a line, or the lines a quoted field spans) longer than
    // `bytes` is refused as soon as that much of it is buffered, before the
    // rest is read: next() gives kError with "line N: a row longer than
    // BYTES bytes " + `reason`. 0: no limit (the default).
    void set_record_limit(uint64_t bytes, std::string reason) {
        record_limit_ = bytes;
        limit_reason_ = std::move(reason);
    }
    uint64_t record_limit() const { return record_limit_; }
    const std::string& record_limit_reason() const { return limit_reason_; }

    enum Outcome { kRecord, kEnd, kError };
    // The next record that is not a blank line. Its fields stay valid until
    // the next call; each is whole UTF-8 (the input must be UTF-8).
    Outcome next();
    const std::vector<CsvField>& fields() const { return fields_; }
    // The line number (from 1) on which the last record starts.
    uint64_t line() const { return line_; }
    uint8_t delimiter() const { return delimiter_; }
    // The bytes of text before the next call's first record (or blank
    // line): every record handed out, with its line break, and a mark.
    uint64_t offset() const { return consumed_ + pos_; }
    // Why next() gave kError: the input's read failure (io, or invalid_input
    // for compressed input that does not decompress), or invalid_input for
    // text that is not CSV or not UTF-8.
    const Status& error() const { return error_; }

private:
    enum Parse { kDone, kNeedMore, kBad };
    Parse parse_record(size_t& record_end, uint64_t& breaks);
    bool read_more();
    // At the end of the input: the memory a long record took goes back.
    void release();
    bool detect_delimiter();
    // Drops the line at pos_ through its line break. False on a read error.
    bool skip_line();
    bool utf8_ok(size_t from, size_t to);

    struct RawField {
        size_t offset;  // in buf_, or in scratch_ when in_scratch
        size_t size;
        bool in_scratch;
        bool quoted;
    };

    // Scratch kept from record to record; more is released after the record.
    static constexpr size_t kKeptScratch = size_t{16} << 20;

    InputStream& in_;
    uint8_t delimiter_;
    size_t base_;    // the buffer's size when no record is longer than it
    GrowBuffer buf_;  // buf_[pos_, end_) unread, then kSlack spare bytes
    size_t pos_ = 0;
    size_t end_ = 0;
    uint64_t consumed_ = 0;  // bytes dropped from the front of buf_
    size_t checked_ = 0;  // buf_[0, checked_) is known to be whole UTF-8 characters
    bool eof_ = false;
    bool started_ = false;
    uint64_t skip_lines_ = 0;
    uint8_t comment_ = 0;
    uint64_t next_line_ = 1;
    uint64_t line_ = 0;
    uint64_t record_limit_ = 0;
    std::string limit_reason_;
    Status too_long() const;
    Bytes scratch_;  // quoted fields that had to be unescaped
    // The fields of the record being parsed: raw_[0, raw_count_). The
    // vector only grows, so that adding a field is a store and an increment.
    std::vector<RawField> raw_;
    size_t raw_count_ = 0;
    void push_raw(const RawField& f) {
        if (raw_count_ == raw_.size()) raw_.resize(raw_.size() * 2 + 16);
        raw_[raw_count_++] = f;
    }
    std::vector<CsvField> fields_;
    Status error_;
};

}  // namespace varn
