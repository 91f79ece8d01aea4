// The record parser works on one buffer of text. A record is parsed from
// its first byte; when the buffer ends inside it, the unread part moves to
// the front, more text is read and the record is parsed again from its
// start (nothing in the buffer is changed while parsing, so a retry sees
// the same bytes). Unquoted fields and quoted fields without doubled quotes
// are handed out as views into the buffer; only quoted fields that hold ""
// or text after their closing quote are copied, into a scratch buffer.
#include "csv/csv_records.h"

#include <cstring>

#include "common/text_scan.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace varn {

namespace {

// Spaces and tabs (when a tab is not the delimiter) around quoted fields.
inline bool blank(uint8_t b, uint8_t delimiter) { return b == ' ' || (b == '\t' && delimiter != '\t'); }

// The first delimiter, CR or LF in [p, end), or end.
inline const uint8_t* find_special(const uint8_t* p, const uint8_t* end, uint8_t delimiter) {
#if defined(__SSE2__)
    const __m128i d = _mm_set1_epi8(static_cast<char>(delimiter));
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i cr = _mm_set1_epi8('\r');
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(v, d), _mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)));
        const unsigned m = static_cast<unsigned>(_mm_movemask_epi8(hit));
        if (m) return p + __builtin_ctz(m);
        p += 16;
    }
#endif
    while (p < end && *p != delimiter && *p != '\n' && *p != '\r') ++p;
    return p;
}

}  // namespace

CsvRecordReader::CsvRecordReader(InputStream& in, uint8_t delimiter, size_t buffer_size)
    : in_(in), delimiter_(delimiter), base_(buffer_size + kSlack), buf_(base_) {}

// Reads more text after end_, first moving the unread part to the front and
// growing the buffer when a record fills it. False on a read error.
bool CsvRecordReader::read_more() {
    if (pos_ > 0) {
        std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
        consumed_ += pos_;
        checked_ = checked_ > pos_ ? checked_ - pos_ : 0;
        end_ -= pos_;
        pos_ = 0;
        // The long record that grew the buffer is gone: give its memory back.
        if (buf_.size() > base_ && end_ + kSlack < base_) buf_.resize(base_);
    }
    if (end_ + kSlack == buf_.size()) {
        // The buffer holds nothing but the start of one record. Past the
        // limit it is refused (its last byte may be a CR before its LF).
        if (record_limit_ != 0 && end_ > record_limit_ + 1) {
            error_ = too_long();
            return false;
        }
        // A record longer than the buffer: grow by half, so that a record
        // of L bytes reserves at most about 1.5 L, and never much past the
        // limit.
        const size_t room = buf_.size() - kSlack;
        size_t grown = room + room / 2;
        if (record_limit_ != 0 && grown > record_limit_ + 2) grown = static_cast<size_t>(record_limit_ + 2);
        if (grown <= room) grown = room + 1;
        buf_.resize(grown + kSlack);
    }
    Result<size_t> got = in_.read(buf_.data() + end_, buf_.size() - kSlack - end_);
    if (got.failed()) {
        error_ = got.status();
        return false;
    }
    if (got.value() == 0) eof_ = true;
    end_ += got.value();
    std::memset(buf_.data() + end_, 0, kSlack);
    return true;
}

Status CsvRecordReader::too_long() const {
    return Status::invalid_input("line " + std::to_string(next_line_) + ": a row longer than " +
                                 std::to_string(record_limit_) + " bytes " + limit_reason_);
}

void CsvRecordReader::release() {
    if (buf_.size() > base_) {
        buf_.resize(base_);
        consumed_ += pos_;
        pos_ = end_ = checked_ = 0;
    }
    scratch_ = Bytes();
}

bool CsvRecordReader::utf8_ok(size_t from, size_t to) {
    if (to <= checked_) return true;
    if (from < checked_) from = checked_;
    // Check up to the end of the buffer at once; a character cut off at the
    // end of the buffer stops the scan there and is checked again later.
    checked_ = from + utf8_scan(buf_.data() + from, end_ - from);
    return to <= checked_;
}

bool CsvRecordReader::skip_line() {
    for (;;) {
        const uint8_t* const base = buf_.data();
        const uint8_t* p = base + pos_;
        const uint8_t* const end = base + end_;
        while (p < end && *p != '\n' && *p != '\r') ++p;
        if (p < end && (*p == '\n' || p + 1 < end || eof_)) {
            p += (*p == '\r' && p + 1 < end && p[1] == '\n') ? 2 : 1;
            pos_ = static_cast<size_t>(p - base);
            ++next_line_;
            return true;
        }
        if (p == end && eof_) {
            pos_ = end_;
            ++next_line_;
            return true;
        }
        // No line break yet (or a CR that may have its LF next): drop what
        // was scanned, so a long skipped line does not grow the buffer.
        pos_ = static_cast<size_t>(p - base);
        if (!read_more()) return false;
    }
}

// Reads the first line (outside quotes) and counts the candidates in it.
bool CsvRecordReader::detect_delimiter() {
    for (;;) {
        size_t counts[4] = {0, 0, 0, 0};
        bool quoted = false;
        size_t i = pos_;
        for (; i < end_; ++i) {
            const uint8_t b = buf_[i];
            if (b == '"') {
                quoted = !quoted;
            } else if (!quoted) {
                if (b == '\n' || b == '\r') break;
                for (int k = 0; k < 4; ++k) counts[k] += b == static_cast<uint8_t>(kCandidates[k]);
            }
        }
        if (i < end_ || eof_) {
            int best = 0;
            for (int k = 1; k < 4; ++k)
                if (counts[k] > counts[best]) best = k;
            delimiter_ = static_cast<uint8_t>(kCandidates[best]);
            return true;
        }
        if (!read_more()) return false;
    }
}

CsvRecordReader::Parse CsvRecordReader::parse_record(size_t& record_end, uint64_t& breaks) {
    raw_count_ = 0;
    // Unescaped text of a long record is not kept for the records after it.
    if (scratch_.capacity() > kKeptScratch) scratch_ = Bytes();
    scratch_.clear();
    breaks = 0;
    const uint8_t* const base = buf_.data();
    const uint8_t* const end = base + end_;
    const uint8_t d = delimiter_;
    const uint8_t* p = base + pos_;
    for (;;) {
        // One field starting at p.
        const uint8_t* q = p;
        while (q < end && blank(*q, d)) ++q;
        if (q < end && *q == '"') {
            const uint8_t* c = q + 1;
            const uint8_t* content = c;
            bool copied = false;
            size_t scratch_at = scratch_.size();
            for (;;) {
                const uint8_t* quote = static_cast<const uint8_t*>(std::memchr(c, '"', static_cast<size_t>(end - c)));
                const uint8_t* stop = quote ? quote : end;
                for (const uint8_t* s = c; s < stop; ++s) {
                    if (*s == '\n') ++breaks;
                    else if (*s == '\r' && (s + 1 >= end || s[1] != '\n')) ++breaks;
                }
                if (!quote) {
                    if (!eof_) return kNeedMore;
                    error_ = Status::invalid_input("line " + std::to_string(next_line_) +
                                                   ": a quoted field is not closed by the end of the input");
                    return kBad;
                }
                if (quote + 1 == end && !eof_) return kNeedMore;
                if (quote + 1 < end && quote[1] == '"') {
                    // A doubled quote: copy what came before it and one quote.
                    if (!copied) {
                        copied = true;
                        scratch_at = scratch_.size();
                    }
                    scratch_.insert(scratch_.end(), c, quote + 1);
                    c = quote + 2;
                    continue;
                }
                // The closing quote.
                const uint8_t* after = quote + 1;
                const uint8_t* r = after;
                while (r < end && blank(*r, d)) ++r;
                if (r == end && !eof_) return kNeedMore;
                if (r == end || *r == d || *r == '\n' || *r == '\r') {
                    if (copied) {
                        scratch_.insert(scratch_.end(), c, quote);
                        push_raw(RawField{scratch_at, scratch_.size() - scratch_at, true, true});
                    } else {
                        push_raw(RawField{static_cast<size_t>(content - base),
                                                static_cast<size_t>(quote - content), false, true});
                    }
                    p = r;
                    break;
                }
                // Text after the closing quote belongs to the field as it is,
                // up to the next delimiter or line end, trailing white space off.
                if (!copied) {
                    copied = true;
                    scratch_at = scratch_.size();
                }
                scratch_.insert(scratch_.end(), c, quote);
                const uint8_t* tail_end = find_special(after, end, d);
                if (tail_end == end && !eof_) return kNeedMore;
                const uint8_t* tb = after;
                const uint8_t* te = tail_end;
                const uint8_t* keep = tb;
                trim_space(keep, te);  // only the end is trimmed
                scratch_.insert(scratch_.end(), tb, te);
                push_raw(RawField{scratch_at, scratch_.size() - scratch_at, true, true});
                p = tail_end;
                break;
            }
        } else {
            const uint8_t* e = find_special(p, end, d);
            if (e == end && !eof_) return kNeedMore;
            const uint8_t* b = p;
            const uint8_t* te = e;
            trim_space(b, te);
            push_raw(RawField{static_cast<size_t>(b - base), static_cast<size_t>(te - b), false, false});
            p = e;
        }
        // After the field: a delimiter, a line end or the end of the input.
        if (p == end) break;
        if (*p == d) {
            ++p;
            continue;
        }
        if (*p == '\r') {
            if (p + 1 == end && !eof_) return kNeedMore;
            p += (p + 1 < end && p[1] == '\n') ? 2 : 1;
        } else {
            ++p;  // '\n'
        }
        break;
    }
    record_end = static_cast<size_t>(p - base);
    return kDone;
}

CsvRecordReader::Outcome CsvRecordReader::next() {
    if (!started_) {
        started_ = true;
        if (!read_more()) return kError;
        while (end_ - pos_ < 3 && !eof_)
            if (!read_more()) return kError;
        if (end_ - pos_ >= 3 && buf_[pos_] == 0xEF && buf_[pos_ + 1] == 0xBB && buf_[pos_ + 2] == 0xBF) pos_ += 3;
        for (uint64_t i = 0; i < skip_lines_; ++i) {
            if (pos_ == end_ && !eof_ && !read_more()) return kError;
            if (pos_ == end_ && eof_) break;
            if (!skip_line()) return kError;
        }
        // Comment lines, and (when the delimiter is to be detected) lines of
        // nothing but spaces, are not the header line the detection reads.
        for (;;) {
            if (pos_ == end_ && !eof_) {
                if (!read_more()) return kError;
                continue;
            }
            if (pos_ == end_) break;
            size_t q = pos_;
            if (delimiter_ == 0)
                while (q < end_ && buf_[q] == ' ') ++q;
            if (q == end_ && !eof_) {
                if (!read_more()) return kError;
                continue;
            }
            const bool comment = comment_ != 0 && buf_[pos_] == comment_;
            const bool blank_line = delimiter_ == 0 && (q == end_ || buf_[q] == '\n' || buf_[q] == '\r');
            if (!comment && !blank_line) break;
            if (!skip_line()) return kError;
        }
        if (delimiter_ == 0 && !detect_delimiter()) return kError;
    }
    for (;;) {
        if (pos_ == end_) {
            if (eof_) {
                release();
                return kEnd;
            }
            if (!read_more()) return kError;
            continue;
        }
        if (comment_ != 0 && buf_[pos_] == comment_) {
            if (!skip_line()) return kError;
            continue;
        }
        size_t record_end = 0;
        uint64_t breaks = 0;
        const Parse got = parse_record(record_end, breaks);
        if (got == kBad) return kError;
        if (got == kNeedMore) {
            // The record is parsed again from its start: fill the buffer
            // first, so that a long record read through a pipe in small
            // pieces is parsed a few times, not once per piece.
            do {
                if (!read_more()) return kError;
            } while (!eof_ && end_ + kSlack < buf_.size());
            continue;
        }
        if (record_limit_ != 0 && record_end - pos_ > record_limit_) {
            // Its line break does not count.
            size_t text = record_end - pos_;
            if (text > 0 && buf_[pos_ + text - 1] == '\n') --text;
            if (text > 0 && buf_[pos_ + text - 1] == '\r') --text;
            if (text > record_limit_) {
                error_ = too_long();
                return kError;
            }
        }
        if (!utf8_ok(pos_, record_end)) {
            error_ = Status::invalid_input("line " + std::to_string(next_line_) + ": the text is not valid UTF-8");
            return kError;
        }
        line_ = next_line_;
        next_line_ += breaks + 1;
        pos_ = record_end;
        // A line of nothing but white space is no record.
        if (raw_count_ == 1 && !raw_[0].quoted && raw_[0].size == 0) continue;
        scratch_.resize(scratch_.size() + kSlack);
        fields_.resize(raw_count_);
        for (size_t i = 0; i < raw_count_; ++i) {
            const RawField& f = raw_[i];
            fields_[i] = CsvField{(f.in_scratch ? scratch_.data() : buf_.data()) + f.offset, f.size, f.quoted};
        }
        return kRecord;
    }
}

}  // namespace varn
