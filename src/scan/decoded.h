// Decoding: one column record of a chunk decoded for a scan, the null rule
// applied to it, and the row predicates run over decoded columns. Nothing
// here builds output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "common/bytes.h"
#include "common/result.h"
#include "format/file/reader.h"
#include "format/type_codes.h"
#include "scan/filter.h"

namespace varn::scan {

using Kind = format::ColumnKind;

// One column of a chunk, decoded.
struct DecodedColumn {
    size_t col = 0;
    Kind kind = Kind::Text;
    // Payload only: a text or bytes column whose payload is read but whose
    // entries are left for the sink to walk (it then applies the null rule,
    // settle_null_count, from the empty cells it meets).
    bool payload_only = false;
    bool loaded = false;
    Bytes payload;
    std::vector<ByteView> entries;  // text, bytes, json (into payload or json)
    Bytes json;                     // json: the values as JSON text
    std::vector<uint64_t> json_ends;
    std::vector<int64_t> ints;   // int, float (stored 1/10000 units)
    std::vector<uint8_t> flags;  // bool and type 0
    std::vector<uint8_t> valid;  // empty: no cell known to be null
    uint64_t hidden = 0;         // nulls given out as their stored value
    // What a sink builds from this column on the decoding thread (for
    // example output buffers made straight from the payload); freed when the
    // column is decoded again.
    std::shared_ptr<void> sink_data;

    bool is_null(size_t row) const { return !valid.empty() && valid[row] == 0; }
};

// Decodes (chunk, c.col) into `c` with the thread's own buffers (the reader
// is left untouched, so columns decode on several threads at once), and
// applies the null rule. Json values become JSON text, a json null a null.
Status decode_column(VarnReader& reader, size_t chunk, DecodedColumn& c, VarnReader::RecordBuffers* buffers);

// A filter ready to run over decoded rows: its values sorted for search.
struct RowPredicate {
    Filter filter;
    bool matches_null = false;  // filter_matches_null
    std::vector<std::string_view> texts;
    std::vector<int64_t> ints;
    std::vector<double> reals;
};

RowPredicate prepare_predicate(const VarnReader& reader, const Filter& filter);

// Whether row `row` of the decoded column `c` (the predicate's column)
// satisfies it.
bool keep_row(const DecodedColumn& c, size_t row, const RowPredicate& p);

}  // namespace varn::scan
