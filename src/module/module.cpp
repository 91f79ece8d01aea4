// The extension module's entry point: builds `varn_fileformat` once per
// process, with its attributes added in a fixed order and listed in __all__.
#include "convert/csv_converter.h"
#include "errors.h"
#include "module_types.h"

namespace {

const char kModuleDoc[] =
    "Varn Binary Format - Complete 8-language ecosystem for efficient data storage and "
    "querying\n\nVersion " VARN_MODULE_VERSION ": Full Python bindings with compression and reading support";

const char kCompressCsvDoc[] =
    "compress_csv(csv_path, varn_path)\n--\n\n"
    "Compress CSV to VARN with true streaming \xE2\x80\x94 constant memory regardless of file size "
    "(v" VARN_CONVERTER_VERSION ").\n\nAlgorithm:\n  Pass 1 (scan): count rows only \xE2\x80\x94 O(1) memory\n  Pass 2 "
    "(write): stream CHUNK_SIZE rows at a time via StreamingVarnWriter\n  Memory usage = "
    "CHUNK_SIZE \xC3\x97 num_columns \xC3\x97 avg_value_size (constant, ~64MB)\n\nReturns: "
    "(csv_size, varn_size, compression_ratio)";

PyMethodDef kCompressCsvDef = {"compress_csv", VARN_FASTCALL_KW(varn::py::compress_csv_fn),
                               METH_FASTCALL | METH_KEYWORDS, kCompressCsvDoc};
PyMethodDef kGetVarnInfoDef = {"get_varn_info", VARN_FASTCALL_KW(varn::py::get_varn_info_fn),
                               METH_FASTCALL | METH_KEYWORDS,
                               "get_varn_info(varn_path)\n--\n\nGet VARN file information"};

PyModuleDef kModuleDef = {PyModuleDef_HEAD_INIT, "varn_fileformat", "Varn Python module", 0,
                          nullptr, nullptr, nullptr, nullptr, nullptr};

bool g_initialised = false;

// Appends `name` to __all__ (creating it on first use), then sets the attribute.
// Steals `value`.
bool add(PyObject* module, const char* name, PyObject* value) {
    if (!value) return false;
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        PyErr_Clear();
        all = PyList_New(0);
        if (!all || PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            Py_DECREF(value);
            return false;
        }
    }
    PyObject* text = PyUnicode_FromString(name);
    int rc = text ? PyList_Append(all, text) : -1;
    Py_XDECREF(text);
    Py_DECREF(all);
    if (rc < 0) {
        Py_DECREF(value);
        return false;
    }
    rc = PyObject_SetAttrString(module, name, value);
    Py_DECREF(value);
    return rc == 0;
}

}  // namespace

// Exported explicitly: before 3.9 PyMODINIT_FUNC carries no visibility attribute,
// and the module is built with hidden visibility.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_varn_fileformat(void) {
    if (g_initialised) {
        PyErr_SetString(PyExc_ImportError,
                        "Modules compiled for CPython 3.8 or older may only be initialized "
                        "once per interpreter process");
        return nullptr;
    }
    PyObject* module = PyModule_Create(&kModuleDef);
    if (!module) return nullptr;
    PyObject* name = PyModule_GetNameObject(module);
    bool ok = name && add(module, "__version__", PyUnicode_FromString(VARN_MODULE_VERSION)) &&
              add(module, "__doc__", PyUnicode_FromString(kModuleDoc)) &&
              add(module, "__author__", PyUnicode_FromString("Mara Lindqvist")) &&
              add(module, "compress_csv", PyCFunction_NewEx(&kCompressCsvDef, module, name)) &&
              add(module, "get_varn_info", PyCFunction_NewEx(&kGetVarnInfoDef, module, name)) &&
              add(module, "PyVarnWriter", varn::py::varn_writer_type()) &&
              add(module, "PyVarnReader", varn::py::varn_reader_type()) &&
              add(module, "PyPerformanceMonitor", varn::py::performance_monitor_type()) &&
              varn::py::internal_fault_type() != nullptr;
    Py_XDECREF(name);
    if (!ok) {
        Py_DECREF(module);
        return nullptr;
    }
    g_initialised = true;
    return module;
}
