// Turning core failures into Python exceptions, in one place.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>

#include <string>

#include "common/forced_unwind.h"
#include "common/result.h"

namespace varn::py {

// The one translation of a core failure into a Python exception; sets it and
// returns nullptr. By category:
//   io             OSError, a plain one whose only argument is the message
//   invalid_input  ValueError
//   corrupt        `damaged`: ValueError in varn_fileformat, varn.VarnError
//                  (a ValueError) in the varn package
//   interrupted    the exception already set (by a callback, or a signal
//                  handler run between batches), else KeyboardInterrupt
//   out_of_memory  MemoryError
//   internal       the internal fault (see internal_fault_type)
PyObject* raise_status(const Status& status, PyObject* damaged);
inline PyObject* raise_status(const Status& status) { return raise_status(status, PyExc_ValueError); }

// The internal-fault exception: derived from BaseException so that ordinary
// `except Exception` handlers do not swallow a broken invariant.
PyObject* internal_fault_type();
PyObject* raise_internal_fault(const char* message);
// A str from UTF-8 bytes (invalid sequences replaced, so it never fails on content).
PyObject* str_from_utf8(const std::string& text);

}  // namespace varn::py

// Wraps a callable's body: a C++ exception never unwinds into the interpreter.
// Running out of memory is MemoryError, anything else the internal fault; the
// forced unwinding that ends the thread goes on.
#define VARN_PY_BEGIN try {
#define VARN_PY_END                                                  \
    }                                                                \
    VARN_RETHROW_FORCED_UNWIND                                       \
    catch (const std::bad_alloc&) {                                  \
        return PyErr_NoMemory();                                     \
    }                                                                \
    catch (const std::exception& e) {                                \
        return ::varn::py::raise_internal_fault(e.what());           \
    }                                                                \
    catch (...) {                                                    \
        return ::varn::py::raise_internal_fault("unknown internal fault"); \
    }
