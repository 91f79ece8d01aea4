// A VARN v2 file as an Arrow C stream: one record batch per chunk (or
// batches of at most `batch_rows` rows) of the rows and columns a scan
// (scan/scan.h) selects. This is only the Arrow side: which chunks and rows,
// the null rule and the decoding ahead are the scan's.
//
// Column types: text -> utf8 (large_utf8 when the reader's block limit lets
// one chunk's text pass 2 GiB), int -> int64, float -> float64 (the stored
// 1/10000 units divided by 10000), bool and type 0 -> boolean, bytes and
// types 9-255 -> binary, json (6-8) -> utf8 JSON text. Null cells, as the
// scan's null rule settles them, are Arrow nulls.
#pragma once

#include <cstddef>
#include <memory>

#include "arrow/arrow_abi.h"
#include "format/file/reader.h"
#include "scan/scan.h"

namespace varn::arrow {

// The stream takes the scan's options (batch_rows: the most rows per
// batch, 0 for one batch per chunk), filters and statistics.
using scan::check_scan;
using scan::Filter;
using scan::FilterOp;
using scan::FilterValue;
using scan::ScanOptions;
using scan::ScanStats;

// check_scan, and the Arrow side's own check: the names of the columns
// given out fit an Arrow schema (no NUL byte).
Status check_stream(const VarnReader& reader, const ScanOptions& options);

// Fills `out` with a stream over `reader` (which it takes). `options` must
// have passed check_stream. `stats`, if set, is updated as the stream runs.
void make_stream(std::unique_ptr<VarnReader> reader, ScanOptions options, std::shared_ptr<ScanStats> stats,
                 ArrowArrayStream* out);

}  // namespace varn::arrow
