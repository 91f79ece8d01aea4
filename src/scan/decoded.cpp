#include "scan/decoded.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "common/text_scan.h"
#include "format/column/column_encoding.h"
#include "format/column/nested_value.h"
#include "format/file/chunk_pipeline.h"
#include "render/cell_text.h"
#include "scan/null_rule.h"

namespace varn::scan {

namespace {

int compare_bytes(ByteView a, std::string_view b) {
    return compare_text(a.data(), a.size(), reinterpret_cast<const uint8_t*>(b.data()), b.size());
}
bool text_less(std::string_view a, std::string_view b) {
    return compare_text(reinterpret_cast<const uint8_t*>(a.data()), a.size(),
                        reinterpret_cast<const uint8_t*>(b.data()), b.size()) < 0;
}

bool matches(FilterOp op, int c) {
    switch (op) {
        case FilterOp::Eq: case FilterOp::In: return c == 0;
        case FilterOp::Ne: case FilterOp::NotIn: return c != 0;
        case FilterOp::Lt: return c < 0;
        case FilterOp::Le: return c <= 0;
        case FilterOp::Gt: return c > 0;
        case FilterOp::Ge: return c >= 0;
    }
    return false;
}

Status decode_json(const VarnReader& r, size_t chunk, DecodedColumn& c, size_t rows) {
    c.json.clear();
    c.json_ends.resize(rows);
    c.valid.assign(rows, 1);
    std::string text;
    KVal value;
    for (size_t i = 0; i < rows; ++i) {
        Status st = decode_nested_val(c.entries[i], value);
        if (st.failed()) return r.payload_fault(chunk, c.col, st.prefixed("row " + std::to_string(i) + ": "));
        if (value.is_null()) {
            c.valid[i] = 0;
        } else {
            text.clear();
            append_json_text(value, text);
            c.json.insert(c.json.end(), text.begin(), text.end());
        }
        c.json_ends[i] = c.json.size();
    }
    uint64_t start = 0;
    for (size_t i = 0; i < rows; ++i) {
        c.entries[i] = ByteView(c.json.data() + start, c.json_ends[i] - start);
        start = c.json_ends[i];
    }
    return Status::ok();
}

}  // namespace

Status decode_column(VarnReader& r, size_t chunk, DecodedColumn& c, VarnReader::RecordBuffers* buffers) {
    const size_t rows = r.chunk_rows(chunk);
    const uint32_t nulls = r.meta(chunk, c.col).null_count;
    c.loaded = true;
    c.hidden = 0;
    c.valid.clear();
    c.sink_data.reset();
    auto settle = [&](NullSettlement settled) {
        c.hidden = settled.hidden;
        return settled.status.failed() ? r.payload_fault(chunk, c.col, settled.status) : Status::ok();
    };
    switch (c.kind) {
        case Kind::Int:
        case Kind::Float:
            VARN_RETURN_IF_ERROR(r.read_integers(chunk, c.col, c.payload, c.ints, buffers));
            return settle(settle_nulls(rows, nulls, c.valid, [&](size_t i) { return c.ints[i] == 0; }));
        case Kind::Flags:
            VARN_RETURN_IF_ERROR(r.read_flags(chunk, c.col, c.payload, c.flags, buffers));
            return settle(settle_nulls(rows, nulls, c.valid, [&](size_t i) { return c.flags[i] == 0; }));
        case Kind::Text:
        case Kind::Bytes:
            if (c.payload_only) return r.read_entry_payload(chunk, c.col, c.payload, buffers);
            VARN_RETURN_IF_ERROR(r.read_entries(chunk, c.col, c.payload, c.entries, buffers));
            return settle(settle_nulls(rows, nulls, c.valid, [&](size_t i) { return c.entries[i].empty(); }));
        case Kind::Nested:
            VARN_RETURN_IF_ERROR(r.read_entries(chunk, c.col, c.payload, c.entries, buffers));
            return decode_json(r, chunk, c, rows);
    }
    return Status::ok();
}

RowPredicate prepare_predicate(const VarnReader& reader, const Filter& f) {
    RowPredicate p{f, filter_matches_null(reader, f), {}, {}, {}};
    for (const FilterValue& v : p.filter.values) {
        p.texts.push_back(v.text);
        p.ints.push_back(v.integer);
        if (!std::isnan(v.real)) p.reals.push_back(v.real);
    }
    std::sort(p.texts.begin(), p.texts.end(), text_less);
    std::sort(p.ints.begin(), p.ints.end());
    std::sort(p.reals.begin(), p.reals.end());
    return p;
}

bool keep_row(const DecodedColumn& c, size_t row, const RowPredicate& p) {
    if (c.is_null(row)) return p.matches_null;
    const FilterOp op = p.filter.op;
    const bool in = op == FilterOp::In;
    switch (c.kind) {
        case Kind::Text:
        case Kind::Bytes:
        case Kind::Nested: {
            const ByteView t = c.entries[row];
            if (is_set_op(op)) {
                const std::string_view s(reinterpret_cast<const char*>(t.data()), t.size());
                return std::binary_search(p.texts.begin(), p.texts.end(), s, text_less) == in;
            }
            return matches(op, compare_bytes(t, p.filter.values[0].text));
        }
        case Kind::Int:
        case Kind::Flags: {
            const int64_t x = c.kind == Kind::Int ? c.ints[row] : c.flags[row];
            if (is_set_op(op)) return std::binary_search(p.ints.begin(), p.ints.end(), x) == in;
            const int64_t v = p.filter.values[0].integer;
            return matches(op, x < v ? -1 : x > v ? 1 : 0);
        }
        case Kind::Float: {
            const double x = static_cast<double>(c.ints[row]) / kFloatScale;
            if (is_set_op(op)) return std::binary_search(p.reals.begin(), p.reals.end(), x) == in;
            const double v = p.filter.values[0].real;
            switch (op) {
                case FilterOp::Eq: return x == v;
                case FilterOp::Ne: return x != v;
                case FilterOp::Lt: return x < v;
                case FilterOp::Le: return x <= v;
                case FilterOp::Gt: return x > v;
                case FilterOp::Ge: return x >= v;
                default: return false;
            }
        }
    }
    return false;
}

}  // namespace varn::scan
