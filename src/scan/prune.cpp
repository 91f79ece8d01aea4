#include "scan/prune.h"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "common/text_scan.h"
#include "format/column/column_encoding.h"
#include "format/type_codes.h"

namespace varn::scan {

namespace {

// Whether no value in [lo, hi] satisfies `op v`; three-way compare cmp(x, v).
template <class T, class Cmp>
bool range_rules_out(FilterOp op, const T& lo, const T& hi, const T& v, Cmp cmp) {
    switch (op) {
        case FilterOp::Eq: case FilterOp::In: return cmp(v, lo) < 0 || cmp(v, hi) > 0;
        case FilterOp::Ne: case FilterOp::NotIn: return cmp(lo, v) == 0 && cmp(hi, v) == 0;
        case FilterOp::Lt: return cmp(lo, v) >= 0;
        case FilterOp::Le: return cmp(lo, v) > 0;
        case FilterOp::Gt: return cmp(hi, v) <= 0;
        case FilterOp::Ge: return cmp(hi, v) < 0;
    }
    return false;
}

// Whether no cell in [lo, hi] matches the filter, for each of its values
// as `value` gives it (`absent`: a value no cell holds).
template <class T, class Cmp, class Value, class Absent>
bool values_rule_out(const Filter& f, const T& lo, const T& hi, Cmp cmp, Value value, Absent absent) {
    if (f.op == FilterOp::In) {
        // Out when every value is out.
        for (const FilterValue& v : f.values) {
            if (!absent(v) && !range_rules_out(FilterOp::Eq, lo, hi, value(v), cmp)) return false;
        }
        return true;
    }
    if (f.op == FilterOp::NotIn) {
        // Out when every cell holds the same value, and it is in the list.
        for (const FilterValue& v : f.values) {
            if (!absent(v) && range_rules_out(FilterOp::Ne, lo, hi, value(v), cmp)) return true;
        }
        return false;
    }
    if (f.values.empty()) return false;
    const FilterValue& v = f.values[0];
    if (absent(v)) return f.op != FilterOp::Ne;  // NaN: only != holds
    return range_rules_out(f.op, lo, hi, value(v), cmp);
}

int cmp_i64(const int64_t& a, const int64_t& b) { return a < b ? -1 : a > b ? 1 : 0; }
int cmp_f64(const double& a, const double& b) { return a < b ? -1 : a > b ? 1 : 0; }
int cmp_text(const std::string_view& a, const std::string_view& b) {
    return compare_text(reinterpret_cast<const uint8_t*>(a.data()), a.size(),
                        reinterpret_cast<const uint8_t*>(b.data()), b.size());
}

// The largest magnitude a float cell takes: the stored 1/10000 units saturate.
constexpr double kFloatCap = 922337203685477.5807;

// The index's minimum and maximum cover the non-null cells only. Nulls the
// file can place match nothing (but "= ''" on text, handled by the caller),
// and hidden nulls compare as their stored value (0, false or the empty
// text): S > N stored-null cells mean at least S - N of them really hold it,
// so for a sound index it already lies within the chunk's minimum and
// maximum, and the range needs no widening.

// Text: the minimum and maximum, and the Bloom filter of every cell.
RuledOut text_rules_out(const StreamChunkColMeta& m, const Filter& f) {
    const std::string_view lo = m.min_str, hi = m.max_str;
    auto text = [](const FilterValue& v) { return std::string_view(v.text); };
    auto never = [](const FilterValue&) { return false; };
    if (values_rule_out<std::string_view>(f, lo, hi, cmp_text, text, never)) return RuledOut::Range;
    if ((f.op == FilterOp::Eq || f.op == FilterOp::In) &&
        std::none_of(f.values.begin(), f.values.end(), [&](const FilterValue& v) {
            return bloom_may_contain(m.bloom, reinterpret_cast<const uint8_t*>(v.text.data()), v.text.size());
        })) {
        return RuledOut::Bloom;
    }
    return RuledOut::No;
}

RuledOut int_rules_out(const StreamChunkColMeta& m, const Filter& f) {
    return values_rule_out<int64_t>(
               f, m.min, m.max, cmp_i64, [](const FilterValue& v) { return v.integer; },
               [](const FilterValue&) { return false; })
               ? RuledOut::Range
               : RuledOut::No;
}

// Float: the index keeps the cells truncated to integers, so every value
// given out lies within one of them (saturated values at the cap).
RuledOut float_rules_out(const StreamChunkColMeta& m, const Filter& f) {
    if (f.op == FilterOp::Ne || f.op == FilterOp::NotIn) return RuledOut::No;
    const double lo = std::min(static_cast<double>(m.min) - 1.0, kFloatCap);
    const double hi = std::max(static_cast<double>(m.max) + 1.0, -kFloatCap);
    return values_rule_out<double>(
               f, lo, hi, cmp_f64, [](const FilterValue& v) { return v.real; },
               [](const FilterValue& v) { return std::isnan(v.real); })
               ? RuledOut::Range
               : RuledOut::No;
}

}  // namespace

RuledOut chunk_ruled_out_by(const VarnReader& reader, size_t chunk, const Filter& f) {
    // The index keeps no statistics of an encrypted column.
    if (reader.encrypted(f.column)) return RuledOut::No;
    const StreamChunkColMeta& m = reader.meta(chunk, f.column);
    const uint64_t rows = reader.chunk_rows(chunk);
    if (rows == 0) return RuledOut::Nulls;
    // A filter that matches null cells ("= ''" on text) keeps every chunk
    // holding one, whatever its range says of the other cells.
    if (m.null_count > 0 && filter_matches_null(reader, f)) return RuledOut::No;
    // Every cell null: no other filter matches any.
    if (m.null_count >= rows) return RuledOut::Nulls;
    switch (format::kind_of(reader.columns()[f.column].type_code)) {
        case format::ColumnKind::Text: return text_rules_out(m, f);
        case format::ColumnKind::Int: return int_rules_out(m, f);
        case format::ColumnKind::Float: return float_rules_out(m, f);
        default: return RuledOut::No;  // flags and byte strings keep no usable statistics
    }
}

RuledOut chunk_ruled_out_by(const VarnReader& reader, size_t chunk, const std::vector<Filter>& filters) {
    for (const Filter& f : filters) {
        const RuledOut why = chunk_ruled_out_by(reader, chunk, f);
        if (why != RuledOut::No) return why;
    }
    return RuledOut::No;
}

std::vector<size_t> matching_chunks(const VarnReader& reader, const std::vector<Filter>& filters) {
    std::vector<size_t> out;
    for (size_t chunk = 0; chunk < reader.chunk_count(); ++chunk) {
        if (reader.chunk_rows(chunk) == 0) continue;
        if (chunk_ruled_out_by(reader, chunk, filters) == RuledOut::No) out.push_back(chunk);
    }
    return out;
}

}  // namespace varn::scan
