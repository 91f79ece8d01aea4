// The Arrow C stream over a VARN v2 file: the Arrow sink of a scan
// (scan/scan.h). The scan decides which chunks and rows, and decodes the
// chunks ahead; this file only builds Arrow structs and buffers from the
// decoded columns. Each batch is a struct array whose children own their
// buffers (allocated once per batch, 64-byte aligned, filled straight from
// the decoded values) and free them in their release callback, so a
// consumer may move a child out and keep it alone. A chunk given out as one
// batch is built on the decoding thread, its text and bytes columns
// straight from their payloads with no view per cell.
#include "arrow/arrow_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <string_view>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "common/text_scan.h"
#include "format/column/column_decoding.h"
#include "format/column/column_encoding.h"
#include "scan/null_rule.h"

namespace varn::arrow {

namespace {

using scan::DecodedChunk;
using scan::DecodedColumn;
using Kind = scan::Kind;

// ---------------------------------------------------------------------------
// Owned buffers and the release callbacks.

void* allocate(size_t bytes) {
    const size_t n = (std::max<size_t>(bytes, 1) + 63) / 64 * 64;
    void* p = std::aligned_alloc(64, n);
    if (!p) throw std::bad_alloc();
    return p;
}

// A buffer of a batch: from the heap, or mapped on its own (`mapped` bytes).
struct Buffer {
    void* p = nullptr;
    size_t mapped = 0;
};

// Text buffers of a chunk run to megabytes and are written once, front to
// back, then handed to the consumer: such buffers are mapped on their own,
// 2 MiB aligned, their whole 2 MiB pages marked for huge pages, which spares
// most of the page faults of the first write. Smaller ones come from the heap.
constexpr size_t kHugePage = size_t{2} << 20;

#if defined(__linux__) && defined(MADV_HUGEPAGE)
// Freed mapped buffers kept for the next batch or read: writing into fresh
// mappings costs a page fault per page and the kernel zeroing it, and a
// stream frees and maps the same sizes over and over. The cache is bounded
// (kCacheBytes; what does not fit is unmapped), shared by all streams and
// threads (consumers free buffers on their own threads, often after the
// stream is gone), and never destroyed, so a buffer freed at process exit
// still finds it. 64 MiB holds the text buffers of a few chunks, which is
// what a read frees and asks for again, at a bounded cost in idle memory.
constexpr size_t kCacheBytes = size_t{64} << 20;
// Buffers from this size up are mapped on their own, so that they can be
// cached; the heap keeps smaller ones.
constexpr size_t kMapped = size_t{256} << 10;
// Under AddressSanitizer nothing is kept, so that a use of a freed buffer
// still faults there instead of reading a later batch's values.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kKeepFreed = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kKeepFreed = false;
#else
constexpr bool kKeepFreed = true;
#endif
#else
constexpr bool kKeepFreed = true;
#endif

class MappedCache {
public:
    MappedCache() { free_.reserve(kCacheBytes / kMapped); }

    // A cached mapping of at least `len` bytes and at most twice that (a
    // much larger one would hold memory a smaller buffer does not use), the
    // smallest such; {nullptr, 0} when none.
    Buffer take(size_t len) {
        std::lock_guard<std::mutex> lock(mu_);
        size_t best = free_.size();
        for (size_t i = 0; i < free_.size(); ++i) {
            const size_t m = free_[i].mapped;
            if (m >= len && m / 2 <= len && (best == free_.size() || m < free_[best].mapped)) best = i;
        }
        if (best == free_.size()) return Buffer{};
        const Buffer b = free_[best];
        free_[best] = free_.back();
        free_.pop_back();
        held_ -= b.mapped;
        return b;
    }
    // Keeps `b` when it fits within the bound, else returns false.
    bool put(const Buffer& b) {
        if (!kKeepFreed) return false;
        std::lock_guard<std::mutex> lock(mu_);
        if (b.mapped > kCacheBytes - held_ || free_.size() == free_.capacity()) return false;
        free_.push_back(b);
        held_ += b.mapped;
        return true;
    }

private:
    std::mutex mu_;
    std::vector<Buffer> free_;  // reserved up front: put() never allocates
    size_t held_ = 0;
};

MappedCache& mapped_cache() {
    static MappedCache* cache = new MappedCache();  // never destroyed: see above
    return *cache;
}
#endif

Buffer allocate_buffer(size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes >= kMapped) {
        const size_t len = (bytes + 4095) & ~size_t{4095};
        const Buffer cached = mapped_cache().take(len);
        if (cached.p) return cached;
        if (bytes < kHugePage) {
            void* m = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (m != MAP_FAILED) return Buffer{m, len};
            return Buffer{allocate(bytes), 0};
        }
        void* m = ::mmap(nullptr, len + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m != MAP_FAILED) {
            const uintptr_t base = reinterpret_cast<uintptr_t>(m);
            const uintptr_t at = (base + kHugePage - 1) & ~uintptr_t{kHugePage - 1};
            if (at > base) ::munmap(m, at - base);
            const uintptr_t end = base + len + kHugePage;
            if (end > at + len) ::munmap(reinterpret_cast<void*>(at + len), end - (at + len));
            (void)::madvise(reinterpret_cast<void*>(at), len & ~(kHugePage - 1), MADV_HUGEPAGE);
            return Buffer{reinterpret_cast<void*>(at), len};
        }
    }
#endif
    return Buffer{allocate(bytes), 0};
}

void free_buffer(const Buffer& b) {
#if defined(__linux__)
    if (b.mapped) {
#if defined(MADV_HUGEPAGE)
        if (mapped_cache().put(b)) return;
#endif
        ::munmap(b.p, b.mapped);
        return;
    }
#endif
    std::free(b.p);
}

// A buffer built before its batch, shared until the batch takes it.
std::shared_ptr<void> shared_buffer(size_t bytes) {
    const Buffer b = allocate_buffer(bytes);
    try {
        return std::shared_ptr<void>(b.p, [mapped = b.mapped](void* p) { free_buffer(Buffer{p, mapped}); });
    } catch (...) {
        free_buffer(b);
        throw;
    }
}

struct ArrayData {
    std::vector<Buffer> owned;
    std::vector<std::shared_ptr<void>> shared;  // buffers built before the batch
    const void* buffers[3] = {nullptr, nullptr, nullptr};
    std::vector<ArrowArray> children;
    std::vector<ArrowArray*> child_ptrs;

    ~ArrayData() {
        for (ArrowArray* c : child_ptrs) {
            if (c->release) c->release(c);
        }
        for (const Buffer& b : owned) free_buffer(b);
    }
    void* own(size_t bytes) {
        owned.reserve(owned.size() + 1);
        const Buffer b = allocate_buffer(bytes);
        owned.push_back(b);
        return b.p;
    }
};

void release_array(ArrowArray* a) {
    delete static_cast<ArrayData*>(a->private_data);
    a->release = nullptr;
}

void init_array(ArrowArray* a, ArrayData* d, int64_t length, int64_t n_buffers) {
    std::memset(a, 0, sizeof *a);
    a->length = length;
    a->n_buffers = n_buffers;
    a->buffers = d->buffers;
    a->private_data = d;
    a->release = release_array;
}

struct SchemaData {
    const char* format = "";  // a literal
    std::string name;
    std::vector<ArrowSchema> children;
    std::vector<ArrowSchema*> child_ptrs;

    ~SchemaData() {
        for (ArrowSchema* c : child_ptrs) {
            if (c->release) c->release(c);
        }
    }
};

void release_schema(ArrowSchema* s) {
    delete static_cast<SchemaData*>(s->private_data);
    s->release = nullptr;
}

void init_schema(ArrowSchema* s, SchemaData* d, int64_t flags) {
    std::memset(s, 0, sizeof *s);
    s->format = d->format;
    s->name = d->name.c_str();
    s->flags = flags;
    s->private_data = d;
    s->release = release_schema;
}

// The Arrow buffers of a text or bytes column built straight from its
// payload (a chunk given out whole), kept in DecodedColumn::sink_data.
struct DirectBuffers {
    std::shared_ptr<void> offsets, data;
};

// Builds the Arrow buffers of a payload-only text or bytes column and
// applies the null rule from its empty cells. A payload whose text may pass
// what 32-bit offsets reach takes the views of the general path, which
// measures the batch and says so.
Status build_direct(VarnReader& r, size_t chunk, DecodedColumn& c, bool large) {
    const size_t rows = r.chunk_rows(chunk);
    const uint32_t nulls = r.meta(chunk, c.col).null_count;
    const ByteView payload = as_bytes(c.payload);
    auto settle = [&](scan::NullSettlement settled) {
        c.hidden = settled.hidden;
        return settled.status.failed() ? r.payload_fault(chunk, c.col, settled.status) : Status::ok();
    };
    if (!large && payload.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        Status st = decode_length_prefixed(payload, rows, c.entries);
        if (st.failed()) return r.payload_fault(chunk, c.col, st);
        return settle(scan::settle_nulls(rows, nulls, c.valid, [&](size_t i) { return c.entries[i].empty(); }));
    }
    auto direct = std::make_shared<DirectBuffers>();
    const size_t width = large ? sizeof(int64_t) : sizeof(int32_t);
    direct->offsets = shared_buffer((rows + 1) * width);
    direct->data = shared_buffer(payload.size() + 16);
    auto* data = static_cast<uint8_t*>(direct->data.get());
    size_t empties = 0;
    bool boundaries = true;
    const bool ok =
        large ? unpack_length_prefixed(payload, rows, static_cast<int64_t*>(direct->offsets.get()), data,
                                       empties, boundaries)
              : unpack_length_prefixed(payload, rows, static_cast<int32_t*>(direct->offsets.get()), data,
                                       empties, boundaries);
    if (!ok) {
        // The reference walk names the fault.
        Status st = decode_length_prefixed(payload, rows, c.entries);
        return r.payload_fault(chunk, c.col, st.failed() ? st : Status::corrupt("entries do not decode"));
    }
    auto offset = [&](size_t i) -> size_t {
        return large ? static_cast<size_t>(static_cast<const int64_t*>(direct->offsets.get())[i])
                     : static_cast<size_t>(static_cast<const int32_t*>(direct->offsets.get())[i]);
    };
    const size_t total = offset(rows);
    if (c.kind == Kind::Text && !(boundaries && utf8_valid_long(data, total))) {
        for (size_t i = 0; i < rows; ++i) {
            if (!utf8_valid(data + offset(i), offset(i + 1) - offset(i))) {
                return Status::corrupt(r.record_place(chunk, c.col) + ": row " + std::to_string(i) +
                                       " of the chunk is not valid UTF-8 text");
            }
        }
    }
    const scan::NullSettlement settled = scan::settle_null_count(nulls, empties);
    VARN_RETURN_IF_ERROR(settle(settled));
    if (settled.marked) {
        c.valid.resize(rows);
        for (size_t i = 0; i < rows; ++i) c.valid[i] = offset(i + 1) != offset(i);
    }
    c.sink_data = std::move(direct);
    return Status::ok();
}

const char* format_of(Kind k, bool large) {
    switch (k) {
        case Kind::Text:
        case Kind::Nested: return large ? "U" : "u";
        case Kind::Bytes: return large ? "Z" : "z";
        case Kind::Int: return "l";
        case Kind::Float: return "g";
        case Kind::Flags: return "b";
    }
    return "u";
}

template <class Offset>
Status fill_entries(const VarnReader& r, const DecodedChunk& s, const DecodedColumn& c, size_t from, size_t n,
                    ArrayData& d) {
    uint64_t total = 0;
    for (size_t k = 0; k < n; ++k) total += c.entries[s.row(from + k)].size();
    if (total > static_cast<uint64_t>(std::numeric_limits<Offset>::max())) {
        return Status::invalid_input(r.record_place(s.chunk, c.col) + ": the batch holds " +
                             std::to_string(total) +
                             " bytes of text, more than 32-bit offsets reach; take smaller batches");
    }
    auto* offsets = static_cast<Offset*>(d.own((n + 1) * sizeof(Offset)));
    auto* data = static_cast<uint8_t*>(d.own(static_cast<size_t>(total)));
    Offset at = 0;
    offsets[0] = 0;
    bool boundaries = true;  // every non-empty text starts a character
    for (size_t k = 0; k < n; ++k) {
        const ByteView t = c.entries[s.row(from + k)];
        if (!t.empty()) {
            boundaries &= (t[0] & 0xC0) != 0x80;
            std::memcpy(data + at, t.data(), t.size());
            at = static_cast<Offset>(at + static_cast<Offset>(t.size()));
        }
        offsets[k + 1] = at;
    }
    d.buffers[1] = offsets;
    d.buffers[2] = data;
    // The texts joined are valid UTF-8 and each starts a character: then
    // each is valid on its own.
    if (c.kind != Kind::Bytes && !(boundaries && utf8_valid_long(data, static_cast<size_t>(total)))) {
        for (size_t k = 0; k < n; ++k) {
            const ByteView t = c.entries[s.row(from + k)];
            if (!utf8_valid(t.data(), t.size())) {
                return Status::corrupt(r.record_place(s.chunk, c.col) + ": row " +
                                     std::to_string(s.row(from + k)) +
                                     " of the chunk is not valid UTF-8 text");
            }
        }
    }
    return Status::ok();
}

Status fill_column(const VarnReader& r, bool large, const DecodedChunk& s, const DecodedColumn& c, size_t from,
                   size_t n, ArrowArray* out) {
    auto* d = new ArrayData;
    init_array(out, d, static_cast<int64_t>(n), 2);
    if (!c.valid.empty()) {
        auto* bits = static_cast<uint8_t*>(d->own((n + 7) / 8));
        std::memset(bits, 0, (n + 7) / 8);
        int64_t nulls = 0;
        for (size_t k = 0; k < n; ++k) {
            if (c.valid[s.row(from + k)]) {
                bits[k / 8] = static_cast<uint8_t>(bits[k / 8] | (1u << (k % 8)));
            } else {
                ++nulls;
            }
        }
        out->null_count = nulls;
        if (nulls) d->buffers[0] = bits;
    }
    switch (c.kind) {
        case Kind::Int: {
            auto* v = static_cast<int64_t*>(d->own(n * sizeof(int64_t)));
            if (s.all) {
                if (n) std::memcpy(v, c.ints.data() + from, n * sizeof(int64_t));
            } else {
                for (size_t k = 0; k < n; ++k) v[k] = c.ints[s.row(from + k)];
            }
            d->buffers[1] = v;
            return Status::ok();
        }
        case Kind::Float: {
            auto* v = static_cast<double*>(d->own(n * sizeof(double)));
            for (size_t k = 0; k < n; ++k) {
                v[k] = static_cast<double>(c.ints[s.row(from + k)]) / kFloatScale;
            }
            d->buffers[1] = v;
            return Status::ok();
        }
        case Kind::Flags: {
            auto* bits = static_cast<uint8_t*>(d->own((n + 7) / 8));
            std::memset(bits, 0, (n + 7) / 8);
            for (size_t k = 0; k < n; ++k) {
                if (c.flags[s.row(from + k)]) bits[k / 8] = static_cast<uint8_t>(bits[k / 8] | (1u << (k % 8)));
            }
            d->buffers[1] = bits;
            return Status::ok();
        }
        default:
            out->n_buffers = 3;
            if (c.sink_data) {
                // Built whole from the payload; the batch is the whole chunk.
                // Shared: a column given out twice takes the same buffers.
                const auto& direct = *static_cast<const DirectBuffers*>(c.sink_data.get());
                d->buffers[1] = direct.offsets.get();
                d->buffers[2] = direct.data.get();
                d->shared.push_back(direct.offsets);
                d->shared.push_back(direct.data);
                return Status::ok();
            }
            return large ? fill_entries<int64_t>(r, s, c, from, n, *d)
                         : fill_entries<int32_t>(r, s, c, from, n, *d);
    }
}

// Builds the batch of rows [from, from + n) of the chunk's kept rows:
// output column i is needed column `output_index[i]`.
Status build_batch(const VarnReader& r, bool large, const std::vector<size_t>& output_index,
                   const DecodedChunk& chunk, size_t from, size_t n, ArrowArray* out) {
    auto* d = new ArrayData;
    init_array(out, d, static_cast<int64_t>(n), 1);
    const size_t k = output_index.size();
    d->children.resize(k);
    d->child_ptrs.resize(k);
    for (size_t i = 0; i < k; ++i) {
        d->children[i].release = nullptr;
        d->child_ptrs[i] = &d->children[i];
    }
    out->n_children = static_cast<int64_t>(k);
    out->children = d->child_ptrs.data();
    for (size_t i = 0; i < k; ++i) {
        Status st = fill_column(r, large, chunk, chunk.columns[output_index[i]], from, n, &d->children[i]);
        if (st.failed()) {
            out->release(out);
            return st;
        }
    }
    return Status::ok();
}

// A whole chunk's batch built ahead, released with the chunk if it is
// never taken.
struct ReadyBatch {
    ArrowArray array{};
    ~ReadyBatch() {
        if (array.release) array.release(&array);
    }
};

// The Arrow side of the scan: which columns go straight from the payload,
// and the whole chunk's batch built on the decoding thread.
class ArrowSink : public scan::ChunkSink {
public:
    size_t batch_rows = 0;  // 0: one batch per chunk
    bool large = false;     // 64-bit offsets for text and bytes
    const std::vector<size_t>* output_index = nullptr;

    bool one_batch(size_t rows) const { return batch_rows == 0 || rows <= batch_rows; }

    // A chunk given out whole as one batch: text and bytes go straight
    // into Arrow buffers.
    bool payload_only(size_t, size_t rows, bool filtered) const override { return !filtered && one_batch(rows); }

    Status column_decoded(VarnReader& r, DecodedChunk& chunk, DecodedColumn& c) override {
        return c.payload_only ? build_direct(r, chunk.chunk, c, large) : Status::ok();
    }

    Status chunk_decoded(VarnReader& r, DecodedChunk& chunk) override {
        if (!one_batch(chunk.count)) return Status::ok();
        auto ready = std::make_shared<ReadyBatch>();
        VARN_RETURN_IF_ERROR(build_batch(r, large, *output_index, chunk, 0, chunk.count, &ready->array));
        // The batch holds the directly built buffers now.
        for (DecodedColumn& c : chunk.columns) c.sink_data.reset();
        chunk.sink_data = std::move(ready);
        return Status::ok();
    }
};

struct StreamState {
    std::unique_ptr<VarnReader> reader;
    std::shared_ptr<ScanStats> stats;
    ArrowSink sink;
    std::unique_ptr<scan::Scan> scan;
    DecodedChunk* current = nullptr;  // the chunk being given out
    size_t pos = 0;                   // of its kept rows, given out so far
    std::string error;
    bool failed = false;

    ~StreamState() { scan.reset(); }  // joins the decoding threads first
};

int get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    auto* s = static_cast<StreamState*>(stream->private_data);
    try {
        auto* d = new SchemaData;
        d->format = "+s";
        const std::vector<size_t>& needed = s->scan->needed();
        const std::vector<size_t>& output = s->scan->output_index();
        const size_t n = output.size();
        d->children.resize(n);
        d->child_ptrs.resize(n);
        for (size_t i = 0; i < n; ++i) {
            const size_t col = needed[output[i]];
            auto* cd = new SchemaData;
            cd->format = format_of(format::kind_of(s->reader->columns()[col].type_code), s->sink.large);
            cd->name = s->reader->columns()[col].name;
            init_schema(&d->children[i], cd, ARROW_FLAG_NULLABLE);
            d->child_ptrs[i] = &d->children[i];
        }
        init_schema(out, d, 0);
        out->n_children = static_cast<int64_t>(n);
        out->children = d->child_ptrs.data();
        return 0;
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}

Status next_batch(StreamState& s, ArrowArray* out, bool& done) {
    if (!s.current || s.pos >= s.current->count) {
        Result<DecodedChunk*> next = s.scan->next();
        if (next.failed()) return next.status();
        s.current = next.value();
        s.pos = 0;
        if (!s.current) {
            done = true;
            return Status::ok();
        }
    }
    DecodedChunk& chunk = *s.current;
    if (chunk.sink_data) {
        // Built ahead: hand it over.
        auto& ready = *static_cast<ReadyBatch*>(chunk.sink_data.get());
        *out = ready.array;
        ready.array.release = nullptr;
        chunk.sink_data.reset();
        s.pos = chunk.count;
        return Status::ok();
    }
    size_t n = chunk.count - s.pos;
    if (s.sink.batch_rows) n = std::min(n, s.sink.batch_rows);
    VARN_RETURN_IF_ERROR(build_batch(*s.reader, s.sink.large, s.scan->output_index(), chunk, s.pos, n, out));
    s.pos += n;
    return Status::ok();
}

int get_next(ArrowArrayStream* stream, ArrowArray* out) {
    auto* s = static_cast<StreamState*>(stream->private_data);
    if (s->failed) return EIO;
    out->release = nullptr;
    try {
        bool done = false;
        Status st = next_batch(*s, out, done);
        if (st.failed()) {
            s->failed = true;
            s->error = st.message();
            s->scan->stop();
            return EIO;
        }
        if (done) out->release = nullptr;
        return 0;
    } catch (const std::bad_alloc&) {
        if (out->release) out->release(out);
        s->failed = true;
        s->error = "out of memory while decoding a chunk";
        s->scan->stop();
        return ENOMEM;
    }
}

const char* get_last_error(ArrowArrayStream* stream) {
    auto* s = static_cast<StreamState*>(stream->private_data);
    return s->failed ? s->error.c_str() : nullptr;
}

void release_stream(ArrowArrayStream* stream) {
    delete static_cast<StreamState*>(stream->private_data);
    stream->release = nullptr;
}

}  // namespace

Status check_stream(const VarnReader& reader, const ScanOptions& options) {
    if (Status st = check_scan(reader, options); st.failed()) return st;
    for (size_t c : options.columns) {
        // Arrow schema names are C strings: a NUL would cut the name short
        // (and two columns could come out with one name), so it is refused.
        const std::string& name = reader.columns()[c].name;
        if (name.find('\0') != std::string::npos) {
            std::string shown;
            for (char ch : name) shown += ch == '\0' ? std::string("\\0") : std::string(1, ch);
            return Status::invalid_input("column " + std::to_string(c) + " '" + shown +
                                         "' holds a NUL byte in its name, which an Arrow schema cannot carry; "
                                         "leave it out of the columns read");
        }
    }
    return Status::ok();
}

void make_stream(std::unique_ptr<VarnReader> reader, ScanOptions options, std::shared_ptr<ScanStats> stats,
                 ArrowArrayStream* out) {
    auto* s = new StreamState;
    s->reader = std::move(reader);
    s->stats = stats;
    s->sink.batch_rows = options.batch_rows;
    // 32-bit offsets reach 2 GiB; a chunk whose text passes that needs the
    // large offsets the caller asked for.
    s->sink.large = s->reader->options().large_offsets;
    s->scan = std::make_unique<scan::Scan>(*s->reader, std::move(options), std::move(stats), s->sink);
    s->sink.output_index = &s->scan->output_index();
    out->get_schema = get_schema;
    out->get_next = get_next;
    out->get_last_error = get_last_error;
    out->release = release_stream;
    out->private_data = s;
}

}  // namespace varn::arrow
