// Pruning: which chunks the index rules out for a filter before any record
// is read. One function per column kind; the null rule is that of
// filter.h and null_rule.h (a chunk of null cells matches no filter but
// "= ''" on text; hidden nulls compare as their stored value, which a sound
// index's range already holds).
#pragma once

#include <cstddef>
#include <vector>

#include "format/file/reader.h"
#include "scan/filter.h"

namespace varn::scan {

// Why the index rules a chunk out, or No.
enum class RuledOut : uint8_t { No, Nulls, Range, Bloom };

RuledOut chunk_ruled_out_by(const VarnReader& reader, size_t chunk, const Filter& filter);
inline bool chunk_ruled_out(const VarnReader& reader, size_t chunk, const Filter& filter) {
    return chunk_ruled_out_by(reader, chunk, filter) != RuledOut::No;
}

// The first filter's reason to rule the chunk out, or No.
RuledOut chunk_ruled_out_by(const VarnReader& reader, size_t chunk, const std::vector<Filter>& filters);

// The chunks, in file order, that hold rows and that no filter rules out
// by the index: those a scan with these filters reads.
std::vector<size_t> matching_chunks(const VarnReader& reader, const std::vector<Filter>& filters);

}  // namespace varn::scan
