// The module's type objects, each created once per process on first need.
// Each returns a new reference, or NULL with an exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

// The module's version: __version__, the module docstring, and what the
// file-information calls report.
#define VARN_MODULE_VERSION "1.1.2"

namespace varn::py {

PyObject* varn_writer_type();
PyObject* varn_reader_type();
PyObject* performance_monitor_type();

// Module-level functions.
PyObject* compress_csv_fn(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* get_varn_info_fn(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);

// Runs a conversion and builds the result tuple (shared by compress_csv and
// PyVarnWriter.write_csv).
PyObject* run_compress_csv(const std::string& csv_path, const std::string& varn_path);

// Creates a heap type from `spec` and keeps the signature line of `internal_doc`
// ("Name(args)\n--\n\nbody") so that __text_signature__ reads "(args)" and
// __doc__ the body.
PyObject* make_type(PyType_Spec* spec, const char* internal_doc);

}  // namespace varn::py

// The fast-call-with-keywords C signature; its typedef name differs between
// Python versions, so the method tables cast through this.
#define VARN_FASTCALL_KW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))
