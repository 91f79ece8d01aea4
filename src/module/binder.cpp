#include "binder.h"

#include <vector>

namespace varn::py {

namespace {

void missing_error(const Signature& sig, PyObject** out) {
    std::vector<const char*> missing;
    for (int i = 0; i < sig.count; ++i)
        if (!out[i]) missing.push_back(sig.names[i]);
    std::string list;
    for (size_t i = 0; i < missing.size(); ++i) {
        if (i) list += (i + 1 == missing.size()) ? (missing.size() > 2 ? ", and " : " and ") : ", ";
        list += '\'';
        list += missing[i];
        list += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %d required positional argument%s: %s",
                 sig.callable, static_cast<int>(missing.size()), missing.size() == 1 ? "" : "s",
                 list.c_str());
}

// As the interpreter words it, only positional arguments count as given:
// f(a, b, c, x=1) for f(a, b) "takes 2 positional arguments but 3 were given".
bool too_many(const Signature& sig, Py_ssize_t given) {
    if (sig.count == 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", sig.callable, given);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given",
                     sig.callable, sig.count, sig.count == 1 ? "" : "s", given,
                     given == 1 ? "was" : "were");
    }
    return false;
}

// Places one keyword argument; false with TypeError set on an unknown or duplicate name.
bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.callable);
        return false;
    }
    for (int i = 0; i < sig.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) {
            if (out[i]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                             sig.callable, sig.names[i]);
                return false;
            }
            out[i] = value;
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.callable, key);
    return false;
}

// Re-raises the pending exception of the same class with the callable and
// parameter named in front of its message.
void prefix_error(const Signature& sig, int index) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyObject* text = value ? PyObject_Str(value) : nullptr;
    if (text) {
        PyErr_Format(type, "%s() argument '%s': %U", sig.callable, sig.names[index], text);
        Py_DECREF(text);
    } else {
        PyErr_Clear();
        PyErr_Format(type, "%s() argument '%s' could not be converted", sig.callable,
                     sig.names[index]);
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
}

}  // namespace

bool bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** out) {
    for (int i = 0; i < sig.count; ++i) out[i] = nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > sig.count) return too_many(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (!place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
    }
    for (int i = 0; i < sig.count; ++i) {
        if (!out[i]) {
            missing_error(sig, out);
            return false;
        }
    }
    return true;
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    for (int i = 0; i < sig.count; ++i) out[i] = nullptr;
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > sig.count) return too_many(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!place_keyword(sig, key, value, out)) return false;
        }
    }
    for (int i = 0; i < sig.count; ++i) {
        if (!out[i]) {
            missing_error(sig, out);
            return false;
        }
    }
    return true;
}

bool convert_str(const Signature& sig, int index, PyObject* obj, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %.200s", sig.callable,
                     sig.names[index], Py_TYPE(obj)->tp_name);
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!utf8) return false;  // UnicodeEncodeError for lone surrogates, as the interpreter raises it
    out.assign(utf8, static_cast<size_t>(size));
    return true;
}

bool convert_path(const Signature& sig, int index, PyObject* obj, std::string& out) {
    PyObject* text = nullptr;
    if (PyUnicode_Check(obj)) {
        Py_INCREF(obj);
        text = obj;
    } else if (PyObject_HasAttrString(obj, "__fspath__") && !PyBytes_Check(obj)) {
        text = PyOS_FSPath(obj);
        if (!text) return false;
        if (!PyUnicode_Check(text)) {
            PyErr_Format(PyExc_TypeError, "%s() argument '%s': __fspath__ of %.200s gave %.200s, not str",
                         sig.callable, sig.names[index], Py_TYPE(obj)->tp_name, Py_TYPE(text)->tp_name);
            Py_DECREF(text);
            return false;
        }
    } else {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str or os.PathLike, not %.200s",
                     sig.callable, sig.names[index], Py_TYPE(obj)->tp_name);
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8) {
        Py_DECREF(text);
        return false;
    }
    out.assign(utf8, static_cast<size_t>(size));
    Py_DECREF(text);
    // A file-system path ends at its first NUL: refuse it rather than use a shorter path.
    if (out.find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null character");
        return false;
    }
    return true;
}

bool convert_u64(const Signature& sig, int index, PyObject* obj, uint64_t& out) {
    PyObject* number = PyNumber_Index(obj);
    if (!number) {
        prefix_error(sig, index);
        return false;
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(number);
    Py_DECREF(number);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        prefix_error(sig, index);
        return false;
    }
    out = v;
    return true;
}

bool convert_f64(const Signature& sig, int index, PyObject* obj, double& out) {
    double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a real number, not %.200s",
                         sig.callable, sig.names[index], Py_TYPE(obj)->tp_name);
        } else {
            prefix_error(sig, index);
        }
        return false;
    }
    out = v;
    return true;
}

}  // namespace varn::py
