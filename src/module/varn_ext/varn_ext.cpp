// varn._varn: the private extension under the `varn` package. It holds no
// API of its own: the package's Python code checks and normalises the
// arguments (column names to numbers, filter values to the column's type)
// and calls these functions with every argument given. Opened files and
// prepared scans travel as capsules. The record reading and decoding run
// with the GIL released; the Arrow stream's get_next releases it too when
// a consumer calls it while holding it.
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "arrow/arrow_stream.h"
#include "common/temp_names.h"
#include "convert/csv_converter.h"
#include "format/file/reader.h"
#include "format/type_codes.h"
#include "scan/decoded.h"
#include "scan/filter.h"
#include "scan/prune.h"
#include "scan/scan.h"
#include "binder.h"
#include "errors.h"
#include "module_types.h"
#include "py_range_source.h"

namespace varn::py {

namespace {

constexpr const char* kFileCapsule = "varn._varn.File";
constexpr const char* kScanCapsule = "varn._varn.Scan";
constexpr const char* kStreamCapsule = "arrow_array_stream";

PyObject* g_varn_error = nullptr;  // varn.VarnError, created once per process

// A core failure as an exception of this package: a damaged file is VarnError.
PyObject* raise_failure(const Status& status) { return raise_status(status, g_varn_error); }

// The keys given: one for every encrypted column, or one per column number.
struct Keys {
    std::optional<ColumnKey> all;
    std::vector<std::pair<size_t, ColumnKey>> by_column;

    void apply(VarnReader& r) const {
        if (all) r.set_key(*all);
        for (const auto& [col, key] : by_column) {
            if (col < r.column_count()) r.set_column_key(col, key);
        }
    }
};

// An opened file: its reader (source, size, index, keys) stays open until
// close() or the last holder goes, and every scan and stream of the file
// reads through it, so replacing the path changes nothing it reads. Used
// with the GIL held; each stream takes a reader of its own over the same
// source (VarnReader::share).
struct OpenFile {
    std::string path;
    std::shared_ptr<VarnReader> reader;  // null once closed
};

struct FileHandle {
    std::shared_ptr<OpenFile> file = std::make_shared<OpenFile>();
    Keys keys;
};

struct ScanHandle {
    std::shared_ptr<OpenFile> file;
    scan::ScanOptions options;
    std::shared_ptr<scan::ScanStats> stats = std::make_shared<scan::ScanStats>();
};

template <class T>
void destroy_capsule(PyObject* capsule, const char* name) {
    delete static_cast<T*>(PyCapsule_GetPointer(capsule, name));
}
void file_capsule_free(PyObject* c) { destroy_capsule<FileHandle>(c, kFileCapsule); }
void scan_capsule_free(PyObject* c) { destroy_capsule<ScanHandle>(c, kScanCapsule); }

template <class T>
T* handle_of(PyObject* capsule, const char* name) {
    return static_cast<T*>(PyCapsule_GetPointer(capsule, name));
}

bool key_from(PyObject* obj, ColumnKey& key) {
    char* data;
    Py_ssize_t n;
    if (!PyBytes_Check(obj) || PyBytes_AsStringAndSize(obj, &data, &n) < 0 || n != 32) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "a key is 32 bytes");
        return false;
    }
    std::memcpy(key.data(), data, 32);
    return true;
}

// None, 32 bytes, or {column number: 32 bytes}.
bool keys_from(PyObject* obj, Keys& keys) {
    if (obj == Py_None) return true;
    if (PyBytes_Check(obj)) {
        ColumnKey k;
        if (!key_from(obj, k)) return false;
        keys.all = k;
        return true;
    }
    if (!PyDict_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "key must be bytes, a dict or None");
        return false;
    }
    PyObject *col, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(obj, &pos, &col, &value)) {
        const size_t c = PyLong_AsSize_t(col);
        if (c == static_cast<size_t>(-1) && PyErr_Occurred()) return false;
        ColumnKey k;
        if (!key_from(value, k)) return false;
        keys.by_column.emplace_back(c, k);
    }
    return true;
}

// ---------------------------------------------------------------------------
// open, info, chunk_stats.

// Checks the handle's keys against its file and sets them on its reader.
bool apply_keys(FileHandle& h) {
    VarnReader& r = *h.file->reader;
    for (const auto& [col, key] : h.keys.by_column) {
        (void)key;
        if (col >= r.column_count()) {
            raise_failure(Status::invalid_input("key for column number " + std::to_string(col) +
                                                ", but the file has " +
                                                std::to_string(r.column_count()) + " columns"));
            return false;
        }
    }
    h.keys.apply(r);
    // A key that fails the file's key check value is refused here, at once.
    if (Status st = r.key_status(); st.failed()) {
        raise_failure(st.prefixed(h.file->path + ": "));
        return false;
    }
    return true;
}

const char* const kOpenParams[] = {"path", "key", "max_memory"};
const Signature kOpenSig = {"open", kOpenParams, 3};

// Opens `source` for handle `h` (path and keys set) and gives its capsule.
PyObject* open_handle(std::unique_ptr<FileHandle> h, std::shared_ptr<RangeSource> source,
                      const ReaderOptions& options = {}) {
    const std::string& path = h->file->path;
    Result<std::unique_ptr<VarnReader>> opened = Status::internal("not opened");
    Py_BEGIN_ALLOW_THREADS
    if (source) {
        opened = VarnReader::open(std::move(source), options);
    } else {
        opened = VarnReader::open(path, options);
    }
    Py_END_ALLOW_THREADS
    if (opened.failed()) return raise_failure(opened.status().prefixed(path + ": "));
    h->file->reader = opened.take();
    if (!apply_keys(*h)) return nullptr;
    PyObject* capsule = PyCapsule_New(h.get(), kFileCapsule, file_capsule_free);
    if (capsule) h.release();
    return capsule;
}

// open(path, key, max_memory): max_memory 0 is the default budget.
PyObject* open_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VARN_PY_BEGIN
    PyObject* a[3];
    if (!bind_fast(kOpenSig, args, nargs, kwnames, a)) return nullptr;
    auto h = std::make_unique<FileHandle>();
    uint64_t max_memory = 0;
    if (!convert_str(kOpenSig, 0, a[0], h->file->path) || !keys_from(a[1], h->keys) ||
        !convert_u64(kOpenSig, 2, a[2], max_memory))
        return nullptr;
    ReaderOptions options;
    if (max_memory != 0) options.memory_budget = max_memory;
    return open_handle(std::move(h), nullptr, options);
    VARN_PY_END
}

const char* const kOpenSourceParams[] = {"fetch", "size", "url", "blocks", "key", "max_memory"};
const Signature kOpenSourceSig = {"open_source", kOpenSourceParams, 6};

// A file whose bytes come from fetch(starts, ends) -> [bytes]; `blocks`
// [(offset, bytes)] are those already fetched (the header and the tail);
// max_memory 0 is the default budget.
PyObject* open_source_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VARN_PY_BEGIN
    PyObject* a[6];
    if (!bind_fast(kOpenSourceSig, args, nargs, kwnames, a)) return nullptr;
    auto h = std::make_unique<FileHandle>();
    uint64_t size;
    if (!PyCallable_Check(a[0])) {
        PyErr_SetString(PyExc_TypeError, "fetch must be callable");
        return nullptr;
    }
    if (!convert_u64(kOpenSourceSig, 1, a[1], size) || !convert_str(kOpenSourceSig, 2, a[2], h->file->path) ||
        !keys_from(a[4], h->keys))
        return nullptr;
    ReaderOptions options;
    uint64_t max_memory = 0;
    if (!convert_u64(kOpenSourceSig, 5, a[5], max_memory)) return nullptr;
    if (max_memory != 0) options.memory_budget = max_memory;
    // The cache of fetched records stays within half the reader's budget.
    auto source = std::make_shared<PyRangeSource>(a[0], size, h->file->path, options.memory_budget / 2);
    PyObject* blocks = PySequence_Fast(a[3], "blocks must be a list");
    if (!blocks) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(blocks); ++i) {
        unsigned long long offset;
        const char* data;
        Py_ssize_t n;
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(blocks, i), "Ky#", &offset, &data, &n)) {
            Py_DECREF(blocks);
            return nullptr;
        }
        if (offset <= size && static_cast<uint64_t>(n) <= size - offset) {
            source->add(offset, std::string(data, static_cast<size_t>(n)));
        }
    }
    Py_DECREF(blocks);
    return open_handle(std::move(h), std::move(source), options);
    VARN_PY_END
}

FileHandle* file_arg(PyObject* obj) { return handle_of<FileHandle>(obj, kFileCapsule); }

// The reader of an open file; null with ValueError set once it is closed.
VarnReader* reader_of(const OpenFile& f) {
    if (!f.reader) {
        PyErr_Format(PyExc_ValueError, "%s: the file is closed", f.path.c_str());
        return nullptr;
    }
    return f.reader.get();
}

const char* const kSetKeysParams[] = {"file", "key"};
const Signature kSetKeysSig = {"set_keys", kSetKeysParams, 2};

// Gives an open file the keys of its encrypted columns (as open's key).
PyObject* set_keys_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VARN_PY_BEGIN
    PyObject* a[2];
    if (!bind_fast(kSetKeysSig, args, nargs, kwnames, a)) return nullptr;
    FileHandle* h = file_arg(a[0]);
    if (!h || !reader_of(*h->file)) return nullptr;
    Keys keys;
    if (!keys_from(a[1], keys)) return nullptr;
    h->keys = std::move(keys);
    if (!apply_keys(*h)) return nullptr;
    Py_RETURN_NONE;
    VARN_PY_END
}

// Releases the file's reader (its descriptor goes with the last stream
// still reading it).
PyObject* close_fn(PyObject*, PyObject* arg) {
    VARN_PY_BEGIN
    FileHandle* h = file_arg(arg);
    if (!h) return nullptr;
    h->file->reader.reset();
    Py_RETURN_NONE;
    VARN_PY_END
}

// (schema [(name, type name, encrypted)], rows, chunks, created seconds)
PyObject* info_fn(PyObject*, PyObject* arg) {
    VARN_PY_BEGIN
    FileHandle* h = file_arg(arg);
    if (!h) return nullptr;
    const VarnReader* rp = reader_of(*h->file);
    if (!rp) return nullptr;
    const VarnReader& r = *rp;
    PyObject* schema = PyList_New(static_cast<Py_ssize_t>(r.column_count()));
    if (!schema) return nullptr;
    for (size_t i = 0; i < r.column_count(); ++i) {
        const KColumn& c = r.columns()[i];
        PyObject* name = str_from_utf8(c.name);
        PyObject* item = name ? Py_BuildValue("(Nsi)", name, format::type_info(c.type_code).name,
                                              r.encrypted(i) ? 1 : 0)
                              : nullptr;
        if (!item) {
            Py_DECREF(schema);
            return nullptr;
        }
        PyList_SET_ITEM(schema, static_cast<Py_ssize_t>(i), item);
    }
    return Py_BuildValue("(NKnK)", schema, static_cast<unsigned long long>(r.index_rows()),
                         static_cast<Py_ssize_t>(r.chunk_count()),
                         static_cast<unsigned long long>(r.header().created));
    VARN_PY_END
}

const char* const kChunkStatsParams[] = {"file", "column"};
const Signature kChunkStatsSig = {"chunk_stats", kChunkStatsParams, 2};

// [(rows, nulls, min, max)], min and max None where the index keeps none.
PyObject* chunk_stats_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VARN_PY_BEGIN
    PyObject* a[2];
    if (!bind_fast(kChunkStatsSig, args, nargs, kwnames, a)) return nullptr;
    FileHandle* h = file_arg(a[0]);
    uint64_t col;
    if (!h || !convert_u64(kChunkStatsSig, 1, a[1], col)) return nullptr;
    const VarnReader* rp = reader_of(*h->file);
    if (!rp) return nullptr;
    const VarnReader& r = *rp;
    if (col >= r.column_count()) return raise_failure(Status::invalid_input("column number out of range"));
    const format::TypeInfo info = format::type_info(r.columns()[col].type_code);
    PyObject* out = PyList_New(static_cast<Py_ssize_t>(r.chunk_count()));
    if (!out) return nullptr;
    for (size_t chunk = 0; chunk < r.chunk_count(); ++chunk) {
        const StreamChunkColMeta& m = r.meta(chunk, col);
        const uint32_t rows = r.chunk_rows(chunk);
        PyObject *lo = nullptr, *hi = nullptr;
        if (m.null_count >= rows || r.encrypted(col)) {
            // No value, or an encrypted column (its index keeps no statistics): nothing to bound.
        } else if (info.text_range) {
            lo = str_from_utf8(m.min_str);
            hi = str_from_utf8(m.max_str);
        } else if (info.int_range && info.kind == format::ColumnKind::Int) {
            lo = PyLong_FromLongLong(m.min);
            hi = PyLong_FromLongLong(m.max);
        } else if (info.int_range && info.kind == format::ColumnKind::Float) {
            lo = PyFloat_FromDouble(static_cast<double>(m.min));
            hi = PyFloat_FromDouble(static_cast<double>(m.max));
        } else if (info.int_range) {
            lo = PyBool_FromLong(m.min != 0);
            hi = PyBool_FromLong(m.max != 0);
        }
        if (!lo || !hi) {
            if (PyErr_Occurred()) {
                Py_XDECREF(lo);
                Py_XDECREF(hi);
                Py_DECREF(out);
                return nullptr;
            }
            Py_XDECREF(lo);
            Py_XDECREF(hi);
            Py_INCREF(Py_None);
            Py_INCREF(Py_None);
            lo = hi = Py_None;
        }
        PyObject* item = Py_BuildValue("(kkNN)", static_cast<unsigned long>(rows),
                                       static_cast<unsigned long>(m.null_count), lo, hi);
        if (!item) {
            Py_DECREF(out);
            return nullptr;
        }
        PyList_SET_ITEM(out, static_cast<Py_ssize_t>(chunk), item);
    }
    return out;
    VARN_PY_END
}

// ---------------------------------------------------------------------------
// scan, stream, scan_stats.

bool sizes_from(PyObject* list, std::vector<size_t>& out) {
    PyObject* seq = PySequence_Fast(list, "columns must be a list");
    if (!seq) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const size_t v = PyLong_AsSize_t(PySequence_Fast_GET_ITEM(seq, i));
        if (v == static_cast<size_t>(-1) && PyErr_Occurred()) {
            Py_DECREF(seq);
            return false;
        }
        out.push_back(v);
    }
    Py_DECREF(seq);
    return true;
}

// A filter value of the column's kind: bytes, int or float.
bool value_from(PyObject* obj, scan::FilterValue& v) {
    if (PyBytes_Check(obj)) {
        v.text.assign(PyBytes_AS_STRING(obj), static_cast<size_t>(PyBytes_GET_SIZE(obj)));
        return true;
    }
    if (PyFloat_Check(obj)) {
        v.real = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    if (PyLong_Check(obj)) {
        v.integer = PyLong_AsLongLong(obj);
        return !(v.integer == -1 && PyErr_Occurred());
    }
    PyErr_SetString(PyExc_TypeError, "a filter value must be bytes, int or float here");
    return false;
}

// [(column number, op text, [values])]
bool filters_from(PyObject* list, std::vector<scan::Filter>& out) {
    PyObject* seq = PySequence_Fast(list, "filters must be a list");
    if (!seq) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    bool ok = true;
    for (Py_ssize_t i = 0; ok && i < n; ++i) {
        PyObject* col;
        const char* op;
        PyObject* values;
        ok = PyArg_ParseTuple(PySequence_Fast_GET_ITEM(seq, i), "OsO", &col, &op, &values);
        if (!ok) break;
        scan::Filter f;
        f.column = PyLong_AsSize_t(col);
        if (f.column == static_cast<size_t>(-1) && PyErr_Occurred()) {
            ok = false;
            break;
        }
        Result<scan::FilterOp> parsed = scan::filter_op_from_text(op);
        if (parsed.failed()) {
            raise_failure(parsed.status());
            ok = false;
            break;
        }
        f.op = parsed.value();
        PyObject* vs = PySequence_Fast(values, "filter values must be a list");
        if (!vs) {
            ok = false;
            break;
        }
        for (Py_ssize_t k = 0; ok && k < PySequence_Fast_GET_SIZE(vs); ++k) {
            f.values.emplace_back();
            ok = value_from(PySequence_Fast_GET_ITEM(vs, k), f.values.back());
        }
        Py_DECREF(vs);
        out.push_back(std::move(f));
    }
    Py_DECREF(seq);
    return ok;
}

const char* const kScanParams[] = {"file", "columns", "filters", "batch_rows"};
const Signature kScanSig = {"scan", kScanParams, 4};

PyObject* scan_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VARN_PY_BEGIN
    PyObject* a[4];
    if (!bind_fast(kScanSig, args, nargs, kwnames, a)) return nullptr;
    FileHandle* f = file_arg(a[0]);
    if (!f) return nullptr;
    auto h = std::make_unique<ScanHandle>();
    uint64_t batch_rows;
    if (!sizes_from(a[1], h->options.columns) || !filters_from(a[2], h->options.filters) ||
        !convert_u64(kScanSig, 3, a[3], batch_rows))
        return nullptr;
    h->options.batch_rows = static_cast<size_t>(batch_rows);
    h->file = f->file;
    VarnReader* rp = reader_of(*f->file);
    if (!rp) return nullptr;
    VarnReader& r = *rp;
    Status st = arrow::check_stream(r, h->options);
    if (st.failed()) return raise_failure(st);
    // Every encrypted column taken needs its key, and the key must be right:
    // both are settled here, before any data is given out.
    std::vector<size_t> used = h->options.columns;
    for (const scan::Filter& flt : h->options.filters) used.push_back(flt.column);
    std::vector<uint8_t> checked(r.column_count(), 0);
    for (size_t col : used) {
        if (!r.encrypted(col) || checked[col]) continue;
        checked[col] = 1;
        if (!r.has_key(col)) {
            return raise_failure(Status::invalid_input("column '" + r.columns()[col].name +
                                                       "' is encrypted: give its key (key=...)"));
        }
        // The file's reader is shared by every scan of it: it is used with
        // the GIL held (one record per encrypted column).
        st = check_column_key(r, col);
        if (st.failed()) return raise_failure(st);
    }
    PyObject* capsule = PyCapsule_New(h.get(), kScanCapsule, scan_capsule_free);
    if (capsule) h.release();
    return capsule;
    VARN_PY_END
}

// The stream handed to consumers: the core stream, with get_next run
// without the GIL when the caller holds it.
struct GilStream {
    ArrowArrayStream inner;
};

GilStream* gil_of(ArrowArrayStream* s) { return static_cast<GilStream*>(s->private_data); }

int gil_get_schema(ArrowArrayStream* s, ArrowSchema* out) {
    ArrowArrayStream& in = gil_of(s)->inner;
    return in.get_schema(&in, out);
}

int gil_get_next(ArrowArrayStream* s, ArrowArray* out) {
    ArrowArrayStream& in = gil_of(s)->inner;
    if (Py_IsInitialized() && PyGILState_Check()) {
        int rc;
        Py_BEGIN_ALLOW_THREADS
        rc = in.get_next(&in, out);
        Py_END_ALLOW_THREADS
        return rc;
    }
    return in.get_next(&in, out);
}

const char* gil_get_last_error(ArrowArrayStream* s) {
    ArrowArrayStream& in = gil_of(s)->inner;
    return in.get_last_error(&in);
}

void gil_release(ArrowArrayStream* s) {
    GilStream* g = gil_of(s);
    // Releasing joins the decoding threads, which may be waiting for the
    // GIL to fetch a remote range: it is let go meanwhile.
    if (g->inner.release && Py_IsInitialized() && PyGILState_Check()) {
        Py_BEGIN_ALLOW_THREADS
        g->inner.release(&g->inner);
        Py_END_ALLOW_THREADS
    } else if (g->inner.release) {
        g->inner.release(&g->inner);
    }
    delete g;
    s->release = nullptr;
}

// The capsule owns the stream struct; a consumer that takes the stream moves
// it out and leaves release null.
void stream_capsule_free(PyObject* capsule) {
    auto* s = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
    if (!s) {
        PyErr_Clear();
        return;
    }
    if (s->release) s->release(s);
    delete s;
}

PyObject* stream_fn(PyObject*, PyObject* arg) {
    VARN_PY_BEGIN
    ScanHandle* h = handle_of<ScanHandle>(arg, kScanCapsule);
    if (!h) return nullptr;
    const VarnReader* file_reader = reader_of(*h->file);
    if (!file_reader) return nullptr;
    // The stream reads the opened file through a reader of its own: the
    // same source, index and keys, its own buffers.
    std::unique_ptr<VarnReader> reader = file_reader->share();
    // The chunk list is set after the scan was checked.
    if (Status st = arrow::check_stream(*reader, h->options); st.failed()) return raise_failure(st);
    // A new stream counts afresh.
    h->stats = std::make_shared<scan::ScanStats>();
    auto* g = new GilStream;
    arrow::make_stream(std::move(reader), h->options, h->stats, &g->inner);
    auto* s = new ArrowArrayStream;
    s->get_schema = gil_get_schema;
    s->get_next = gil_get_next;
    s->get_last_error = gil_get_last_error;
    s->release = gil_release;
    s->private_data = g;
    PyObject* capsule = PyCapsule_New(s, kStreamCapsule, stream_capsule_free);
    if (!capsule) {
        s->release(s);
        delete s;
    }
    return capsule;
    VARN_PY_END
}

PyObject* scan_stats_fn(PyObject*, PyObject* arg) {
    VARN_PY_BEGIN
    ScanHandle* h = handle_of<ScanHandle>(arg, kScanCapsule);
    if (!h) return nullptr;
    const scan::ScanStats& s = *h->stats;
    return Py_BuildValue("{sKsKsKsKsK}", "chunks_read",
                         static_cast<unsigned long long>(s.chunks_read.load()), "chunks_skipped",
                         static_cast<unsigned long long>(s.chunks_skipped.load()), "records_read",
                         static_cast<unsigned long long>(s.records_read.load()), "rows",
                         static_cast<unsigned long long>(s.rows.load()), "hidden_nulls",
                         static_cast<unsigned long long>(s.hidden_nulls.load()));
    VARN_PY_END
}

const char* const kSelectChunksParams[] = {"scan", "chunks"};
const Signature kSelectChunksSig = {"select_chunks", kSelectChunksParams, 2};

// Limits a scan's streams to the given chunks, in that order; stream()
// checks them against the file.
PyObject* select_chunks_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VARN_PY_BEGIN
    PyObject* a[2];
    if (!bind_fast(kSelectChunksSig, args, nargs, kwnames, a)) return nullptr;
    ScanHandle* h = handle_of<ScanHandle>(a[0], kScanCapsule);
    if (!h) return nullptr;
    std::vector<size_t> chunks;
    if (!sizes_from(a[1], chunks)) return nullptr;
    h->options.chunks = std::move(chunks);  // the package checks them against the file
    Py_RETURN_NONE;
    VARN_PY_END
}

const char* const kMatchingChunksParams[] = {"file", "filters"};
const Signature kMatchingChunksSig = {"matching_chunks", kMatchingChunksParams, 2};

// [chunk number]: the chunks with rows that the index does not rule out.
PyObject* matching_chunks_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VARN_PY_BEGIN
    PyObject* a[2];
    if (!bind_fast(kMatchingChunksSig, args, nargs, kwnames, a)) return nullptr;
    FileHandle* f = file_arg(a[0]);
    if (!f) return nullptr;
    scan::ScanOptions options;
    if (!filters_from(a[1], options.filters)) return nullptr;
    const VarnReader* rp = reader_of(*f->file);
    if (!rp) return nullptr;
    const VarnReader& r = *rp;
    if (Status st = scan::check_scan(r, options); st.failed()) return raise_failure(st);
    const std::vector<size_t> chunks = scan::matching_chunks(r, options.filters);
    PyObject* out = PyList_New(static_cast<Py_ssize_t>(chunks.size()));
    if (!out) return nullptr;
    for (size_t i = 0; i < chunks.size(); ++i) {
        PyObject* n = PyLong_FromSize_t(chunks[i]);
        if (!n) {
            Py_DECREF(out);
            return nullptr;
        }
        PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), n);
    }
    return out;
    VARN_PY_END
}

// ---------------------------------------------------------------------------
// convert.

const char* const kConvertParams[] = {"csv_path", "varn_path", "types",  "encrypt",
                                      "key",      "progress",  "report", "threads",
                                      "plain",    "delimiter", "infer",  "lossy",
                                      "drop_extra_fields", "encoding", "skip_lines", "comment",
                                      "level", "max_memory"};
const Signature kConvertSig = {"convert", kConvertParams, 18};

// The conversion of varn compress, with its options (checked by the caller).
PyObject* convert_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VARN_PY_BEGIN
    PyObject* a[18];
    if (!bind_fast(kConvertSig, args, nargs, kwnames, a)) return nullptr;
    std::string csv, out;
    if (!convert_str(kConvertSig, 0, a[0], csv) || !convert_str(kConvertSig, 1, a[1], out))
        return nullptr;
    ConvertOptions options;
    options.report = PyObject_IsTrue(a[6]) == 1;
    // threads: None (one per CPU of the affinity mask) or 1 to 1024, checked by the caller.
    if (a[7] != Py_None) {
        const long n = PyLong_AsLong(a[7]);
        if (n == -1 && PyErr_Occurred()) return nullptr;
        if (n < 1 || n > 1024)
            return raise_failure(Status::invalid_input("threads must be from 1 to 1024"));
        options.threads = static_cast<unsigned>(n);
    }
    options.dialect = PyObject_IsTrue(a[8]) == 1 ? CsvDialect::Plain : CsvDialect::Rfc4180;
    // delimiter: 0 (detected) or an ASCII byte other than a quote or a line end.
    const long delimiter = PyLong_AsLong(a[9]);
    if (delimiter == -1 && PyErr_Occurred()) return nullptr;
    if (delimiter < 0 || delimiter > 0x7F || delimiter == '"' || delimiter == '\n' || delimiter == '\r') {
        return raise_failure(Status::invalid_input(
            "delimiter must be one ASCII character other than a quote or a line end"));
    }
    options.delimiter = static_cast<uint8_t>(delimiter);
    options.infer_types = PyObject_IsTrue(a[10]) == 1 && options.dialect == CsvDialect::Rfc4180;
    options.lossy = PyObject_IsTrue(a[11]) == 1;
    options.extra_fields = PyObject_IsTrue(a[12]) == 1 ? ExtraFields::Drop : ExtraFields::Error;
    options.python_names = true;
    // encoding: a name or ""; skip_lines: a count; comment: 0 or an ASCII byte (checked by the caller).
    if (!convert_str(kConvertSig, 13, a[13], options.encoding) || !convert_u64(kConvertSig, 14, a[14], options.skip_lines))
        return nullptr;
    const long comment = PyLong_AsLong(a[15]);
    if (comment == -1 && PyErr_Occurred()) return nullptr;
    if (comment < 0 || comment > 0x7F) return raise_failure(Status::invalid_input("comment must be one ASCII character"));
    options.comment = static_cast<uint8_t>(comment);
    std::string level;
    if (!convert_str(kConvertSig, 16, a[16], level)) return nullptr;
    const auto parsed_level = block_level_from_name(level);
    if (!parsed_level)
        return raise_failure(Status::invalid_input("level must be 'fast', 'default' or 'small', not '" + level + "'"));
    options.level = *parsed_level;
    // max_memory: 0 (the default budget) or bytes, checked by the caller.
    if (!convert_u64(kConvertSig, 17, a[17], options.max_memory)) return nullptr;
    // types: [(name, type name)]; encrypt: [name]; both already checked.
    auto declaration = [&](const std::string& name) -> ColumnDeclaration& {
        for (ColumnDeclaration& d : options.declarations) {
            if (d.name == name) return d;
        }
        options.declarations.emplace_back();
        options.declarations.back().name = name;
        return options.declarations.back();
    };
    PyObject* types = PySequence_Fast(a[2], "types must be a list");
    if (!types) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(types); ++i) {
        const char *name, *type;
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(types, i), "ss", &name, &type)) {
            Py_DECREF(types);
            return nullptr;
        }
        const auto code = format::type_code_from_name(type);
        if (!code) {
            Py_DECREF(types);
            return raise_failure(Status::invalid_input(std::string("unknown type '") + type +
                                                       "' (int, float, bool, text, bytes or json)"));
        }
        declaration(name).type_code = *code;
    }
    Py_DECREF(types);
    if (a[3] != Py_None) {
        ColumnKey key;
        if (!key_from(a[4], key)) return nullptr;
        PyObject* names = PySequence_Fast(a[3], "encrypt must be a list");
        if (!names) return nullptr;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(names); ++i) {
            std::string name;
            if (!convert_str(kConvertSig, 3, PySequence_Fast_GET_ITEM(names, i), name)) {
                Py_DECREF(names);
                return nullptr;
            }
            ColumnDeclaration& d = declaration(name);
            d.encrypt = true;
            d.key = key;
        }
        Py_DECREF(names);
    }
    // The progress callback runs on this thread (the conversion calls it
    // between batches) with the GIL taken back through this thread's own
    // state: at interpreter exit that ends a daemon thread cleanly, where
    // PyGILState_Ensure may not. An exception it raises stops the conversion
    // and is raised again afterwards.
    ConversionHooks hooks;
    PyThreadState* ts = nullptr;
    PyObject* progress = a[5] == Py_None ? nullptr : a[5];
    if (progress) {
        hooks.after_batch = [progress, &ts](uint64_t bytes, uint64_t rows) {
            PyEval_RestoreThread(ts);
            PyObject* r = PyObject_CallFunction(progress, "KK", static_cast<unsigned long long>(bytes),
                                                static_cast<unsigned long long>(rows));
            Py_XDECREF(r);
            // The exception stays set on this thread until the conversion returns.
            const bool ok = r != nullptr;
            ts = PyEval_SaveThread();
            return ok;
        };
    }
    ts = PyEval_SaveThread();
    Result<ConversionSummary> outcome = convert_csv(csv, out, options, hooks);
    PyEval_RestoreThread(ts);
    // A callback's exception stopped it (kind interrupted): that one is raised.
    if (outcome.failed()) return raise_failure(outcome.status());
    const ConversionSummary& s = outcome.value();
    return Py_BuildValue("(KKd)", static_cast<unsigned long long>(s.csv_size),
                         static_cast<unsigned long long>(s.varn_size), s.compression_ratio);
    VARN_PY_END
}

// This host's tag in the names of temporary files (common/temp_names.h).
PyObject* temp_host_tag_fn(PyObject*, PyObject*) {
    return PyUnicode_FromString(temp_host_tag().c_str());
}

PyMethodDef kMethods[] = {
    {"open", VARN_FASTCALL_KW(open_fn), METH_FASTCALL | METH_KEYWORDS,
     "open(path, key)\n--\n\nOpens a file; returns its handle."},
    {"open_source", VARN_FASTCALL_KW(open_source_fn), METH_FASTCALL | METH_KEYWORDS,
     "open_source(fetch, size, url, blocks, key, max_memory)\n--\n\n"
     "Opens a file read through fetch(starts, ends) -> [bytes]; returns its handle."},
    {"set_keys", VARN_FASTCALL_KW(set_keys_fn), METH_FASTCALL | METH_KEYWORDS,
     "set_keys(file, key)\n--\n\nSets the keys of an open file's encrypted columns."},
    {"close", close_fn, METH_O, "close(file)\n--\n\nReleases the file; later reads raise ValueError."},
    {"info", info_fn, METH_O, "info(file)\n--\n\n(schema, rows, chunks, created seconds)."},
    {"chunk_stats", VARN_FASTCALL_KW(chunk_stats_fn), METH_FASTCALL | METH_KEYWORDS,
     "chunk_stats(file, column)\n--\n\n[(rows, nulls, min, max)] per chunk."},
    {"scan", VARN_FASTCALL_KW(scan_fn), METH_FASTCALL | METH_KEYWORDS,
     "scan(file, columns, filters, batch_rows)\n--\n\nChecks and keeps a scan."},
    {"stream", stream_fn, METH_O,
     "stream(scan)\n--\n\nA new Arrow C stream capsule over the scan."},
    {"scan_stats", scan_stats_fn, METH_O, "scan_stats(scan)\n--\n\nWhat the last stream did."},
    {"select_chunks", VARN_FASTCALL_KW(select_chunks_fn), METH_FASTCALL | METH_KEYWORDS,
     "select_chunks(scan, chunks)\n--\n\nLimits the scan to these chunks, in this order."},
    {"matching_chunks", VARN_FASTCALL_KW(matching_chunks_fn), METH_FASTCALL | METH_KEYWORDS,
     "matching_chunks(file, filters)\n--\n\nThe chunks the index does not rule out."},
    {"convert", VARN_FASTCALL_KW(convert_fn), METH_FASTCALL | METH_KEYWORDS,
     "convert(csv_path, varn_path, types, encrypt, key, progress, report, threads, plain,\n"
     "        delimiter, infer, lossy, drop_extra_fields, encoding, skip_lines, comment, level,\n"
     "        max_memory)\n--\n\n"
     "CSV to VARN, as varn compress."},
    {"temp_host_tag", temp_host_tag_fn, METH_NOARGS,
     "temp_host_tag()\n--\n\nThis host's tag in the names of temporary files."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModuleDef = {PyModuleDef_HEAD_INIT, "varn._varn",
                          "The private extension of the varn package.", -1, kMethods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace varn::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__varn(void) {
    using namespace varn::py;
    PyObject* module = PyModule_Create(&kModuleDef);
    if (!module) return nullptr;
    if (!g_varn_error) {
        g_varn_error = PyErr_NewExceptionWithDoc(
            "varn.VarnError",
            "A VARN file is damaged or is not a VARN v2 file; the message names the place.",
            PyExc_ValueError, nullptr);
    }
    if (!g_varn_error) {
        Py_DECREF(module);
        return nullptr;
    }
    Py_INCREF(g_varn_error);
    if (PyModule_AddObject(module, "VarnError", g_varn_error) < 0) {
        Py_DECREF(g_varn_error);
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
