// The Arrow C stream over a VARN v2 file. The stream keeps one reader and
// the decoded columns of the chunk being given out; each batch is a struct
// array whose children own their buffers (allocated once per batch, 64-byte
// aligned, filled straight from the decoded values) and free them in their
// release callback, so a consumer may move a child out and keep it alone.
#include "arrow/arrow_stream.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <string_view>
#include <thread>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "common/text_scan.h"
#include "format/column/column_decoding.h"
#include "format/column/nested_value.h"
#include "format/file/chunk_pipeline.h"
#include "format/format.h"
#include "format/type_codes.h"
#include "render/cell_text.h"
#include "scan/budget.h"
#include "scan/null_rule.h"

namespace varn::arrow {

namespace {

enum class Kind { Text, Bytes, Json, Int, Float, Flags };

Kind kind_of(uint8_t t) {
    switch (format::kind_of(t)) {
        case format::ColumnKind::Text: return Kind::Text;
        case format::ColumnKind::Int: return Kind::Int;
        case format::ColumnKind::Float: return Kind::Float;
        case format::ColumnKind::Flags: return Kind::Flags;
        case format::ColumnKind::Nested: return Kind::Json;
        case format::ColumnKind::Bytes: break;
    }
    return Kind::Bytes;
}

int compare_bytes(ByteView a, std::string_view b) {
    return compare_text(a.data(), a.size(), reinterpret_cast<const uint8_t*>(b.data()), b.size());
}
int compare_bytes(std::string_view a, std::string_view b) {
    return compare_bytes(as_bytes(a.data(), a.size()), b);
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

bool is_set_op(FilterOp op) { return op == FilterOp::In || op == FilterOp::NotIn; }

// ---------------------------------------------------------------------------
// Pruning by the index.

// Whether no value in [lo, hi] satisfies `op v`; three-way compare cmp(x, v).
template <class T, class Cmp>
bool range_rules_out(FilterOp op, const T& lo, const T& hi, const T& v, Cmp cmp) {
    switch (op) {
        case FilterOp::Eq: case FilterOp::In: return cmp(v, lo) < 0 || cmp(v, hi) > 0;
        case FilterOp::Ne: case FilterOp::NotIn: return cmp(lo, v) == 0 && cmp(hi, v) == 0;
        case FilterOp::Lt: return cmp(lo, v) >= 0;
        case FilterOp::Le: return cmp(lo, v) > 0;
        case FilterOp::Gt: return cmp(hi, v) <= 0;
        case FilterOp::Ge: return cmp(hi, v) < 0;
    }
    return false;
}

template <class T, class Cmp>
bool values_rule_out(const Filter& f, const T& lo, const T& hi, Cmp cmp,
                     T (*value)(const FilterValue&), bool (*absent)(const FilterValue&)) {
    if (f.op == FilterOp::In) {
        // Out when every value is out.
        for (const FilterValue& v : f.values) {
            if (!range_rules_out(FilterOp::Eq, lo, hi, value(v), cmp) && !absent(v)) return false;
        }
        return true;
    }
    if (f.op == FilterOp::NotIn) {
        // Out when every cell holds the same value, and it is in the list.
        for (const FilterValue& v : f.values) {
            if (range_rules_out(FilterOp::Ne, lo, hi, value(v), cmp)) return true;
        }
        return false;
    }
    if (f.values.empty()) return false;
    const FilterValue& v = f.values[0];
    if (f.op == FilterOp::Eq && absent(v)) return true;
    return range_rules_out(f.op, lo, hi, value(v), cmp);
}

int cmp_i64(const int64_t& a, const int64_t& b) { return a < b ? -1 : a > b ? 1 : 0; }
int cmp_f64(const double& a, const double& b) { return a < b ? -1 : a > b ? 1 : 0; }
int cmp_sv(const std::string_view& a, const std::string_view& b) { return compare_bytes(a, b); }

// The largest magnitude a float cell takes: the stored 1/10000 units saturate.
constexpr double kFloatCap = 922337203685477.5807;

}  // namespace

Result<FilterOp> filter_op_from_text(std::string_view text) {
    if (text == "==" || text == "=") return FilterOp::Eq;
    if (text == "!=") return FilterOp::Ne;
    if (text == "<") return FilterOp::Lt;
    if (text == "<=") return FilterOp::Le;
    if (text == ">") return FilterOp::Gt;
    if (text == ">=") return FilterOp::Ge;
    if (text == "in") return FilterOp::In;
    if (text == "not in") return FilterOp::NotIn;
    return Status::invalid_input("unknown filter operator '" + std::string(text) +
                         "' (==, !=, <, <=, >, >=, in or not in)");
}

Status check_scan(const VarnReader& reader, const ScanOptions& options) {
    const size_t n = reader.column_count();
    for (size_t c : options.columns) {
        if (c >= n) return Status::invalid_input("column number " + std::to_string(c) + " is out of range");
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
    for (const Filter& f : options.filters) {
        if (f.column >= n) {
            return Status::invalid_input("filter column number " + std::to_string(f.column) +
                                 " is out of range");
        }
        const KColumn& col = reader.columns()[f.column];
        if (kind_of(col.type_code) == Kind::Json) {
            return Status::invalid_input("column '" + col.name + "' holds json values, which filters do not compare");
        }
        if (!is_set_op(f.op) && f.values.size() != 1) {
            return Status::invalid_input("a comparison filter takes one value");
        }
    }
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

bool chunk_ruled_out(const VarnReader& reader, size_t chunk, const Filter& f) {
    // The index keeps no statistics of an encrypted column.
    if (reader.encrypted(f.column)) return false;
    const StreamChunkColMeta& m = reader.meta(chunk, f.column);
    const uint64_t rows = reader.chunk_rows(chunk);
    // Every cell null (or no cell): no row satisfies any filter.
    if (m.null_count >= rows) return true;
    switch (kind_of(reader.columns()[f.column].type_code)) {
        case Kind::Text: {
            const std::string_view lo = m.min_str, hi = m.max_str;
            return values_rule_out<std::string_view>(
                f, lo, hi, cmp_sv, [](const FilterValue& v) { return std::string_view(v.text); },
                [](const FilterValue&) { return false; }) ||
                   ((f.op == FilterOp::Eq || f.op == FilterOp::In) &&
                    std::all_of(f.values.begin(), f.values.end(), [&](const FilterValue& v) {
                        return !bloom_may_contain(m.bloom,
                                                  reinterpret_cast<const uint8_t*>(v.text.data()),
                                                  v.text.size());
                    }));
        }
        case Kind::Int:
            return values_rule_out<int64_t>(
                f, m.min, m.max, cmp_i64, [](const FilterValue& v) { return v.integer; },
                [](const FilterValue&) { return false; });
        case Kind::Float: {
            // The index keeps the cells truncated to integers: every value
            // given out lies within one of them (saturated values at the cap).
            if (f.op == FilterOp::Ne || f.op == FilterOp::NotIn) return false;
            const double lo = std::min(static_cast<double>(m.min) - 1.0, kFloatCap);
            const double hi = std::max(static_cast<double>(m.max) + 1.0, -kFloatCap);
            return values_rule_out<double>(
                f, lo, hi, cmp_f64, [](const FilterValue& v) { return v.real; },
                [](const FilterValue& v) { return std::isnan(v.real); });
        }
        default: return false;  // flags and byte strings keep no usable statistics
    }
}

std::vector<size_t> matching_chunks(const VarnReader& reader, const std::vector<Filter>& filters) {
    std::vector<size_t> out;
    for (size_t chunk = 0; chunk < reader.chunk_count(); ++chunk) {
        if (reader.chunk_rows(chunk) == 0) continue;
        if (std::none_of(filters.begin(), filters.end(),
                         [&](const Filter& f) { return chunk_ruled_out(reader, chunk, f); }))
            out.push_back(chunk);
    }
    return out;
}

Status check_column_key(VarnReader& reader, size_t col) { return ::varn::check_column_key(reader, col); }

namespace {

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

Buffer allocate_buffer(size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes >= kHugePage) {
        const size_t len = (bytes + 4095) & ~size_t{4095};
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

// ---------------------------------------------------------------------------
// The decoded columns of one chunk.

struct Column {
    size_t col = 0;
    Kind kind = Kind::Text;
    bool loaded = false;
    Bytes payload;
    std::vector<ByteView> entries;  // text, bytes, json (into payload or json)
    Bytes json;
    std::vector<uint64_t> json_ends;
    std::vector<int64_t> ints;
    std::vector<uint8_t> flags;
    std::vector<uint8_t> valid;  // empty: no null cell
    uint64_t hidden = 0;         // nulls given out as their stored value
    // Text and bytes built straight from the payload into Arrow buffers
    // (offsets, data) when the chunk is one batch of all its rows; handed
    // over to that batch (mutable: building a batch moves them out), else
    // freed with the column.
    mutable std::shared_ptr<void> direct_offsets, direct_data;
};

// The entries of a text or bytes payload straight into Arrow buffers: one
// pass that reads each length, copies the bytes (16 at a time where the
// payload and the data buffer's slack allow) and writes the offset. The
// checks are those of decode_length_prefixed; false when one fails.
// `data` has room for payload.size() + 16 bytes.
template <class Offset>
bool entries_to_arrow(ByteView payload, size_t rows, Offset* offsets, uint8_t* data, size_t& empties,
                      bool& boundaries) {
    const uint8_t* p = payload.data();
    const uint8_t* const end = p + payload.size();
    if (rows > payload.size()) return false;
    size_t at = 0, zero = 0;
    bool starts = true;  // every non-empty entry starts a character
    offsets[0] = 0;
    for (size_t i = 0; i < rows; ++i) {
        if (p == end) return false;
        size_t len = *p;
        if (len < 0x80) {
            ++p;
        } else {
            ByteReader r(ByteView(p, static_cast<size_t>(end - p)));
            uint64_t n;
            if (!r.read_leb128(n)) return false;
            p = r.position();
            if (n > static_cast<uint64_t>(end - p)) return false;
            len = static_cast<size_t>(n);
        }
        const size_t left = static_cast<size_t>(end - p);
        if (len > left) return false;
        if (len == 0) {
            ++zero;
        } else {
            starts &= (p[0] & 0xC0) != 0x80;
            if (left - len >= 16) {
                for (size_t k = 0; k < len; k += 16) std::memcpy(data + at + k, p + k, 16);
            } else {
                std::memcpy(data + at, p, len);
            }
        }
        at += len;
        p += len;
        offsets[i + 1] = static_cast<Offset>(at);
    }
    empties = zero;
    boundaries = starts;
    return p == end;
}

Status load_column(VarnReader& r, size_t chunk, Column& c, VarnReader::RecordBuffers* buffers,
                   bool direct = false, bool large = false);

// A text or bytes column of a chunk given out whole: the Arrow buffers are
// built here, on the decoding thread, with no view per cell.
Status load_direct(VarnReader& r, size_t chunk, Column& c, bool large,
                   VarnReader::RecordBuffers* buffers) {
    const size_t rows = r.chunk_rows(chunk);
    const uint32_t nulls = r.meta(chunk, c.col).null_count;
    VARN_RETURN_IF_ERROR(r.read_entry_payload(chunk, c.col, c.payload, buffers));
    const ByteView payload = as_bytes(c.payload);
    if (!large && payload.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        // Its text may pass what 32-bit offsets reach: the general path
        // measures it and says so.
        return load_column(r, chunk, c, buffers);
    }
    const size_t width = large ? sizeof(int64_t) : sizeof(int32_t);
    c.direct_offsets = shared_buffer((rows + 1) * width);
    c.direct_data = shared_buffer(payload.size() + 16);
    auto* data = static_cast<uint8_t*>(c.direct_data.get());
    size_t empties = 0;
    bool boundaries = true;
    const bool ok =
        large ? entries_to_arrow(payload, rows, static_cast<int64_t*>(c.direct_offsets.get()), data, empties,
                                 boundaries)
              : entries_to_arrow(payload, rows, static_cast<int32_t*>(c.direct_offsets.get()), data, empties,
                                 boundaries);
    if (!ok) {
        // The reference walk names the fault.
        c.direct_offsets.reset();
        c.direct_data.reset();
        Status st = decode_length_prefixed(payload, rows, c.entries);
        return r.payload_fault(chunk, c.col, st.failed() ? st : Status::corrupt("entries do not decode"));
    }
    auto offset = [&](size_t i) -> size_t {
        return large ? static_cast<size_t>(static_cast<const int64_t*>(c.direct_offsets.get())[i])
                     : static_cast<size_t>(static_cast<const int32_t*>(c.direct_offsets.get())[i]);
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
    c.valid.clear();
    const scan::NullSettlement settled = scan::settle_null_count(nulls, empties);
    if (settled.status.failed()) return r.payload_fault(chunk, c.col, settled.status);
    c.hidden = settled.hidden;
    if (settled.marked) {
        c.valid.resize(rows);
        for (size_t i = 0; i < rows; ++i) c.valid[i] = offset(i + 1) != offset(i);
    }
    return Status::ok();
}

// Leaves the reader untouched: columns load on several threads at once.
// `direct`: the chunk is given out whole as one batch, so text and bytes
// may go straight into Arrow buffers.
Status load_column(VarnReader& r, size_t chunk, Column& c, VarnReader::RecordBuffers* buffers,
                   bool direct, bool large) {
    const size_t rows = r.chunk_rows(chunk);
    const uint32_t nulls = r.meta(chunk, c.col).null_count;
    uint64_t& hidden = c.hidden;
    hidden = 0;
    c.loaded = true;
    c.direct_offsets.reset();
    c.direct_data.reset();
    if (direct && (c.kind == Kind::Text || c.kind == Kind::Bytes)) return load_direct(r, chunk, c, large, buffers);
    auto settle = [&](scan::NullSettlement settled) {
        hidden = settled.hidden;
        return settled.status.failed() ? r.payload_fault(chunk, c.col, settled.status) : Status::ok();
    };
    switch (c.kind) {
        case Kind::Int:
        case Kind::Float:
            VARN_RETURN_IF_ERROR(r.read_integers(chunk, c.col, c.payload, c.ints, buffers));
            return settle(scan::settle_nulls(rows, nulls, c.valid, [&](size_t i) { return c.ints[i] == 0; }));
        case Kind::Flags:
            VARN_RETURN_IF_ERROR(r.read_flags(chunk, c.col, c.payload, c.flags, buffers));
            return settle(scan::settle_nulls(rows, nulls, c.valid, [&](size_t i) { return c.flags[i] == 0; }));
        case Kind::Text:
        case Kind::Bytes:
            VARN_RETURN_IF_ERROR(r.read_entries(chunk, c.col, c.payload, c.entries, buffers));
            return settle(
                scan::settle_nulls(rows, nulls, c.valid, [&](size_t i) { return c.entries[i].empty(); }));
        case Kind::Json: break;
    }
    VARN_RETURN_IF_ERROR(r.read_entries(chunk, c.col, c.payload, c.entries, buffers));
    c.json.clear();
    c.json_ends.resize(rows);
    c.valid.assign(rows, 1);
    std::string text;
    KVal value;
    for (size_t i = 0; i < rows; ++i) {
        Status st = decode_nested_val(c.entries[i], value);
        if (st.failed()) {
            return r.payload_fault(chunk, c.col,
                                   st.prefixed("row " + std::to_string(i) + ": "));
        }
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

// A filter with its list sorted for binary search.
struct PreparedFilter {
    Filter f;
    std::vector<std::string_view> texts;
    std::vector<int64_t> ints;
    std::vector<double> reals;
};

PreparedFilter prepare(const Filter& f) {
    PreparedFilter p{f, {}, {}, {}};
    for (const FilterValue& v : p.f.values) {
        p.texts.push_back(v.text);
        p.ints.push_back(v.integer);
        if (!std::isnan(v.real)) p.reals.push_back(v.real);
    }
    std::sort(p.texts.begin(), p.texts.end(),
              [](std::string_view a, std::string_view b) { return compare_bytes(a, b) < 0; });
    std::sort(p.ints.begin(), p.ints.end());
    std::sort(p.reals.begin(), p.reals.end());
    return p;
}

bool keep_row(const Column& c, size_t row, const PreparedFilter& p) {
    if (!c.valid.empty() && !c.valid[row]) return false;
    const FilterOp op = p.f.op;
    const bool in = op == FilterOp::In;
    switch (c.kind) {
        case Kind::Text:
        case Kind::Bytes:
        case Kind::Json: {
            const ByteView t = c.entries[row];
            if (is_set_op(op)) {
                const std::string_view s(reinterpret_cast<const char*>(t.data()), t.size());
                const bool found = std::binary_search(
                    p.texts.begin(), p.texts.end(), s,
                    [](std::string_view a, std::string_view b) { return compare_bytes(a, b) < 0; });
                return found == in;
            }
            return matches(op, compare_bytes(t, p.f.values[0].text));
        }
        case Kind::Int:
        case Kind::Flags: {
            const int64_t x = c.kind == Kind::Int ? c.ints[row] : c.flags[row];
            if (is_set_op(op)) return std::binary_search(p.ints.begin(), p.ints.end(), x) == in;
            return matches(op, cmp_i64(x, p.f.values[0].integer));
        }
        case Kind::Float: {
            const double x = static_cast<double>(c.ints[row]) / kFloatScale;
            if (is_set_op(op)) return std::binary_search(p.reals.begin(), p.reals.end(), x) == in;
            const double v = p.f.values[0].real;
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

// ---------------------------------------------------------------------------
// The stream.

// One chunk being given out: its decoded columns, the rows kept, and, when
// the chunk is one batch, that batch built ahead by the decoding thread.
struct ChunkSlot {
    size_t place = SIZE_MAX;  // its place in the chunk order
    size_t chunk = 0;
    std::vector<Column> columns;  // as StreamState::needed
    bool all = true;              // every row of the chunk, else `selected`
    std::vector<uint32_t> selected;
    uint64_t estimate = 0;  // what decoding it takes (scan::chunk_decode_bytes)
    size_t count = 0;  // rows of the chunk given out in all
    size_t pos = 0;    // of which given out so far
    Status status;     // a fault met while decoding it
    ArrowArray ready{};  // the whole chunk's batch, when built ahead
    // Decoded column by column: each column's fault, and the columns not
    // yet decoded (under StreamState::mu).
    std::vector<Status> column_status;
    size_t pending = 0;
    bool done = false;  // decoded: the consumer may take it (under StreamState::mu)

    size_t row(size_t k) const { return all ? k : selected[k]; }
    ~ChunkSlot() {
        if (ready.release) ready.release(&ready);
    }
};

// A piece of decoding work: one column of a chunk, or a whole chunk (with
// filters, whose columns decode one after the other).
constexpr size_t kWholeChunk = SIZE_MAX;
struct Piece {
    size_t place = 0;
    size_t column = kWholeChunk;  // index in StreamState::needed
    uint64_t bytes = 0;           // its record's size: the largest goes first
};

// Chunks are decoded ahead of the consumer by a pool of threads, started by
// the first get_next and joined when the stream is released. The pieces of
// every chunk in the window (the one being given out and a few after it)
// are taken largest first, so the threads stay busy across chunk
// boundaries; the thread that decodes a chunk's last column builds its
// batch. The consumer takes the chunks in order.
struct StreamState {
    std::unique_ptr<VarnReader> reader;
    ScanOptions options;
    std::vector<PreparedFilter> filters;
    std::shared_ptr<ScanStats> stats;
    std::vector<std::pair<size_t, Kind>> needed;  // each column needed once
    std::vector<size_t> out_slot;  // output column -> index in `needed`
    std::vector<size_t> needed_columns;  // the column numbers of `needed`
    bool large = false;            // 64-bit offsets for text and bytes
    size_t places = 0;             // chunks in the chunk order
    size_t out = 0;                // the place being given out
    // Place p decodes into slots[p % slots.size()]: the window holds at most
    // that many chunks, the one being given out included.
    std::vector<ChunkSlot> slots;
    std::string error;
    bool failed = false;
    unsigned threads = 1;
    std::vector<VarnReader::RecordBuffers> buffers;  // one per decoding thread

    // Shared with the decoding threads.
    std::mutex mu;
    std::condition_variable work_cv;   // a piece queued, room in the window, or stop
    std::condition_variable ready_cv;  // a chunk decoded
    size_t admitted = 0;       // places [out, admitted) are decoded or being decoded
    // Places before it were handed to the source's prefetch; only those are
    // admitted (set by the consumer's thread).
    size_t prefetched = 0;
    size_t end = 0;            // no place at or after it is admitted (a fault before it)
    std::vector<Piece> pieces;  // not yet taken
    uint64_t chunk_bytes = 0;   // the most memory one decoded chunk took so far
    uint64_t window_bytes = 0;  // the estimates of places [out, admitted)
    bool stop = false;
    bool started = false;
    std::vector<std::thread> pool;

    ~StreamState() { stop_pool(); }
    void stop_pool() {
        {
            std::lock_guard<std::mutex> lock(mu);
            stop = true;
        }
        work_cv.notify_all();
        for (std::thread& t : pool) t.join();
        pool.clear();
    }
};

const char* format_of(Kind k, bool large) {
    switch (k) {
        case Kind::Text:
        case Kind::Json: return large ? "U" : "u";
        case Kind::Bytes: return large ? "Z" : "z";
        case Kind::Int: return "l";
        case Kind::Float: return "g";
        case Kind::Flags: return "b";
    }
    return "u";
}

int get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    auto* s = static_cast<StreamState*>(stream->private_data);
    try {
        auto* d = new SchemaData;
        d->format = "+s";
        const size_t n = s->out_slot.size();
        d->children.resize(n);
        d->child_ptrs.resize(n);
        for (size_t i = 0; i < n; ++i) {
            const auto& [col, kind] = s->needed[s->out_slot[i]];
            auto* cd = new SchemaData;
            cd->format = format_of(kind, s->large);
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

template <class Offset>
Status fill_entries(const VarnReader& r, const ChunkSlot& s, const Column& c, size_t from, size_t n,
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

Status fill_column(const VarnReader& r, bool large, const ChunkSlot& s, const Column& c, size_t from,
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
            if (c.direct_data) {
                // Built whole by load_direct; the batch is the whole chunk.
                // Shared, not moved: a column given out twice in the batch
                // takes the same buffers again (build_batch lets go of the
                // column's hold once the batch is built).
                d->buffers[1] = c.direct_offsets.get();
                d->buffers[2] = c.direct_data.get();
                d->shared.push_back(c.direct_offsets);
                d->shared.push_back(c.direct_data);
                return Status::ok();
            }
            return large ? fill_entries<int64_t>(r, s, c, from, n, *d)
                         : fill_entries<int32_t>(r, s, c, from, n, *d);
    }
}

// Builds the batch of rows [from, from + n) of the slot's kept rows.
Status build_batch(const StreamState& s, const ChunkSlot& slot, size_t from, size_t n,
                   ArrowArray* out) {
    auto* d = new ArrayData;
    init_array(out, d, static_cast<int64_t>(n), 1);
    const size_t k = s.out_slot.size();
    d->children.resize(k);
    d->child_ptrs.resize(k);
    for (size_t i = 0; i < k; ++i) {
        d->children[i].release = nullptr;
        d->child_ptrs[i] = &d->children[i];
    }
    out->n_children = static_cast<int64_t>(k);
    out->children = d->child_ptrs.data();
    for (size_t i = 0; i < k; ++i) {
        Status st = fill_column(*s.reader, s.large, slot, slot.columns[s.out_slot[i]], from, n,
                                &d->children[i]);
        if (st.failed()) {
            out->release(out);
            return st;
        }
    }
    // The batch owns the directly built buffers now.
    for (const Column& c : slot.columns) {
        c.direct_offsets.reset();
        c.direct_data.reset();
    }
    return Status::ok();
}

// Decodes `chunk` into `slot`: the filter columns first, and the others only
// when a row is kept. Leaves the reader untouched (its own buffers), so
// several chunks decode at once.
Status load_chunk(const StreamState& s, ChunkSlot& slot, size_t chunk,
                  VarnReader::RecordBuffers& buffers) {
    VarnReader& r = *s.reader;
    slot.chunk = chunk;
    slot.count = 0;
    slot.pos = 0;
    const size_t rows = r.chunk_rows(chunk);
    if (rows == 0) return Status::ok();
    if (s.stats) ++s.stats->chunks_read;
    slot.columns.resize(s.needed.size());
    for (size_t i = 0; i < s.needed.size(); ++i) {
        slot.columns[i].col = s.needed[i].first;
        slot.columns[i].kind = s.needed[i].second;
        slot.columns[i].loaded = false;
    }
    slot.all = true;
    slot.selected.clear();
    size_t count = rows;
    for (const PreparedFilter& p : s.filters) {
        Column* c = nullptr;
        for (Column& x : slot.columns) {
            if (x.col == p.f.column) c = &x;
        }
        if (!c->loaded) {
            if (s.stats) ++s.stats->records_read;
            VARN_RETURN_IF_ERROR(load_column(r, chunk, *c, &buffers));
        }
        if (slot.all) {
            for (size_t i = 0; i < rows; ++i) {
                if (keep_row(*c, i, p)) slot.selected.push_back(static_cast<uint32_t>(i));
            }
            slot.all = false;
        } else {
            slot.selected.erase(std::remove_if(slot.selected.begin(), slot.selected.end(),
                                               [&](uint32_t i) { return !keep_row(*c, i, p); }),
                                slot.selected.end());
        }
        count = slot.selected.size();
        if (count == 0) return Status::ok();
    }
    // No filter and one batch: every row, given out whole.
    const bool whole = s.filters.empty() && (s.options.batch_rows == 0 || count <= s.options.batch_rows);
    for (Column& c : slot.columns) {
        if (c.loaded) continue;
        if (s.stats) ++s.stats->records_read;
        VARN_RETURN_IF_ERROR(load_column(r, chunk, c, &buffers, whole, s.large));
    }
    uint64_t hidden = 0;
    for (const Column& c : slot.columns) hidden += c.hidden;
    if (s.stats) s.stats->hidden_nulls += hidden;
    slot.count = count;
    // A chunk given out as one batch is built here, on the decoding thread.
    if (s.options.batch_rows == 0 || count <= s.options.batch_rows) {
        VARN_RETURN_IF_ERROR(build_batch(s, slot, 0, count, &slot.ready));
    }
    return Status::ok();
}

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

// The chunks given out, in order: those asked for, or all.
size_t chunk_at(const StreamState& s, size_t place) {
    return s.options.chunks ? (*s.options.chunks)[place] : place;
}

// About the memory a decoded chunk holds: its columns, and as much again
// for the batch built from them.
uint64_t chunk_memory(const ChunkSlot& slot) {
    uint64_t bytes = 0;
    for (const Column& c : slot.columns) {
        bytes += c.payload.capacity() + c.json.capacity() + c.flags.capacity() + c.valid.capacity() +
                 c.ints.capacity() * sizeof(int64_t) + c.entries.capacity() * sizeof(ByteView) +
                 c.json_ends.capacity() * sizeof(uint64_t);
    }
    return 2 * bytes;
}

// Under s.mu: sets up the next places of the chunk order and queues their
// pieces while the window has room. Beyond one chunk per thread, a chunk is
// taken in only when the chunks held would stay within the reader's memory
// budget, judged by the largest decoded chunk so far.
void admit(StreamState& s) {
    VarnReader& r = *s.reader;
    const uint64_t budget = r.memory_budget();
    // Chunks settled here (ruled out, or refused) are done at once: the
    // consumer may be waiting for one.
    bool settled = false;
    while (s.admitted < std::min(s.end, s.prefetched)) {
        const size_t held = s.admitted - s.out;
        if (held >= s.slots.size()) break;
        if (held >= s.threads && (s.chunk_bytes == 0 || (held + 1) > budget / s.chunk_bytes)) break;
        // Every column of the chunk is decoded at once: the chunks held
        // stay within the budget together, and a chunk that passes it alone
        // is refused before anything of it is allocated.
        const size_t next = chunk_at(s, s.admitted);
        if (std::any_of(s.filters.begin(), s.filters.end(),
                        [&](const PreparedFilter& p) { return chunk_ruled_out(r, next, p.f); })) {
            // Ruled out by the index: given out as no rows, never read.
            if (s.stats) ++s.stats->chunks_skipped;
            const size_t place = s.admitted++;
            ChunkSlot& slot = s.slots[place % s.slots.size()];
            if (slot.ready.release) slot.ready.release(&slot.ready);
            slot.place = place;
            slot.chunk = next;
            slot.estimate = 0;
            slot.all = true;
            slot.selected.clear();
            slot.count = slot.pos = 0;
            slot.pending = 0;
            slot.status = Status::ok();
            slot.done = true;
            settled = true;
            continue;
        }
        const uint64_t estimate = scan::chunk_decode_bytes(r, next, s.needed_columns);
        const bool alone_too_big = estimate > budget;
        if (held > 0 && (alone_too_big || s.window_bytes + estimate > budget)) break;
        const size_t place = s.admitted++;
        ChunkSlot& slot = s.slots[place % s.slots.size()];
        if (slot.ready.release) slot.ready.release(&slot.ready);
        slot.place = place;
        slot.chunk = next;
        slot.estimate = estimate;
        s.window_bytes += estimate;
        if (alone_too_big) {
            slot.all = true;
            slot.selected.clear();
            slot.count = slot.pos = 0;
            slot.pending = 0;
            slot.status = scan::check_chunk_budget(r, next, s.needed.size(), estimate);
            slot.done = true;
            settled = true;
            s.end = place + 1;  // nothing after it is given out
            continue;
        }
        slot.all = true;
        slot.selected.clear();
        slot.count = slot.pos = 0;
        slot.status = Status::ok();
        slot.done = false;
        if (!s.filters.empty() || s.needed.empty()) {
            // Filters: the filter columns first, the others only for a kept row.
            slot.pending = 1;
            s.pieces.push_back(Piece{place, kWholeChunk, 0});
            continue;
        }
        if (r.chunk_rows(slot.chunk) == 0) {
            slot.pending = 0;
            slot.done = true;
            settled = true;
            continue;
        }
        if (s.stats) ++s.stats->chunks_read;
        slot.columns.resize(s.needed.size());
        slot.column_status.assign(s.needed.size(), Status::ok());
        for (size_t j = 0; j < s.needed.size(); ++j) {
            slot.columns[j].col = s.needed[j].first;
            slot.columns[j].kind = s.needed[j].second;
            slot.columns[j].loaded = false;
            s.pieces.push_back(Piece{place, j, r.meta(slot.chunk, s.needed[j].first).block_len});
        }
        slot.pending = s.needed.size();
    }
    if (settled) s.ready_cv.notify_all();
}

// Under s.mu: takes the largest queued piece (of place `only`, if set);
// false when there is none.
bool take_piece(StreamState& s, Piece& out, size_t only = SIZE_MAX) {
    size_t best = SIZE_MAX;
    for (size_t i = 0; i < s.pieces.size(); ++i) {
        const Piece& p = s.pieces[i];
        if (only != SIZE_MAX && p.place != only) continue;
        if (best == SIZE_MAX || p.bytes > s.pieces[best].bytes ||
            (p.bytes == s.pieces[best].bytes && p.place < s.pieces[best].place)) {
            best = i;
        }
    }
    if (best == SIZE_MAX) return false;
    out = s.pieces[best];
    s.pieces.erase(s.pieces.begin() + static_cast<std::ptrdiff_t>(best));
    return true;
}

// Every column of the chunk decoded: its first failing column in column
// order is its fault, as when the columns load one after the other; else
// its batch is built when the chunk is one batch.
void finish_columns(const StreamState& s, ChunkSlot& slot) {
    for (const Status& st : slot.column_status) {
        if (st.failed()) {
            slot.status = st;
            return;
        }
    }
    const size_t rows = s.reader->chunk_rows(slot.chunk);
    uint64_t hidden = 0;
    for (const Column& c : slot.columns) hidden += c.hidden;
    if (s.stats) s.stats->hidden_nulls += hidden;
    slot.count = rows;
    if (s.options.batch_rows == 0 || rows <= s.options.batch_rows) {
        slot.status = guarded([&] { return build_batch(s, slot, 0, rows, &slot.ready); });
        if (slot.status.failed()) slot.count = 0;
    }
}

// Runs `piece` on decoding thread `w`; `lock` (on s.mu) is held on entry
// and on return. The piece that completes its chunk marks it done.
void run_piece(StreamState& s, std::unique_lock<std::mutex>& lock, const Piece& piece, unsigned w) {
    ChunkSlot& slot = s.slots[piece.place % s.slots.size()];
    lock.unlock();
    uint64_t memory = 0;
    if (piece.column == kWholeChunk) {
        slot.status = guarded([&] { return load_chunk(s, slot, slot.chunk, s.buffers[w]); });
        memory = chunk_memory(slot);
        lock.lock();
    } else {
        const size_t rows = s.reader->chunk_rows(slot.chunk);
        const bool whole = s.options.batch_rows == 0 || rows <= s.options.batch_rows;
        if (s.stats) ++s.stats->records_read;
        slot.column_status[piece.column] = guarded([&] {
            return load_column(*s.reader, slot.chunk, slot.columns[piece.column], &s.buffers[w], whole, s.large);
        });
        lock.lock();
        if (--slot.pending != 0) return;
        lock.unlock();
        memory = chunk_memory(slot);
        finish_columns(s, slot);
        lock.lock();
    }
    slot.done = true;
    s.chunk_bytes = std::max(s.chunk_bytes, memory);
    if (slot.status.failed() && piece.place < s.end) {
        // Nothing after a faulty chunk is given out.
        s.end = piece.place + 1;
        s.pieces.erase(std::remove_if(s.pieces.begin(), s.pieces.end(),
                                      [&](const Piece& p) { return p.place > piece.place; }),
                       s.pieces.end());
    }
    s.ready_cv.notify_all();
}

void decode_ahead(StreamState& s, unsigned w) {
    std::unique_lock<std::mutex> lock(s.mu);
    for (;;) {
        if (s.stop) return;
        admit(s);
        Piece piece;
        if (!take_piece(s, piece)) {
            s.work_cv.wait(lock);
            continue;
        }
        run_piece(s, lock, piece, w);
    }
}

void start_pool(StreamState& s) {
    s.started = true;
    if (s.threads <= 1 || s.places == 0) return;
    s.pool.reserve(s.threads);
    for (unsigned w = 0; w < s.threads; ++w) {
        try {
            s.pool.emplace_back(decode_ahead, std::ref(s), w);
        } catch (...) {
            break;  // fewer threads give the same batches
        }
    }
}

// On the consumer's thread, without s.mu: before the window can reach the
// places not yet prefetched (one advance away), hands the source the
// records of the next places (the chunks the index does not rule out, the
// columns the stream decodes) in one call, before any thread reads them: a
// remote source fetches them in one round, a local one does nothing. A
// call covers two windows of places, at least four, and stops early once
// its records pass a quarter of the memory budget (they are held until
// read).
Status prefetch_ahead(StreamState& s) {
    size_t from, out;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        from = s.prefetched;
        out = s.out;
    }
    const size_t window = s.slots.size();
    if (from >= s.places || from > out + window) return Status::ok();
    const size_t stride = std::max<size_t>(2 * window, 4);
    const uint64_t most_bytes = s.reader->memory_budget() / 4;
    const VarnReader& r = *s.reader;
    std::vector<size_t> chunks, cols;
    for (const auto& n : s.needed) cols.push_back(n.first);
    size_t to = from;
    uint64_t bytes = 0;
    while (to < s.places && to < from + stride && (to == from || bytes < most_bytes)) {
        const size_t chunk = chunk_at(s, to++);
        if (chunk >= r.chunk_count() || r.chunk_rows(chunk) == 0) continue;
        if (std::any_of(s.filters.begin(), s.filters.end(),
                        [&](const PreparedFilter& p) { return chunk_ruled_out(r, chunk, p.f); }))
            continue;
        chunks.push_back(chunk);
        for (size_t col : cols) bytes += r.meta(chunk, col).block_len;
    }
    Status st = r.prefetch(chunks, cols);
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.prefetched = to;
    }
    s.work_cv.notify_all();
    return st;
}

// Waits until the chunk at s.out is decoded; without decoding threads,
// decodes it here.
ChunkSlot& wait_for_chunk(StreamState& s) {
    if (!s.started) start_pool(s);
    ChunkSlot& slot = s.slots[s.out % s.slots.size()];
    std::unique_lock<std::mutex> lock(s.mu);
    if (s.pool.empty()) {
        for (;;) {
            admit(s);
            if (slot.place == s.out && slot.done) break;
            Piece piece;
            if (!take_piece(s, piece, s.out)) break;  // cannot happen: the chunk is admitted
            run_piece(s, lock, piece, 0);
        }
    } else {
        s.ready_cv.wait(lock, [&] { return slot.place == s.out && slot.done; });
    }
    return slot;
}

// The chunk at s.out is given out: its slot is free for a later chunk.
void advance(StreamState& s) {
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.window_bytes -= s.slots[s.out % s.slots.size()].estimate;
        ++s.out;
    }
    s.work_cv.notify_all();
}

Status next_batch(StreamState& s, ArrowArray* out, bool& done) {
    for (;;) {
        if (s.out >= s.places) {
            done = true;
            return Status::ok();
        }
        VARN_RETURN_IF_ERROR(prefetch_ahead(s));
        ChunkSlot& slot = wait_for_chunk(s);
        if (slot.place != s.out || !slot.done) return Status::internal("a chunk was not decoded");
        VARN_RETURN_IF_ERROR(slot.status);
        if (slot.pos < slot.count) break;
        advance(s);
    }
    ChunkSlot& slot = s.slots[s.out % s.slots.size()];
    if (slot.ready.release) {
        // Built ahead: hand it over.
        *out = slot.ready;
        slot.ready.release = nullptr;
        if (s.stats) s.stats->rows += slot.count;
        slot.pos = slot.count;
    } else {
        size_t n = slot.count - slot.pos;
        if (s.options.batch_rows) n = std::min(n, s.options.batch_rows);
        VARN_RETURN_IF_ERROR(build_batch(s, slot, slot.pos, n, out));
        slot.pos += n;
        if (s.stats) s.stats->rows += n;
    }
    if (slot.pos == slot.count) advance(s);
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
            s->stop_pool();
            return EIO;
        }
        if (done) {
            out->release = nullptr;
            s->stop_pool();
        }
        return 0;
    } catch (const std::bad_alloc&) {
        if (out->release) out->release(out);
        s->failed = true;
        s->error = "out of memory while decoding a chunk";
        s->stop_pool();
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

void make_stream(std::unique_ptr<VarnReader> reader, ScanOptions options,
                 std::shared_ptr<ScanStats> stats, ArrowArrayStream* out) {
    auto* s = new StreamState;
    s->reader = std::move(reader);
    s->options = std::move(options);
    s->stats = std::move(stats);
    s->threads = s->options.threads ? s->options.threads : std::max(1u, available_cores());
    s->buffers.resize(s->threads);
    // One chunk ahead of a chunk per thread keeps the threads busy across
    // chunk boundaries; each slot more is one more chunk's buffers, new with
    // every stream, whose page faults cost more than they save.
    s->slots.resize(s->threads <= 1 ? 1 : size_t{s->threads} + 1);
    s->places = s->options.chunks ? s->options.chunks->size() : s->reader->chunk_count();
    s->end = s->places;
    // 32-bit offsets reach 2 GiB; a chunk whose text passes that needs the
    // large offsets the caller asked for.
    s->large = s->reader->options().large_offsets;
    std::vector<size_t> slot_of(s->reader->column_count(), SIZE_MAX);
    auto need = [&](size_t col) {
        if (slot_of[col] == SIZE_MAX) {
            slot_of[col] = s->needed.size();
            s->needed.emplace_back(col, kind_of(s->reader->columns()[col].type_code));
        }
        return slot_of[col];
    };
    s->filters.reserve(s->options.filters.size());
    for (const Filter& f : s->options.filters) {
        need(f.column);
        s->filters.push_back(prepare(f));
    }
    for (size_t col : s->options.columns) s->out_slot.push_back(need(col));
    for (const auto& n : s->needed) s->needed_columns.push_back(n.first);
    out->get_schema = get_schema;
    out->get_next = get_next;
    out->get_last_error = get_last_error;
    out->release = release_stream;
    out->private_data = s;
}

}  // namespace varn::arrow
