// Decoding ahead: chunks are decoded ahead of the consumer by a pool of
// threads, started by the first next() and joined when the scan ends. The
// window holds the chunk being given out and a few after it (one more than
// the threads), as many as the memory budget lets be decoded at once. The
// pieces of every chunk in the window (one column each, or a whole chunk
// when filters decide which columns are needed) are taken largest first, so
// the threads stay busy across chunk boundaries; the thread that decodes a
// chunk's last column runs the sink's chunk hook. The consumer takes the
// chunks in order.
#include "scan/scan.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "format/file/chunk_pipeline.h"
#include "scan/budget.h"
#include "scan/prune.h"

namespace varn::scan {

Status check_scan(const VarnReader& reader, const ScanOptions& options) {
    for (size_t c : options.columns) {
        if (c >= reader.column_count()) {
            return Status::invalid_input("column number " + std::to_string(c) + " is out of range");
        }
    }
    VARN_RETURN_IF_ERROR(check_filters(reader, options.filters));
    if (options.chunks) {
        for (size_t c : *options.chunks) {
            if (c >= reader.chunk_count()) {
                return Status::invalid_input("chunk number " + std::to_string(c) + " is out of range (the file has " +
                                             std::to_string(reader.chunk_count()) + " chunks)");
            }
        }
    }
    return Status::ok();
}

namespace {

// One place of the chunk order being decoded or given out.
struct Slot {
    size_t place = SIZE_MAX;  // its place in the chunk order
    DecodedChunk decoded;
    uint64_t estimate = 0;  // what decoding it takes (chunk_decode_bytes)
    Status status;          // a fault met while decoding it
    // Decoded column by column: each column's fault, and the columns not
    // yet decoded (under State::mu).
    std::vector<Status> column_status;
    size_t pending = 0;
    bool done = false;  // decoded: the consumer may take it (under State::mu)
};

// A piece of decoding work: one column of a chunk, or a whole chunk (with
// filters, whose columns decode one after the other).
constexpr size_t kWholeChunk = SIZE_MAX;
struct Piece {
    size_t place = 0;
    size_t column = kWholeChunk;  // index in `needed`
    uint64_t bytes = 0;           // its record's size: the largest goes first
};

// Runs work on a pool thread: running out of memory there is an error
// value, not an exception that would end the process.
template <class Work>
Status guarded(Work&& work) {
    try {
        return work();
    } catch (const std::bad_alloc&) {
        return Status::out_of_memory("out of memory while decoding a chunk");
    } catch (const std::exception& e) {
        return Status::internal(std::string("decoding a chunk failed: ") + e.what());
    }
}

}  // namespace

struct Scan::State {
    VarnReader& reader;
    ScanOptions options;
    std::shared_ptr<ScanStats> stats;
    ChunkSink& sink;
    std::vector<RowPredicate> predicates;
    std::vector<size_t> needed;        // each column needed once
    std::vector<Kind> kinds;           // of `needed`
    std::vector<size_t> output_index;  // output column -> index in `needed`
    std::vector<size_t> filter_index;  // filter -> index in `needed`
    size_t filter_columns = 0;         // needed[0, filter_columns) are filter columns
    size_t places = 0;                 // chunks in the chunk order
    size_t out = 0;                    // the place being given out
    bool holding = false;              // the consumer holds the chunk at `out`
    bool failed = false;
    unsigned threads = 1;
    // Place p decodes into slots[p % slots.size()]: the window holds at most
    // that many chunks, the one being given out included.
    std::vector<Slot> slots;
    std::vector<VarnReader::RecordBuffers> buffers;  // one per decoding thread

    // Shared with the decoding threads.
    std::mutex mu;
    std::condition_variable work_cv;   // a piece queued, room in the window, or stop
    std::condition_variable ready_cv;  // a chunk decoded
    size_t admitted = 0;               // places [out, admitted) are decoded or being decoded
    size_t end = 0;                    // no place at or after it is admitted (a fault before it)
    std::vector<Piece> pieces;         // not yet taken
    uint64_t chunk_bytes = 0;          // the most memory one decoded chunk took so far
    uint64_t window_bytes = 0;         // the estimates of places [out, admitted)
    // Places before it were handed to the reader's prefetch; only those are
    // admitted (set by the consumer's thread).
    size_t prefetched = 0;
    bool stop = false;
    bool started = false;
    std::vector<std::thread> pool;

    State(VarnReader& r, ScanOptions o, std::shared_ptr<ScanStats> st, ChunkSink& k)
        : reader(r), options(std::move(o)), stats(std::move(st)), sink(k) {}
    ~State() { stop_pool(); }

    void stop_pool() {
        {
            std::lock_guard<std::mutex> lock(mu);
            stop = true;
        }
        work_cv.notify_all();
        for (std::thread& t : pool) t.join();
        pool.clear();
    }

    size_t chunk_at(size_t place) const { return options.chunks ? (*options.chunks)[place] : place; }
    void count(std::atomic<uint64_t> ScanStats::*field, uint64_t n = 1) {
        if (stats) (*stats.*field) += n;
    }

    void reset_columns(DecodedChunk& d, bool filtered) {
        d.columns.resize(needed.size());
        for (size_t j = 0; j < needed.size(); ++j) {
            DecodedColumn& c = d.columns[j];
            c.col = needed[j];
            c.kind = kinds[j];
            c.loaded = false;
            const bool text = c.kind == Kind::Text || c.kind == Kind::Bytes;
            c.payload_only = text && j >= filter_columns && sink.payload_only(j, d.rows, filtered);
        }
    }

    Status decode(DecodedChunk& d, size_t j, VarnReader::RecordBuffers& b) {
        count(&ScanStats::records_read);
        DecodedColumn& c = d.columns[j];
        VARN_RETURN_IF_ERROR(decode_column(reader, d.chunk, c, &b));
        return sink.column_decoded(reader, d, c);
    }

    // The chunk's hidden nulls counted, and the sink's chunk hook run.
    Status finish_chunk(DecodedChunk& d) {
        uint64_t hidden = 0;
        for (const DecodedColumn& c : d.columns) hidden += c.hidden;
        count(&ScanStats::hidden_nulls, hidden);
        return sink.chunk_decoded(reader, d);
    }

    // A chunk with filters: the filter columns first, the others only when
    // a row is kept.
    Status decode_filtered(DecodedChunk& d, VarnReader::RecordBuffers& b) {
        d.count = d.rows;
        for (size_t k = 0; k < predicates.size(); ++k) {
            const size_t j = filter_index[k];
            DecodedColumn& c = d.columns[j];
            if (!c.loaded) VARN_RETURN_IF_ERROR(decode(d, j, b));
            const RowPredicate& p = predicates[k];
            if (d.all) {
                d.selected.clear();
                for (size_t i = 0; i < d.rows; ++i) {
                    if (keep_row(c, i, p)) d.selected.push_back(static_cast<uint32_t>(i));
                }
                d.all = false;
            } else {
                d.selected.erase(std::remove_if(d.selected.begin(), d.selected.end(),
                                                [&](uint32_t i) { return !keep_row(c, i, p); }),
                                 d.selected.end());
            }
            d.count = d.selected.size();
            if (d.count == 0) return Status::ok();
        }
        for (size_t j = 0; j < d.columns.size(); ++j) {
            if (!d.columns[j].loaded) VARN_RETURN_IF_ERROR(decode(d, j, b));
        }
        return finish_chunk(d);
    }

    void admit();
    bool take_piece(Piece& out, size_t only = SIZE_MAX);
    void finish_columns(Slot& slot);
    void run_piece(std::unique_lock<std::mutex>& lock, const Piece& piece, unsigned w);
    void decode_ahead(unsigned w);
    void start_pool();
    Slot& wait_for_chunk();
    Status prefetch_window();
    void release_out();
};

// Under mu: sets up the next places of the chunk order and queues their
// pieces while the window has room. Chunks the index rules out are given
// out as no rows, never read. Every column of a chunk is decoded at once:
// the chunks held stay within the memory budget together (and, beyond one
// per thread, within it as judged by the largest decoded chunk so far), and
// a chunk that passes the budget alone is refused before anything of it is
// allocated.
void Scan::State::admit() {
    VarnReader& r = reader;
    const uint64_t budget = r.memory_budget();
    // Chunks settled here (ruled out, refused, empty) are done at once: the
    // consumer may be waiting for one.
    bool settled = false;
    while (admitted < std::min(end, prefetched)) {
        const size_t held = admitted - out;
        if (held >= slots.size()) break;
        if (held >= threads && (chunk_bytes == 0 || (held + 1) > budget / chunk_bytes)) break;
        const size_t chunk = chunk_at(admitted);
        const RuledOut why = chunk_ruled_out_by(r, chunk, options.filters);
        const uint64_t estimate = why == RuledOut::No ? chunk_decode_bytes(r, chunk, needed) : 0;
        const bool alone_too_big = estimate > budget;
        if (held > 0 && (alone_too_big || window_bytes + estimate > budget)) break;
        const size_t place = admitted++;
        Slot& slot = slots[place % slots.size()];
        DecodedChunk& d = slot.decoded;
        slot.place = place;
        slot.estimate = estimate;
        slot.status = Status::ok();
        slot.done = false;
        d.chunk = chunk;
        d.rows = r.chunk_rows(chunk);
        d.all = true;
        d.selected.clear();
        d.count = 0;
        d.sink_data.reset();
        window_bytes += estimate;
        if (why != RuledOut::No) {
            count(&ScanStats::chunks_skipped);
            if (why == RuledOut::Bloom) count(&ScanStats::skipped_by_bloom);
            slot.pending = 0;
            slot.done = settled = true;
            continue;
        }
        if (alone_too_big) {
            slot.pending = 0;
            slot.status = check_chunk_budget(r, chunk, needed.size(), estimate);
            slot.done = settled = true;
            end = place + 1;  // nothing after it is given out
            continue;
        }
        if (d.rows == 0) {
            slot.pending = 0;
            slot.done = settled = true;
            continue;
        }
        count(&ScanStats::chunks_read);
        const bool filtered = !predicates.empty();
        reset_columns(d, filtered);
        if (filtered || needed.empty()) {
            // Filters: the filter columns first, the others only for a kept row.
            slot.pending = 1;
            pieces.push_back(Piece{place, kWholeChunk, 0});
            continue;
        }
        slot.column_status.assign(needed.size(), Status::ok());
        for (size_t j = 0; j < needed.size(); ++j) {
            pieces.push_back(Piece{place, j, r.meta(chunk, needed[j]).block_len});
        }
        slot.pending = needed.size();
    }
    if (settled) ready_cv.notify_all();
}

// Under mu: takes the largest queued piece (of place `only`, if set);
// false when there is none.
bool Scan::State::take_piece(Piece& taken, size_t only) {
    size_t best = SIZE_MAX;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const Piece& p = pieces[i];
        if (only != SIZE_MAX && p.place != only) continue;
        if (best == SIZE_MAX || p.bytes > pieces[best].bytes ||
            (p.bytes == pieces[best].bytes && p.place < pieces[best].place)) {
            best = i;
        }
    }
    if (best == SIZE_MAX) return false;
    taken = pieces[best];
    pieces.erase(pieces.begin() + static_cast<std::ptrdiff_t>(best));
    return true;
}

// Every column of the chunk decoded: its first failing column in column
// order is its fault, as when the columns load one after the other.
void Scan::State::finish_columns(Slot& slot) {
    for (const Status& st : slot.column_status) {
        if (st.failed()) {
            slot.status = st;
            return;
        }
    }
    DecodedChunk& d = slot.decoded;
    d.count = d.rows;
    slot.status = guarded([&] { return finish_chunk(d); });
    if (slot.status.failed()) d.count = 0;
}

// About the memory a decoded chunk holds: its columns, and as much again
// for what the sink builds from them.
uint64_t decoded_memory(const DecodedChunk& d) {
    uint64_t bytes = 0;
    for (const DecodedColumn& c : d.columns) {
        bytes += c.payload.capacity() + c.json.capacity() + c.flags.capacity() + c.valid.capacity() +
                 c.ints.capacity() * sizeof(int64_t) + c.entries.capacity() * sizeof(ByteView) +
                 c.json_ends.capacity() * sizeof(uint64_t);
    }
    return 2 * bytes;
}

// Runs `piece` on decoding thread `w`; `lock` (on mu) is held on entry and
// on return. The piece that completes its chunk marks it done.
void Scan::State::run_piece(std::unique_lock<std::mutex>& lock, const Piece& piece, unsigned w) {
    Slot& slot = slots[piece.place % slots.size()];
    DecodedChunk& d = slot.decoded;
    lock.unlock();
    uint64_t memory = 0;
    if (piece.column == kWholeChunk) {
        slot.status = guarded([&] { return decode_filtered(d, buffers[w]); });
        if (slot.status.failed()) d.count = 0;
        memory = decoded_memory(d);
        lock.lock();
    } else {
        slot.column_status[piece.column] = guarded([&] { return decode(d, piece.column, buffers[w]); });
        lock.lock();
        if (--slot.pending != 0) return;
        lock.unlock();
        memory = decoded_memory(d);
        finish_columns(slot);
        lock.lock();
    }
    slot.done = true;
    chunk_bytes = std::max(chunk_bytes, memory);
    if (slot.status.failed() && piece.place < end) {
        // Nothing after a faulty chunk is given out.
        end = piece.place + 1;
        pieces.erase(std::remove_if(pieces.begin(), pieces.end(),
                                    [&](const Piece& p) { return p.place > piece.place; }),
                     pieces.end());
    }
    ready_cv.notify_all();
}

void Scan::State::decode_ahead(unsigned w) {
    std::unique_lock<std::mutex> lock(mu);
    for (;;) {
        if (stop) return;
        admit();
        Piece piece;
        if (!take_piece(piece)) {
            work_cv.wait(lock);
            continue;
        }
        run_piece(lock, piece, w);
    }
}

void Scan::State::start_pool() {
    started = true;
    if (threads <= 1 || places == 0) return;
    pool.reserve(threads);
    for (unsigned w = 0; w < threads; ++w) {
        try {
            pool.emplace_back(&State::decode_ahead, this, w);
        } catch (...) {
            break;  // fewer threads give the same chunks
        }
    }
}

// On the consumer's thread, without mu: the one place where a decode
// window's chunks and columns are known before any thread reads them.
// Before the window can reach the places not yet prefetched (one release
// away), hands the reader the records of the next places (the chunks the
// index does not rule out, the columns the scan decodes) in one call: a
// remote source fetches them in one round, a local one does nothing. A call
// covers two windows of places, at least four, and stops early once its
// records pass a quarter of the memory budget (they are held until read).
Status Scan::State::prefetch_window() {
    size_t from, at;
    {
        std::lock_guard<std::mutex> lock(mu);
        from = prefetched;
        at = out;
    }
    const size_t window = slots.size();
    if (from >= places || from > at + window) return Status::ok();
    const size_t stride = std::max<size_t>(2 * window, 4);
    const uint64_t most_bytes = reader.memory_budget() / 4;
    std::vector<size_t> chunks;
    size_t to = from;
    uint64_t bytes = 0;
    while (to < places && to < from + stride && (to == from || bytes < most_bytes)) {
        const size_t chunk = chunk_at(to++);
        if (reader.chunk_rows(chunk) == 0) continue;
        if (chunk_ruled_out_by(reader, chunk, options.filters) != RuledOut::No) continue;
        chunks.push_back(chunk);
        for (size_t col : needed) bytes += reader.meta(chunk, col).block_len;
    }
    Status st = reader.prefetch(chunks, needed);
    {
        std::lock_guard<std::mutex> lock(mu);
        prefetched = to;
    }
    work_cv.notify_all();
    return st;
}

// Waits until the chunk at `out` is decoded; without decoding threads,
// decodes it here.
Slot& Scan::State::wait_for_chunk() {
    if (!started) start_pool();
    Slot& slot = slots[out % slots.size()];
    std::unique_lock<std::mutex> lock(mu);
    if (pool.empty()) {
        for (;;) {
            admit();
            if (slot.place == out && slot.done) break;
            Piece piece;
            if (!take_piece(piece, out)) break;  // cannot happen: the chunk is admitted
            run_piece(lock, piece, 0);
        }
    } else {
        ready_cv.wait(lock, [&] { return slot.place == out && slot.done; });
    }
    return slot;
}

// The chunk at `out` is given out: its slot is free for a later chunk.
void Scan::State::release_out() {
    {
        std::lock_guard<std::mutex> lock(mu);
        window_bytes -= slots[out % slots.size()].estimate;
        ++out;
    }
    work_cv.notify_all();
}

Scan::Scan(VarnReader& reader, ScanOptions options, std::shared_ptr<ScanStats> stats, ChunkSink& sink)
    : s_(std::make_unique<State>(reader, std::move(options), std::move(stats), sink)) {
    State& s = *s_;
    s.threads = s.options.threads ? s.options.threads : std::max(1u, available_cores());
    s.buffers.resize(s.threads);
    // One chunk ahead of a chunk per thread keeps the threads busy across
    // chunk boundaries; each slot more is one more chunk's buffers, new with
    // every scan, whose page faults cost more than they save.
    s.slots.resize(s.threads <= 1 ? 1 : size_t{s.threads} + 1);
    s.places = s.options.chunks ? s.options.chunks->size() : reader.chunk_count();
    s.end = s.places;
    std::vector<size_t> index_of(reader.column_count(), SIZE_MAX);
    auto need = [&](size_t col) {
        if (index_of[col] == SIZE_MAX) {
            index_of[col] = s.needed.size();
            s.needed.push_back(col);
            s.kinds.push_back(format::kind_of(reader.columns()[col].type_code));
        }
        return index_of[col];
    };
    s.predicates.reserve(s.options.filters.size());
    for (const Filter& f : s.options.filters) {
        s.filter_index.push_back(need(f.column));
        s.predicates.push_back(prepare_predicate(reader, f));
    }
    s.filter_columns = s.needed.size();
    for (size_t col : s.options.columns) s.output_index.push_back(need(col));
}

Scan::~Scan() = default;

const std::vector<size_t>& Scan::needed() const { return s_->needed; }
const std::vector<size_t>& Scan::output_index() const { return s_->output_index; }

void Scan::stop() { s_->stop_pool(); }

Result<DecodedChunk*> Scan::next() {
    State& s = *s_;
    if (s.failed) return Status::internal("the scan stopped at an earlier fault");
    if (s.holding) {
        s.holding = false;
        s.release_out();
    }
    for (;;) {
        if (s.out >= s.places) {
            s.stop_pool();
            return nullptr;
        }
        if (Status st = s.prefetch_window(); st.failed()) {
            s.failed = true;
            s.stop_pool();
            return st;
        }
        Slot& slot = s.wait_for_chunk();
        if (slot.place != s.out || !slot.done) {
            s.failed = true;
            return Status::internal("a chunk was not decoded");
        }
        if (slot.status.failed()) {
            s.failed = true;
            s.stop_pool();
            return slot.status;
        }
        if (slot.decoded.count == 0) {
            s.release_out();
            continue;
        }
        s.holding = true;
        s.count(&ScanStats::rows, slot.decoded.count);
        return &slot.decoded;
    }
}

}  // namespace varn::scan
