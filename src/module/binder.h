// The one argument binder of the module: matches positional and keyword
// arguments to a callable's parameter names and converts them, raising
// TypeError / OverflowError worded like the interpreter's own and naming the
// callable and the parameter. Every function, method and constructor uses it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>

namespace varn::py {

struct Signature {
    const char* callable;  // "compress_csv", "PyPerformanceMonitor.record_read", ...
    const char* const* names;
    int count;
};

// Fast-call-with-keywords binding: fills out[0..count) with borrowed references.
bool bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out);
// Tuple-and-dict binding, for tp_new.
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Conversions; on failure a Python exception is set and false returned.
// str: only str objects, taken as UTF-8 (lone surrogates raise the encoding error).
bool convert_str(const Signature& sig, int index, PyObject* obj, std::string& out);
// A file-system path: a str, or an os.PathLike whose __fspath__ gives a str.
// A NUL in it raises ValueError("embedded null character").
bool convert_path(const Signature& sig, int index, PyObject* obj, std::string& out);
// Unsigned 64-bit: any object with __index__; negative or >= 2**64 is OverflowError.
bool convert_u64(const Signature& sig, int index, PyObject* obj, uint64_t& out);
// float: anything the float protocol accepts.
bool convert_f64(const Signature& sig, int index, PyObject* obj, double& out);

}  // namespace varn::py
