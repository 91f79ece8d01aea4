// The worker pool behind ChunkPipeline. One mutex guards the queue state;
// a worker holds it only to take a column or to hand in a record. The
// records are appended outside the lock by one worker at a time (the
// writing token), so appending never stalls the others' compression.
#include "format/file/chunk_pipeline.h"

#include <sched.h>

#include <algorithm>
#include <new>
#include <string>
#include <system_error>

#include "format/column/column_encoding.h"
#include "format/file/crc32.h"

namespace varn {

unsigned available_cores() {
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
#endif
    const unsigned n = std::thread::hardware_concurrency();
    return n ? n : 1;
}

unsigned ChunkPipeline::workers_for(unsigned threads, size_t columns) {
    const size_t work = std::max<size_t>(2 * columns, 1);
    return static_cast<unsigned>(std::clamp<size_t>(std::min<size_t>(threads, work), 1, kMaxWorkers));
}

ChunkPipeline::ChunkPipeline(StreamingVarnWriter& writer, unsigned threads)
    : writer_(writer), next_chunk_index_(writer.chunk_count()) {
    threads = workers_for(threads, writer.columns().size());
    threads_.reserve(threads);
    for (unsigned i = 0; i < threads; ++i) {
        try {
            threads_.emplace_back([this] { work(); });
        } catch (const std::system_error& e) {
            // Fewer workers still give the same file; none cannot.
            if (threads_.empty()) failure_ = Status::io_error(std::string("cannot start a thread: ") + e.what());
            break;
        }
    }
}

ChunkPipeline::~ChunkPipeline() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = true;
    }
    work_cv_.notify_all();
    for (std::thread& t : threads_) t.join();
}

Status ChunkPipeline::submit_text(const TextBatch& batch) {
    if (batch.rows == 0) return Status::ok();
    Job job;
    job.text = &batch;
    job.row_count = batch.rows;
    return submit(job);
}

Status ChunkPipeline::submit_text(const TextBatch& batch, const ColumnParser& parse) {
    if (batch.rows == 0) return Status::ok();
    Job job;
    job.text = &batch;
    job.parse = &parse;
    job.row_count = batch.rows;
    return submit(job);
}

Status ChunkPipeline::submit_rows(std::span<const Row> rows, uint64_t row_count) {
    if (row_count == 0) return Status::ok();
    Job job;
    job.rows = rows;
    job.row_count = row_count;
    return submit(job);
}

Status ChunkPipeline::submit(Job& given) {
    // The writer's own checks, with the chunk count the file will have.
    Status checked = given.text ? writer_.check_text_chunk(*given.text, next_chunk_index_, given.parse != nullptr)
                                : writer_.check_rows_chunk(given.rows, given.row_count, next_chunk_index_);
    if (checked.failed()) {
        // A fault of an earlier chunk comes first, as it would in file order.
        Status earlier = finish();
        return earlier.failed() ? earlier : checked;
    }
    const size_t columns = writer_.columns().size();
    std::unique_lock<std::mutex> lock(mu_);
    if (failure_.failed()) return failure_;
    const uint64_t seq = submitted_;
    // This slot's previous chunk (seq - 2) is in the file: the submit after
    // it waited for that.
    Job& job = job_of(seq);
    job.seq = seq;
    job.chunk_index = next_chunk_index_++;
    job.text = given.text;
    job.parse = given.parse;
    job.rows = given.rows;
    job.row_count = given.row_count;
    job.next_column = 0;
    job.next_written = 0;
    job.metas.clear();
    job.metas.resize(columns);
    job.records.resize(columns);
    for (Record& r : job.records) {
        r.ready = false;
        r.error = Status::ok();
        r.block.clear();
    }
    if (columns == 0) {
        // Nothing for the workers: the chunk only enters the index, after
        // the chunks before it.
        done_cv_.wait(lock, [&] { return written_ == seq || failure_.failed(); });
        if (failure_.failed()) return failure_;
        Status st = writer_.append_chunk(std::move(job.metas), job.row_count);
        if (st.failed()) return failure_ = st;
        ++submitted_;
        ++taken_;
        ++written_;
        return Status::ok();
    }
    ++submitted_;
    work_cv_.notify_all();
    done_cv_.wait(lock, [&] { return written_ >= seq || failure_.failed(); });
    return failure_;
}

Status ChunkPipeline::finish() {
    std::unique_lock<std::mutex> lock(mu_);
    done_cv_.wait(lock, [&] { return written_ == submitted_ || failure_.failed(); });
    return failure_;
}

void ChunkPipeline::work() {
    Bytes payload;
    BatchValues values;  // one column's, when the worker parses them
    BlockCompressor compressor(writer_.level());
    const std::vector<KColumn>& columns = writer_.columns();
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        work_cv_.wait(lock, [&] { return stop_ || taken_ < submitted_; });
        if (stop_) return;
        Job& job = job_of(taken_);
        const size_t c = job.next_column++;
        if (job.next_column == job.records.size()) ++taken_;
        lock.unlock();

        Record& rec = job.records[c];
        StreamChunkColMeta& meta = job.metas[c];
        Status st;
        // Memory running out on a worker is this record's error, not an
        // exception that would end the process.
        try {
            // A text column's minimum and maximum are copied out of the batch
            // once the payload is compressed and (when huge) released.
            TextBounds bounds;
            if (job.text && job.parse && columns[c].type_code != format::kTypeText) {
                st = (*job.parse)(*job.text, c, values);
                if (st.is_ok()) analyze_values_column(columns[c], values, payload, meta);
            } else if (job.text) {
                analyze_batch_column(columns[c], *job.text, c, payload, meta, &bounds);
            } else {
                analyze_column(columns[c], job.rows, c, payload, meta);
            }
            if (st.is_ok())
                st = StreamingVarnWriter::seal_record(columns[c], job.chunk_index, payload, compressor, rec.block);
            if (st.is_ok()) rec.crc = crc32(rec.block.data(), rec.block.size());
            release_large(payload);
            keep_text_bounds(bounds, meta);
        } catch (const std::bad_alloc&) {
            payload = Bytes();
            st = Status::out_of_memory("out of memory while encoding column '" + columns[c].name + "' of chunk " +
                               std::to_string(job.chunk_index));
        }

        lock.lock();
        rec.error = std::move(st);
        rec.ready = true;
        if (!writing_) write_ready(lock);
    }
}

void ChunkPipeline::write_ready(std::unique_lock<std::mutex>& lock) {
    writing_ = true;
    while (!stop_ && failure_.is_ok() && written_ < submitted_) {
        Job& job = job_of(written_);
        const size_t c = job.next_written;
        Record& rec = job.records[c];
        if (!rec.ready) break;
        // Only the token holder touches the writer and next_written; the
        // record is complete, so the lock is not needed meanwhile.
        lock.unlock();
        Status st = rec.error;
        if (st.is_ok()) st = writer_.append_record(rec.block, rec.crc, job.metas[c]);
        const bool last = c + 1 == job.records.size();
        if (st.is_ok() && last) st = writer_.append_chunk(std::move(job.metas), job.row_count);
        lock.lock();
        if (st.failed()) {
            failure_ = std::move(st);
            stop_ = true;  // the other workers drop what they have not started
            work_cv_.notify_all();
            done_cv_.notify_all();
            break;
        }
        job.next_written = c + 1;
        if (last) {
            ++written_;
            done_cv_.notify_all();
        }
    }
    writing_ = false;
}

}  // namespace varn
