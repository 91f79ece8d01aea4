// compress_csv, get_varn_info and the two path-holding wrapper classes,
// PyVarnWriter and PyVarnReader.
#include <cstring>
#include <memory>
#include <string>

#include "convert/csv_converter.h"
#include "file_info.h"
#include "binder.h"
#include "errors.h"
#include "module_types.h"
#include "format/file/reader.h"

namespace varn::py {

namespace {

constexpr const char* kLibraryVersion = VARN_MODULE_VERSION;
constexpr const char* kFormatLabel = "VARN v" VARN_MODULE_VERSION;

const char* const kCompressCsvParams[] = {"csv_path", "varn_path"};
const Signature kCompressCsvSig = {"compress_csv", kCompressCsvParams, 2};
const char* const kVarnPathParams[] = {"varn_path"};
const Signature kGetVarnInfoSig = {"get_varn_info", kVarnPathParams, 1};
const char* const kPathParams[] = {"path"};
const Signature kWriterNewSig = {"PyVarnWriter", kPathParams, 1};
const Signature kReaderNewSig = {"PyVarnReader", kPathParams, 1};
const char* const kCsvPathParams[] = {"csv_path"};
const Signature kWriteCsvSig = {"PyVarnWriter.write_csv", kCsvPathParams, 1};

// Releases the GIL for its lifetime; take() and give() re-take and release
// it in between. Taking the GIL back may end the thread (a daemon thread at
// interpreter exit) by forced unwinding: the destructor lets it pass
// (noexcept(false)), and the state is forgotten before it is handed back so
// that it is never handed back twice.
class WithoutGil {
public:
    WithoutGil() : saved_(PyEval_SaveThread()) {}
    ~WithoutGil() noexcept(false) {
        if (saved_) take();
    }
    WithoutGil(const WithoutGil&) = delete;
    WithoutGil& operator=(const WithoutGil&) = delete;
    void take() {
        PyThreadState* state = saved_;
        saved_ = nullptr;
        PyEval_RestoreThread(state);
    }
    void give() { saved_ = PyEval_SaveThread(); }

private:
    PyThreadState* saved_;
};

// Instance layout shared by both wrappers: the path given to the constructor.
struct PathObject {
    PyObject_HEAD
    std::string* path;
};

PyObject* info_tuple(const std::string& path) {
    Result<uint64_t> size = opened_file_size(path, "Failed to open VARN file: ");
    if (size.failed()) return raise_status(size.status());
    return Py_BuildValue("(Ksk)", static_cast<unsigned long long>(size.value()), kLibraryVersion,
                         0UL);
}

PyObject* path_new(PyTypeObject* type, PyObject* args, PyObject* kwargs, const Signature& sig) {
    VARN_PY_BEGIN
    PyObject* bound[1];
    if (!bind_tuple(sig, args, kwargs, bound)) return nullptr;
    std::string path;
    if (!convert_path(sig, 0, bound[0], path)) return nullptr;
    // The string is made before the object, so that a failure to allocate
    // it leaves nothing behind.
    auto held = std::make_unique<std::string>(std::move(path));
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    reinterpret_cast<PathObject*>(self)->path = held.release();
    return self;
    VARN_PY_END
}

void path_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<PathObject*>(self)->path;
    type->tp_free(self);
    Py_DECREF(type);
}

const std::string& path_of(PyObject* self) { return *reinterpret_cast<PathObject*>(self)->path; }

// --- PyVarnWriter ---

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return path_new(type, args, kwargs, kWriterNewSig);
}

PyObject* writer_write_csv(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    VARN_PY_BEGIN
    PyObject* bound[1];
    if (!bind_fast(kWriteCsvSig, args, nargs, kwnames, bound)) return nullptr;
    std::string csv_path;
    if (!convert_path(kWriteCsvSig, 0, bound[0], csv_path)) return nullptr;
    const std::string varn_path = path_of(self);  // a copy: the GIL is released meanwhile
    return run_compress_csv(csv_path, varn_path);
    VARN_PY_END
}

PyObject* writer_get_info(PyObject* self, PyObject*) {
    VARN_PY_BEGIN
    return info_tuple(path_of(self));
    VARN_PY_END
}

PyMethodDef kWriterMethods[] = {
    {"write_csv", VARN_FASTCALL_KW(writer_write_csv), METH_FASTCALL | METH_KEYWORDS,
     "write_csv($self, csv_path)\n--\n\n"},
    {"get_info", writer_get_info, METH_NOARGS, "get_info($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kWriterSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(path_dealloc)},
    {Py_tp_methods, kWriterMethods},
    {0, nullptr},
};

PyType_Spec kWriterSpec = {"varn_fileformat.PyVarnWriter", sizeof(PathObject), 0,
                           Py_TPFLAGS_DEFAULT, kWriterSlots};

// --- PyVarnReader ---

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return path_new(type, args, kwargs, kReaderNewSig);
}

PyObject* reader_read_file(PyObject* self, PyObject*) {
    VARN_PY_BEGIN
    Result<uint64_t> size = opened_file_size(path_of(self), "Failed to open file: ");
    if (size.failed()) return raise_status(size.status());
    return Py_BuildValue("(Ks)", static_cast<unsigned long long>(size.value()), kLibraryVersion);
    VARN_PY_END
}

// The percentage of space the block compression saved over all column
// records, read from the file itself (open and metadata errors as read_file).
// Every record is decompressed, without the GIL: other Python threads go on
// meanwhile.
PyObject* reader_get_compression_stats(PyObject* self, PyObject*) {
    VARN_PY_BEGIN
    const std::string path = path_of(self);
    Status failure;
    double saved_percent = 0.0;
    {
        WithoutGil unlocked;
        Result<uint64_t> size = opened_file_size(path, "Failed to open file: ");
        Result<double> saved = size.failed() ? Result<double>(size.status())
                                             : block_compression_saved_percent(path);
        if (saved.failed())
            failure = saved.status();
        else
            saved_percent = saved.value();
    }
    if (failure.failed()) return raise_status(failure);
    return Py_BuildValue("(ds)", saved_percent, kFormatLabel);
    VARN_PY_END
}

PyMethodDef kReaderMethods[] = {
    {"read_file", reader_read_file, METH_NOARGS, "read_file($self)\n--\n\n"},
    {"get_compression_stats", reader_get_compression_stats, METH_NOARGS,
     "get_compression_stats($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kReaderSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(path_dealloc)},
    {Py_tp_methods, kReaderMethods},
    {0, nullptr},
};

PyType_Spec kReaderSpec = {"varn_fileformat.PyVarnReader", sizeof(PathObject), 0,
                           Py_TPFLAGS_DEFAULT, kReaderSlots};

}  // namespace

PyObject* make_type(PyType_Spec* spec, const char* internal_doc) {
    PyObject* type = PyType_FromSpec(spec);
    if (!type) return nullptr;
    // __doc__ is the body; tp_doc keeps the signature line for __text_signature__.
    const char* body = std::strstr(internal_doc, "\n--\n\n");
    PyObject* doc = PyUnicode_FromString(body ? body + 5 : internal_doc);
    if (!doc || PyObject_SetAttrString(type, "__doc__", doc) < 0) {
        Py_XDECREF(doc);
        Py_DECREF(type);
        return nullptr;
    }
    Py_DECREF(doc);
    size_t len = std::strlen(internal_doc) + 1;
    char* full = static_cast<char*>(PyObject_Malloc(len));
    if (!full) {
        Py_DECREF(type);
        return PyErr_NoMemory();
    }
    std::memcpy(full, internal_doc, len);
    PyTypeObject* t = reinterpret_cast<PyTypeObject*>(type);
    PyObject_Free(const_cast<char*>(t->tp_doc));
    t->tp_doc = full;
    return type;
}

PyObject* varn_writer_type() {
    static PyObject* type = nullptr;
    if (!type) type = make_type(&kWriterSpec, "PyVarnWriter(path)\n--\n\nVarnWriter Python wrapper");
    Py_XINCREF(type);
    return type;
}

PyObject* varn_reader_type() {
    static PyObject* type = nullptr;
    if (!type) type = make_type(&kReaderSpec, "PyVarnReader(path)\n--\n\nVarnReader Python wrapper");
    Py_XINCREF(type);
    return type;
}

PyObject* run_compress_csv(const std::string& csv_path, const std::string& varn_path) {
    Result<ConversionSummary> outcome = Status::internal("not run");
    {
        // The conversion runs without the GIL, so other Python threads go on
        // meanwhile. Between batches the GIL is taken back to let Python
        // deliver a pending signal (Ctrl-C) and run its handler.
        WithoutGil unlocked;
        ConversionHooks hooks;
        hooks.after_batch = [&unlocked](uint64_t, uint64_t) {
            unlocked.take();
            const bool go_on = PyErr_CheckSignals() == 0;
            unlocked.give();
            return go_on;
        };
        outcome = compress_csv(csv_path, varn_path, hooks);
    }
    if (outcome.failed()) return raise_status(outcome.status());
    const ConversionSummary& s = outcome.value();
    return Py_BuildValue("(KKd)", static_cast<unsigned long long>(s.csv_size),
                         static_cast<unsigned long long>(s.varn_size), s.compression_ratio);
}

PyObject* compress_csv_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VARN_PY_BEGIN
    PyObject* bound[2];
    if (!bind_fast(kCompressCsvSig, args, nargs, kwnames, bound)) return nullptr;
    std::string csv_path, varn_path;
    if (!convert_path(kCompressCsvSig, 0, bound[0], csv_path) ||
        !convert_path(kCompressCsvSig, 1, bound[1], varn_path))
        return nullptr;
    return run_compress_csv(csv_path, varn_path);
    VARN_PY_END
}

PyObject* get_varn_info_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    VARN_PY_BEGIN
    PyObject* bound[1];
    if (!bind_fast(kGetVarnInfoSig, args, nargs, kwnames, bound)) return nullptr;
    std::string path;
    if (!convert_path(kGetVarnInfoSig, 0, bound[0], path)) return nullptr;
    return info_tuple(path);
    VARN_PY_END
}

}  // namespace varn::py
