#include "convert/batch_builder.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "common/text_scan.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace varn {

namespace {

// A byte that neither is nor can end or start a White_Space character.
inline bool plain_byte(uint8_t b) { return b > 0x20 && b < 0x80; }

}  // namespace

bool blank_line(const uint8_t* line, size_t len) {
    if (len == 0) return true;
    if (plain_byte(line[0])) return false;
    const uint8_t* b = line;
    const uint8_t* e = line + len;
    trim_space(b, e);
    return b == e;
}

TextBatchBuilder::TextBatchBuilder(TextBatch& batch, size_t columns)
    : batch_(batch), columns_(columns), segments_(columns), commas_(columns),
      staged_(kStagedRows * columns) {
    // Segments start small and double per column up to a size that keeps
    // the room reserved for one row's new segments small next to 4 GiB.
    first_segment_ = std::clamp<size_t>((size_t{1} << 20) / columns, 64, 4096);
    max_segment_ = std::clamp<size_t>((size_t{64} << 20) / columns, 1024, size_t{256} << 10);
    segment_size_.assign(columns, first_segment_);
    batch_.reset(columns);
}

void TextBatchBuilder::plan_segments(const TextBatchBuilder& from) {
    if (from.plain_ || from.columns_ != columns_) return;
    for (size_t c = 0; c < columns_; ++c) {
        const Segment& seg = from.segments_[c];
        const size_t held = seg.taken + (seg.at - seg.start);
        segment_size_[c] = std::clamp(held + held / 8 + kLineSlack, first_segment_, max_segment_);
    }
}

void TextBatchBuilder::clear() {
    // The text buffer keeps its room. Giving back what the first batch took
    // beyond its plan, and taking it again whenever a batch outgrew the
    // plan, left holes the allocator kept: memory then grew with the input.
    plan_segments(*this);
    batch_.clear();
    plain_ = false;
    staged_rows_ = 0;
    std::fill(segments_.begin(), segments_.end(), Segment{});
}

void TextBatchBuilder::plan_like(const TextBatchBuilder& other) { plan_segments(other); }

void TextBatchBuilder::flush() {
    if (staged_rows_ == 0) return;
    const size_t stride = batch_.stride;
    for (size_t c = 0; c < columns_; ++c) {
        TextSpan* dst = batch_.cells.data() + c * stride + staged_first_;
        const TextSpan* src = staged_.data() + c;
        for (size_t k = 0; k < staged_rows_; ++k) dst[k] = src[k * columns_];
    }
    staged_rows_ = 0;
}

// Positions of the first `columns_` commas of the line into commas_; returns
// how many there are.
size_t TextBatchBuilder::find_commas(const uint8_t* line, size_t len) {
    const size_t want = columns_;
    uint32_t* out = commas_.data();
    size_t k = 0;
#if defined(__SSE2__)
    const __m128i comma = _mm_set1_epi8(',');
    for (size_t i = 0; i < len; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + i));
        unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, comma)));
        if (len - i < 16) m &= (1u << (len - i)) - 1;
        while (m) {
            out[k++] = static_cast<uint32_t>(i + static_cast<size_t>(__builtin_ctz(m)));
            if (k == want) return k;
            m &= m - 1;
        }
    }
#else
    const uint8_t* cur = line;
    const uint8_t* end = line + len;
    while (k < want) {
        const void* c = std::memchr(cur, ',', static_cast<size_t>(end - cur));
        if (!c) break;
        const uint8_t* at = static_cast<const uint8_t*>(c);
        out[k++] = static_cast<uint32_t>(at - line);
        cur = at + 1;
    }
#endif
    return k;
}

uint8_t* TextBatchBuilder::new_segment(size_t column, size_t need) {
    Bytes& text = batch_.text;
    const size_t size = std::max(segment_size_[column], need);
    segment_size_[column] = std::min(segment_size_[column] * 2, max_segment_);
    const size_t at = text.size();
    text.resize(at + size);
    Segment& seg = segments_[column];
    seg.taken += seg.at - seg.start;
    seg = Segment{at, at + size, at, seg.taken};
    return text.data() + at;
}

bool TextBatchBuilder::append_row(const uint8_t* line, size_t len) {
    // Every cell may open a new segment of at most max(max_segment_, its
    // length + kLineSlack) bytes; all offsets must stay below 4 GiB.
    if (!plain_ && batch_.text.size() + len + columns_ * (max_segment_ + kLineSlack) > UINT32_MAX)
        plain_ = true;
    if (plain_) {
        return append_row_plain(line, len);
    }
    const size_t commas = find_commas(line, len);
    batch_.reserve_row();
    TextSpan* cell = stage_row();
    size_t start = 0;
    const size_t present = std::min(commas + 1, columns_);
    for (size_t i = 0; i < present; ++i) {
        const size_t stop = i < commas ? commas_[i] : len;
        const uint8_t* b = line + start;
        const uint8_t* e = line + stop;
        start = stop + 1;
        if (b == e) {
            cell[i] = TextSpan{0, 0};
            continue;
        }
        if (!plain_byte(b[0]) || !plain_byte(e[-1])) {
            trim_space(b, e);
            if (b == e) {
                cell[i] = TextSpan{0, 0};
                continue;
            }
        }
        const size_t n = static_cast<size_t>(e - b);
        Segment& seg = segments_[i];
        uint8_t* dst = seg.end - seg.at >= n + kLineSlack ? batch_.text.data() + seg.at
                                                          : new_segment(i, n + kLineSlack);
        // Short cells are copied as one 16-byte block: the source may be
        // read kLineSlack bytes past the line, and the segment keeps that
        // much room after the cell.
        if (n <= 16)
            std::memcpy(dst, b, 16);
        else
            std::memcpy(dst, b, n);
        cell[i] = TextSpan{static_cast<uint32_t>(seg.at), static_cast<uint32_t>(n)};
        seg.at += n;
    }
    for (size_t i = present; i < columns_; ++i) cell[i] = TextSpan{0, 0};  // short row
    batch_.row_offsets.push_back(0);
    ++batch_.rows;
    staged_row_done();
    return commas == columns_;
}

// The plain layout: the row's bytes in one piece, spans relative to it.
bool TextBatchBuilder::append_row_plain(const uint8_t* line, size_t len) {
    const uint64_t base = batch_.text.size();
    batch_.text.insert(batch_.text.end(), line, line + len);
    batch_.reserve_row();
    batch_.row_offsets.push_back(base);
    const size_t commas = find_commas(line, len);
    size_t start = 0;
    for (size_t i = 0; i < columns_; ++i) {
        if (i > commas) {
            batch_.cell(batch_.rows, i) = TextSpan{0, 0};
            continue;
        }
        const size_t stop = i < commas ? commas_[i] : len;
        const uint8_t* b = line + start;
        const uint8_t* e = line + stop;
        start = stop + 1;
        trim_space(b, e);
        batch_.cell(batch_.rows, i) =
            TextSpan{static_cast<uint32_t>(b - line), static_cast<uint32_t>(e - b)};
    }
    ++batch_.rows;
    return commas == columns_;
}

}  // namespace varn

namespace varn {

TextSpan TextBatchBuilder::copy_cell(size_t column, const uint8_t* b, size_t n) {
    if (n == 0) return TextSpan{0, 0};
    Segment& seg = segments_[column];
    uint8_t* dst = seg.end - seg.at >= n + kLineSlack ? batch_.text.data() + seg.at
                                                      : new_segment(column, n + kLineSlack);
    if (n <= 16)
        std::memcpy(dst, b, 16);
    else
        std::memcpy(dst, b, n);
    const TextSpan span{static_cast<uint32_t>(seg.at), static_cast<uint32_t>(n)};
    seg.at += n;
    return span;
}

void TextBatchBuilder::append_fields(const CsvField* fields, size_t count) {
    const size_t present = std::min(count, columns_);
    size_t len = 0;
    for (size_t i = 0; i < present; ++i) len += fields[i].size;
    if (!plain_ && batch_.text.size() + len + columns_ * (max_segment_ + kLineSlack) > UINT32_MAX)
        plain_ = true;
    if (plain_) {
        append_fields_plain(fields, present);
        return;
    }
    batch_.reserve_row();
    TextSpan* cell = stage_row();
    for (size_t i = 0; i < present; ++i) cell[i] = copy_cell(i, fields[i].data, fields[i].size);
    for (size_t i = present; i < columns_; ++i) cell[i] = TextSpan{0, 0};
    batch_.row_offsets.push_back(0);
    ++batch_.rows;
    staged_row_done();
}

void TextBatchBuilder::append_fields_plain(const CsvField* fields, size_t present) {
    const uint64_t base = batch_.text.size();
    batch_.reserve_row();
    batch_.row_offsets.push_back(base);
    uint32_t at = 0;
    for (size_t i = 0; i < columns_; ++i) {
        if (i >= present || fields[i].size == 0) {
            batch_.cell(batch_.rows, i) = TextSpan{0, 0};
            continue;
        }
        batch_.text.insert(batch_.text.end(), fields[i].data, fields[i].data + fields[i].size);
        batch_.cell(batch_.rows, i) = TextSpan{at, static_cast<uint32_t>(fields[i].size)};
        at += static_cast<uint32_t>(fields[i].size);
    }
    ++batch_.rows;
}

}  // namespace varn
