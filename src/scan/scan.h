// The scan: the one place that answers "which chunks, which rows" for every
// reader. Given a reader, the output columns, filters, a thread count and
// the reader's memory budget, it rules chunks out from the index
// (prune.h), decodes the kept chunks ahead of the consumer on a pool of
// threads, keeps the rows the filters match (decoded.h), and hands each
// chunk's decoded columns to the consumer in chunk order. A sink (the Arrow
// stream, varn cat) builds its output from them; its hooks run on the
// decoding threads, so output can be built ahead too.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "common/result.h"
#include "format/file/reader.h"
#include "scan/decoded.h"
#include "scan/filter.h"

namespace varn::scan {

struct ScanOptions {
    std::vector<size_t> columns;  // output columns, in order; repeats allowed
    std::vector<Filter> filters;  // joined by AND
    // The most rows a sink gives out at once (0: a chunk); the scan hands
    // out whole chunks and tells the sink whether one is given out whole.
    size_t batch_rows = 0;
    // These chunks only, in this order (each chunk the index rules out is
    // still skipped); unset: every chunk.
    std::optional<std::vector<size_t>> chunks = std::nullopt;
    // Threads that decode chunks ahead of the consumer; 0: one per core.
    unsigned threads = 0;
};

// Checks the options against the file: column and chunk numbers in range,
// filters as check_filters says.
Status check_scan(const VarnReader& reader, const ScanOptions& options);

// What a scan did so far; shared between the scan and its owner, and
// updated as it runs.
struct ScanStats {
    std::atomic<uint64_t> chunks_read{0};       // chunks whose records were read
    std::atomic<uint64_t> chunks_skipped{0};    // ruled out by the index, never read
    std::atomic<uint64_t> records_read{0};      // column records read and decoded
    std::atomic<uint64_t> rows{0};              // rows given out
    std::atomic<uint64_t> hidden_nulls{0};      // null cells given out as their stored value
    std::atomic<uint64_t> skipped_by_bloom{0};  // of chunks_skipped, by a Bloom filter
};

// One chunk given out: its decoded columns (one per Scan::needed() entry)
// and the rows kept.
struct DecodedChunk {
    size_t chunk = 0;
    size_t rows = 0;  // the chunk's rows
    std::vector<DecodedColumn> columns;
    bool all = true;                 // every row of the chunk, else `selected`
    std::vector<uint32_t> selected;  // the rows kept, in order
    size_t count = 0;                // rows kept
    // What the sink built from the whole chunk on the decoding thread.
    std::shared_ptr<void> sink_data;

    size_t row(size_t k) const { return all ? k : selected[k]; }
};

// The output side of a scan. Both hooks run on a decoding thread (several
// chunks at once, each on one thread at a time).
class ChunkSink {
public:
    virtual ~ChunkSink() = default;
    // Whether needed column `index` (text or bytes, not a filter column) of
    // a chunk of `rows` rows is read as its payload only (see DecodedColumn).
    // `filtered`: rows may be dropped by the filters.
    virtual bool payload_only(size_t index, size_t rows, bool filtered) const {
        (void)index, (void)rows, (void)filtered;
        return false;
    }
    // A column of the chunk is decoded (the rows are not selected yet).
    virtual Status column_decoded(VarnReader& reader, DecodedChunk& chunk, DecodedColumn& column) {
        (void)reader, (void)chunk, (void)column;
        return Status::ok();
    }
    // The chunk's rows are selected and every column decoded; called only
    // for a chunk with rows kept.
    virtual Status chunk_decoded(VarnReader& reader, DecodedChunk& chunk) {
        (void)reader, (void)chunk;
        return Status::ok();
    }
};

class Scan {
public:
    // `reader` and `sink` outlive the scan; `options` passed check_scan.
    Scan(VarnReader& reader, ScanOptions options, std::shared_ptr<ScanStats> stats, ChunkSink& sink);
    ~Scan();
    Scan(const Scan&) = delete;
    Scan& operator=(const Scan&) = delete;

    // The columns decoded, each once: the filter columns first, then the
    // output columns; and for each output column its index in it.
    const std::vector<size_t>& needed() const;
    const std::vector<size_t>& output_index() const;

    // The next chunk with rows kept, in chunk order, or nullptr after the
    // last. It stays valid until the next call. After a failure (a damaged
    // record, a chunk beyond the budget) nothing more is given out.
    Result<DecodedChunk*> next();

    // Stops the decoding threads (a consumer that stops early).
    void stop();

private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace varn::scan
