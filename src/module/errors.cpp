#include "errors.h"

namespace varn::py {

PyObject* str_from_utf8(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

namespace {

PyObject* set_with_message(PyObject* type, const std::string& message) {
    PyObject* text = str_from_utf8(message);
    if (!text) return nullptr;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
    return nullptr;
}

// A plain OSError whose only argument is the message (errno and filename None).
PyObject* raise_os_error(const std::string& message) {
    // A one-argument OSError is never mapped to a subclass such as FileNotFoundError.
    PyObject* text = str_from_utf8(message);
    if (!text) return nullptr;
    PyObject* exc = PyObject_CallFunctionObjArgs(PyExc_OSError, text, nullptr);
    Py_DECREF(text);
    if (!exc) return nullptr;
    PyErr_SetObject(PyExc_OSError, exc);
    Py_DECREF(exc);
    return nullptr;
}

}  // namespace

PyObject* raise_status(const Status& status, PyObject* damaged) {
    const std::string& message = status.message();
    switch (status.kind()) {
        case ErrorKind::io: return raise_os_error(message);
        case ErrorKind::invalid_input: return set_with_message(PyExc_ValueError, message);
        case ErrorKind::corrupt: return set_with_message(damaged, message);
        case ErrorKind::interrupted:
            if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
            return nullptr;
        case ErrorKind::out_of_memory:
            if (message.empty()) return PyErr_NoMemory();
            return set_with_message(PyExc_MemoryError, message);
        case ErrorKind::none:  // not a failure: a caller's broken invariant
        case ErrorKind::internal: break;
    }
    return raise_internal_fault(message.empty() ? "a failure without a message" : message.c_str());
}

PyObject* internal_fault_type() {
    static PyObject* type = nullptr;  // created once per process
    if (!type) {
        type = PyErr_NewExceptionWithDoc(
            "varn_fileformat.InternalFault",
            "An operation that cannot fail in normal use failed inside the extension.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

PyObject* raise_internal_fault(const char* message) {
    PyObject* type = internal_fault_type();
    if (!type) return nullptr;
    return set_with_message(type, message);
}

}  // namespace varn::py
