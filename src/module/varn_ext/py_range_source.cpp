#include "py_range_source.h"

#include <algorithm>
#include <cstring>

namespace varn::py {

namespace {

// Blocks of the last two prefetch calls are kept: the stream prefetches
// two windows ahead, so by its next call but one the chunks of a call are
// given out. Older blocks go once the cache holds more than this.
constexpr uint64_t kKeepOld = 64 << 20;

std::string exception_text() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    std::string text = "unknown error";
    if (value) {
        PyObject* s = PyObject_Str(value);
        const char* name = reinterpret_cast<PyTypeObject*>(type)->tp_name;
        const char* utf8 = s ? PyUnicode_AsUTF8(s) : nullptr;
        text = std::string(name ? name : "error") + (utf8 && *utf8 ? std::string(": ") + utf8 : "");
        Py_XDECREF(s);
    }
    PyErr_Clear();
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return text;
}

}  // namespace

PyRangeSource::PyRangeSource(PyObject* fetch, uint64_t size, std::string url, uint64_t cache_limit)
    : fetch_(fetch), size_(size), url_(std::move(url)), cache_limit_(cache_limit) {
    Py_INCREF(fetch_);
}

PyRangeSource::~PyRangeSource() {
    // The last reader may go on a thread without the GIL.
    if (!Py_IsInitialized()) return;
    PyGILState_STATE g = PyGILState_Ensure();
    Py_DECREF(fetch_);
    PyGILState_Release(g);
}

uint64_t PyRangeSource::fetches() const {
    std::lock_guard<std::mutex> lock(mu_);
    return fetches_;
}

Status PyRangeSource::fetch(const std::vector<ByteRange>& ranges, std::vector<std::string>& out) const {
    uint64_t lo = UINT64_MAX, hi = 0;
    for (const ByteRange& r : ranges) {
        lo = std::min(lo, r.offset);
        hi = std::max(hi, r.offset + r.length);
    }
    const std::string place = url_ + ": bytes " + std::to_string(lo) + "-" + std::to_string(hi) +
                              (ranges.size() > 1 ? " (" + std::to_string(ranges.size()) + " ranges)" : "");
    if (!Py_IsInitialized()) return Status::io_error(place + ": the interpreter is shutting down");
    {
        std::lock_guard<std::mutex> lock(mu_);
        ++fetches_;
    }
    Status st = Status::ok();
    PyGILState_STATE g = PyGILState_Ensure();
    PyObject* starts = PyList_New(static_cast<Py_ssize_t>(ranges.size()));
    PyObject* ends = PyList_New(static_cast<Py_ssize_t>(ranges.size()));
    PyObject* got = nullptr;
    bool ok = starts && ends;
    for (size_t i = 0; ok && i < ranges.size(); ++i) {
        PyObject* a = PyLong_FromUnsignedLongLong(ranges[i].offset);
        PyObject* b = PyLong_FromUnsignedLongLong(ranges[i].offset + ranges[i].length);
        ok = a && b;
        if (a) PyList_SET_ITEM(starts, static_cast<Py_ssize_t>(i), a);
        if (b) PyList_SET_ITEM(ends, static_cast<Py_ssize_t>(i), b);
    }
    if (ok) got = PyObject_CallFunctionObjArgs(fetch_, starts, ends, nullptr);
    if (!got) {
        const bool interrupted = PyErr_ExceptionMatches(PyExc_KeyboardInterrupt);
        const std::string why = exception_text();
        st = interrupted ? Status::interrupted(place + ": interrupted")
                         : Status::io_error(place + ": the request failed: " + why);
    } else {
        PyObject* seq = PySequence_Fast(got, "fetch must return a list of bytes");
        if (!seq || PySequence_Fast_GET_SIZE(seq) != static_cast<Py_ssize_t>(ranges.size())) {
            if (PyErr_Occurred()) PyErr_Clear();
            st = Status::io_error(place + ": the request gave no list of " +
                                  std::to_string(ranges.size()) + " ranges");
        } else {
            out.resize(ranges.size());
            for (size_t i = 0; st.is_ok() && i < ranges.size(); ++i) {
                PyObject* item = PySequence_Fast_GET_ITEM(seq, static_cast<Py_ssize_t>(i));
                Py_buffer view;
                if (PyObject_GetBuffer(item, &view, PyBUF_SIMPLE) != 0) {
                    PyErr_Clear();
                    st = Status::io_error(place + ": the request gave no bytes");
                    break;
                }
                const uint64_t want = ranges[i].length;
                if (static_cast<uint64_t>(view.len) < want) {
                    // The object is shorter than the size the file was opened with.
                    st = Status::corrupt(url_ + ": the file ends at " +
                                         std::to_string(ranges[i].offset + static_cast<uint64_t>(view.len)) +
                                         ", inside bytes " + std::to_string(ranges[i].offset) + "-" +
                                         std::to_string(ranges[i].offset + want));
                } else {
                    out[i].assign(static_cast<const char*>(view.buf), static_cast<size_t>(want));
                }
                PyBuffer_Release(&view);
            }
        }
        Py_XDECREF(seq);
    }
    Py_XDECREF(got);
    Py_XDECREF(starts);
    Py_XDECREF(ends);
    PyGILState_Release(g);
    return st;
}

Status PyRangeSource::read_at(uint64_t offset, size_t n, uint8_t* out) const {
    if (offset > size_ || n > size_ - offset) {
        return Status::corrupt("the file ends at " + std::to_string(size_) + ", inside it (" +
                               std::to_string(n) + " bytes expected)");
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto it = blocks_.begin(); it != blocks_.end(); ++it) {
            if (offset < it->offset || offset + n > it->offset + it->data.size()) continue;
            std::memcpy(out, it->data.data() + (offset - it->offset), n);
            it->used += n;
            // Every byte served (a block of records without gaps): done with.
            if (it->used >= it->data.size()) {
                cached_ -= it->data.size();
                blocks_.erase(it);
            }
            return Status::ok();
        }
    }
    std::vector<std::string> got;
    VARN_RETURN_IF_ERROR(fetch({ByteRange{offset, n}}, got));
    std::memcpy(out, got[0].data(), n);
    return Status::ok();
}

Status PyRangeSource::prefetch(const std::vector<ByteRange>& ranges) {
    std::vector<ByteRange> missing;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (const ByteRange& r : ranges) {
            if (r.offset > size_ || r.length > size_ - r.offset || r.length == 0) continue;
            const bool held = std::any_of(blocks_.begin(), blocks_.end(), [&](const Block& b) {
                return r.offset >= b.offset && r.offset + r.length <= b.offset + b.data.size();
            });
            if (!held) missing.push_back(r);
        }
    }
    if (missing.empty()) return Status::ok();
    std::vector<std::string> got;
    VARN_RETURN_IF_ERROR(fetch(missing, got));
    std::lock_guard<std::mutex> lock(mu_);
    ++generation_;
    for (size_t i = 0; i < missing.size(); ++i) {
        cached_ += got[i].size();
        blocks_.push_back(Block{missing[i].offset, std::move(got[i]), 0, generation_});
    }
    evict();
    return Status::ok();
}

void PyRangeSource::add(uint64_t offset, std::string bytes) {
    std::lock_guard<std::mutex> lock(mu_);
    cached_ += bytes.size();
    blocks_.push_back(Block{offset, std::move(bytes), 0, generation_});
    evict();
}

void PyRangeSource::evict() {
    for (auto it = blocks_.begin(); it != blocks_.end() && cached_ > kKeepOld;) {
        if (it->generation + 2 <= generation_) {
            cached_ -= it->data.size();
            it = blocks_.erase(it);
        } else {
            ++it;
        }
    }
    // The newest block stays, whatever its size.
    while (cached_ > cache_limit_ && blocks_.size() > 1) {
        cached_ -= blocks_.front().data.size();
        blocks_.pop_front();
    }
}

}  // namespace varn::py
