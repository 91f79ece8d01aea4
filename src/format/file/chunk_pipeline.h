// ChunkPipeline: the columns of a chunk analysed, encrypted and compressed on
// a pool of worker threads, the records appended to a StreamingVarnWriter in
// column order. The file holds exactly the bytes the writer's own
// write_text_chunk / write_chunk calls would give: every record is made from
// the same payload by the same rules (the block compressor's output does not
// depend on what it compressed before), and only the order of the work
// differs.
//
// Two chunks are in flight at most: the caller fills one batch while the
// workers finish the previous chunk and start on the one just submitted.
// Each worker owns its payload buffer and block compressor. Records are
// appended by whichever worker completes the next record in file order;
// a record that completes early waits in its slot.
#pragma once

#include <condition_variable>
#include <functional>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "common/result.h"
#include "format/file/writer.h"

namespace varn {

// The CPUs this process may run on (its affinity mask), at least 1.
unsigned available_cores();

class ChunkPipeline {
public:
    // Most worker threads a pipeline starts. Each holds a block compressor
    // (a 2 MiB match table) and its buffers, about 3 MiB in all, and past
    // this many the one thread that reads and splits the input bounds the
    // conversion on every benchmark set (bench/results/scaling.md).
    static constexpr unsigned kMaxWorkers = 8;
    // The worker threads a pipeline over `columns` columns starts when asked
    // for `threads`: at least 1, at most kMaxWorkers, and no more than the
    // columns of the two chunks in flight.
    static unsigned workers_for(unsigned threads, size_t columns);

    // Starts workers_for(threads, columns) worker threads.
    ChunkPipeline(StreamingVarnWriter& writer, unsigned threads);
    // Stops the workers and joins them; chunks not yet finished are dropped.
    ~ChunkPipeline();
    ChunkPipeline(const ChunkPipeline&) = delete;
    ChunkPipeline& operator=(const ChunkPipeline&) = delete;

    // Queues one chunk, checked as write_text_chunk / write_chunk check it.
    // The batch (or the rows) must stay unchanged until the next submit or
    // finish returns. Returns once every chunk submitted before this one is
    // in the file, so the batch given to the previous call may be reused.
    // After an error in any chunk, returns that error (the first in file
    // order, with the message the writer gives) and the pipeline stops.
    Status submit_text(const TextBatch& batch);
    // Parses the values of an Int, Float or Bool column of a batch, on the
    // worker that encodes the column; its error is the column's record's.
    using ColumnParser = std::function<Status(const TextBatch& batch, size_t column, BatchValues& out)>;
    // A batch whose typed columns are parsed by `parse` (which must outlive
    // the chunk), so that only one column of parsed values per worker
    // exists at a time.
    Status submit_text(const TextBatch& batch, const ColumnParser& parse);
    Status submit_rows(std::span<const Row> rows, uint64_t row_count);

    // Waits until every submitted chunk is in the file.
    Status finish();

private:
    struct Record {
        Bytes block;
        uint32_t crc = 0;
        Status error;  // set instead of a block when the record failed
        bool ready = false;
    };
    struct Job {
        uint64_t seq = 0;
        uint32_t chunk_index = 0;
        const TextBatch* text = nullptr;  // or the rows
        const ColumnParser* parse = nullptr;  // the text's typed columns, when not parsed yet
        std::span<const Row> rows;
        uint64_t row_count = 0;
        size_t next_column = 0;   // the next column a worker takes
        size_t next_written = 0;  // the next column appended to the file
        std::vector<StreamChunkColMeta> metas;
        std::vector<Record> records;
    };

    Status submit(Job& job);
    void work();
    // Appends ready records in file order; called by a worker holding the
    // writing token, with the lock held (released while appending).
    void write_ready(std::unique_lock<std::mutex>& lock);
    Job& job_of(uint64_t seq) { return jobs_[seq % 2]; }

    StreamingVarnWriter& writer_;
    std::mutex mu_;
    std::condition_variable work_cv_;  // workers: a column to take, or stop
    std::condition_variable done_cv_;  // callers: a chunk is in the file, or failure
    Job jobs_[2];
    uint64_t submitted_ = 0;  // chunks queued
    uint64_t taken_ = 0;      // chunks whose every column has been taken
    uint64_t written_ = 0;    // chunks completely in the file
    uint32_t next_chunk_index_ = 0;
    bool writing_ = false;  // a worker is appending records
    bool stop_ = false;
    Status failure_;
    std::vector<std::thread> threads_;
};

}  // namespace varn
