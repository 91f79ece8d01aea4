// A VARN v2 file as an Arrow C stream: one record batch per chunk (or
// batches of at most `batch_rows` rows), selected columns only, rows kept by
// a conjunction of filters. Chunks the index rules out are never read; the
// filter columns of the other chunks are decoded first, so a chunk without
// a matching row costs only their records. Buffers are filled straight from
// the decoded payloads, and the release callbacks free everything.
//
// Column types: text -> utf8 (large_utf8 when the reader's block limit lets
// one chunk's text pass 2 GiB), int -> int64, float -> float64 (the stored
// 1/10000 units divided by 10000), bool and type 0 -> boolean, bytes and
// types 9-255 -> binary, json (6-8) -> utf8 JSON text.
//
// Nulls: the file stores a null cell as 0, false or the empty string and
// only counts them per chunk. Where the count settles which cells were null
// (as many stored 0 / false / empty cells as nulls), those cells are null;
// otherwise they come back as their stored value and are counted in
// ScanStats::hidden_nulls. A json cell holding the null value is null.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "arrow/arrow_abi.h"
#include "common/result.h"
#include "format/file/reader.h"

namespace varn::arrow {

enum class FilterOp : uint8_t { Eq, Ne, Lt, Le, Gt, Ge, In, NotIn };

// "==", "!=", "<", "<=", ">", ">=", "in", "not in".
Result<FilterOp> filter_op_from_text(std::string_view text);

// One operand, in the form of the column's type: `text` for text and bytes
// columns (raw bytes), `integer` for int and bool columns (0 or 1), `real`
// for float columns (compared with the value the stream gives, stored / 10000).
struct FilterValue {
    std::string text;
    int64_t integer = 0;
    double real = 0.0;
};

// column op value (one value), or column in / not in values. A null cell
// matches no filter, "!=" and "not in" included.
struct Filter {
    size_t column = 0;
    FilterOp op = FilterOp::Eq;
    std::vector<FilterValue> values;
};

struct ScanOptions {
    std::vector<size_t> columns;  // in output order; repeats allowed
    std::vector<Filter> filters;  // joined by AND
    size_t batch_rows = 0;        // 0: one batch per chunk
    // These chunks only, in this order (each chunk the index rules out is
    // still skipped); unset: every chunk.
    std::optional<std::vector<size_t>> chunks = std::nullopt;
    // Threads that decode chunks ahead of the consumer; 0: one per core.
    unsigned threads = 0;
};

// What a stream did so far; shared between the stream and its owner, and
// updated as batches are taken.
struct ScanStats {
    std::atomic<uint64_t> chunks_read{0};     // chunks whose records were read
    std::atomic<uint64_t> chunks_skipped{0};  // ruled out by the index, never read
    std::atomic<uint64_t> records_read{0};    // column records read and decoded
    std::atomic<uint64_t> rows{0};            // rows given out
    std::atomic<uint64_t> hidden_nulls{0};    // null cells given out as their stored value
};

// Checks the options against the file: column numbers in range, filters on
// columns of a type they apply to (not json), one value for comparisons.
Status check_scan(const VarnReader& reader, const ScanOptions& options);

// Whether the index of (chunk, filter.column) shows that no row of the chunk
// satisfies `filter`.
bool chunk_ruled_out(const VarnReader& reader, size_t chunk, const Filter& filter);

// The chunks, in file order, that hold rows and that no filter rules out
// by the index: those a stream with these filters reads.
std::vector<size_t> matching_chunks(const VarnReader& reader, const std::vector<Filter>& filters);

// The reader's check_column_key: the file's key check value, then the first
// chunk's record of encrypted column `col` decoded with the key set on the
// reader and checked against the index: a wrong key fails here, before any
// data is given out.
Status check_column_key(VarnReader& reader, size_t col);

// Fills `out` with a stream over `reader` (which it takes). `options` must
// have passed check_scan. `stats`, if set, is updated as the stream runs.
void make_stream(std::unique_ptr<VarnReader> reader, ScanOptions options,
                 std::shared_ptr<ScanStats> stats, ArrowArrayStream* out);

}  // namespace varn::arrow
