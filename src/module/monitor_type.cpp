// PyPerformanceMonitor: the Python class over one PerformanceMonitor.
//
// Every method binds and converts all of its arguments before it calls the
// monitor, so an argument that fails to convert records nothing. A failed
// Status from the monitor (a poisoned lock) becomes the internal-fault
// exception.
#include <memory>
#include <string>
#include <vector>

#include "binder.h"
#include "errors.h"
#include "module_types.h"
#include "monitoring/performance_monitor.h"

namespace varn::py {

namespace {

const Signature kNewSig = {"PyPerformanceMonitor", nullptr, 0};
const char* const kBytesDurationParams[] = {"bytes", "duration_ms"};
const Signature kRecordReadSig = {"PyPerformanceMonitor.record_read", kBytesDurationParams, 2};
const Signature kRecordWriteSig = {"PyPerformanceMonitor.record_write", kBytesDurationParams, 2};
const char* const kCompressionParams[] = {"original_bytes", "compressed_bytes"};
const Signature kRecordCompressionSig = {"PyPerformanceMonitor.record_compression",
                                         kCompressionParams, 2};
const char* const kRowsColumnsParams[] = {"rows", "columns"};
const Signature kRecordRowsColumnsSig = {"PyPerformanceMonitor.record_rows_columns",
                                         kRowsColumnsParams, 2};
const char* const kMemoryParams[] = {"current", "peak"};
const Signature kUpdateMemorySig = {"PyPerformanceMonitor.update_memory", kMemoryParams, 2};
const char* const kHitRateParams[] = {"hit_rate"};
const Signature kUpdateCacheStatsSig = {"PyPerformanceMonitor.update_cache_stats", kHitRateParams,
                                        1};

struct MonitorObject {
    PyObject_HEAD
    PerformanceMonitor* monitor;
};

PerformanceMonitor& monitor_of(PyObject* self) {
    return *reinterpret_cast<MonitorObject*>(self)->monitor;
}

PyObject* none_or_fault(const Status& status) {
    if (status.failed()) return raise_status(status);
    Py_RETURN_NONE;
}

PyObject* str_or_fault(const Result<std::string>& text) {
    if (text.failed()) return raise_status(text.status());
    return str_from_utf8(text.value());
}

// The methods taking (bytes: u64, duration_ms: float).
template <Status (PerformanceMonitor::*Op)(uint64_t, double)>
PyObject* u64_f64_method(const Signature& sig, PyObject* self, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
    VARN_PY_BEGIN
    PyObject* bound[2];
    if (!bind_fast(sig, args, nargs, kwnames, bound)) return nullptr;
    uint64_t a = 0;
    double b = 0.0;
    if (!convert_u64(sig, 0, bound[0], a) || !convert_f64(sig, 1, bound[1], b)) return nullptr;
    return none_or_fault((monitor_of(self).*Op)(a, b));
    VARN_PY_END
}

// The methods taking two u64 arguments.
template <Status (PerformanceMonitor::*Op)(uint64_t, uint64_t)>
PyObject* u64_u64_method(const Signature& sig, PyObject* self, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
    VARN_PY_BEGIN
    PyObject* bound[2];
    if (!bind_fast(sig, args, nargs, kwnames, bound)) return nullptr;
    uint64_t a = 0, b = 0;
    if (!convert_u64(sig, 0, bound[0], a) || !convert_u64(sig, 1, bound[1], b)) return nullptr;
    return none_or_fault((monitor_of(self).*Op)(a, b));
    VARN_PY_END
}

PyObject* monitor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    VARN_PY_BEGIN
    if (!bind_tuple(kNewSig, args, kwargs, nullptr)) return nullptr;
    auto monitor = std::make_unique<PerformanceMonitor>();
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    reinterpret_cast<MonitorObject*>(self)->monitor = monitor.release();
    return self;
    VARN_PY_END
}

void monitor_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<MonitorObject*>(self)->monitor;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* record_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return u64_f64_method<&PerformanceMonitor::record_read>(kRecordReadSig, self, args, nargs,
                                                            kwnames);
}

PyObject* record_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return u64_f64_method<&PerformanceMonitor::record_write>(kRecordWriteSig, self, args, nargs,
                                                             kwnames);
}

PyObject* record_compression(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return u64_u64_method<&PerformanceMonitor::record_compression>(kRecordCompressionSig, self,
                                                                   args, nargs, kwnames);
}

PyObject* record_rows_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return u64_u64_method<&PerformanceMonitor::record_rows_columns>(kRecordRowsColumnsSig, self,
                                                                    args, nargs, kwnames);
}

PyObject* update_memory(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    return u64_u64_method<&PerformanceMonitor::update_memory>(kUpdateMemorySig, self, args, nargs,
                                                              kwnames);
}

PyObject* update_cache_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    VARN_PY_BEGIN
    PyObject* bound[1];
    if (!bind_fast(kUpdateCacheStatsSig, args, nargs, kwnames, bound)) return nullptr;
    double hit_rate = 0.0;
    if (!convert_f64(kUpdateCacheStatsSig, 0, bound[0], hit_rate)) return nullptr;
    return none_or_fault(monitor_of(self).update_cache_stats(hit_rate));
    VARN_PY_END
}

PyObject* record_error(PyObject* self, PyObject*) {
    VARN_PY_BEGIN
    return none_or_fault(monitor_of(self).record_error());
    VARN_PY_END
}

PyObject* get_metrics(PyObject* self, PyObject*) {
    VARN_PY_BEGIN
    return str_or_fault(monitor_of(self).export_json());
    VARN_PY_END
}

// Sets dict[key] = value and releases value; false with the Python error set.
bool put(PyObject* dict, const char* key, PyObject* value) {
    if (!value) return false;
    int rc = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return rc == 0;
}

PyObject* u64(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

PyObject* get_metrics_dict(PyObject* self, PyObject*) {
    VARN_PY_BEGIN
    // Copied under the lock; the dict is built with no lock held.
    Result<VarnMetrics> snapshot = monitor_of(self).get_metrics();
    if (snapshot.failed()) return raise_status(snapshot.status());
    const VarnMetrics& m = snapshot.value();
    PyObject* dict = PyDict_New();
    if (!dict) return nullptr;
    bool ok = put(dict, "total_bytes_read", u64(m.total_bytes_read)) &&
              put(dict, "total_bytes_written", u64(m.total_bytes_written)) &&
              put(dict, "read_operations", u64(m.read_operations)) &&
              put(dict, "write_operations", u64(m.write_operations)) &&
              put(dict, "avg_read_latency_ms", PyFloat_FromDouble(m.avg_read_latency_ms)) &&
              put(dict, "avg_write_latency_ms", PyFloat_FromDouble(m.avg_write_latency_ms)) &&
              put(dict, "read_throughput_mbps", PyFloat_FromDouble(read_throughput_mbps(m))) &&
              put(dict, "write_throughput_mbps", PyFloat_FromDouble(write_throughput_mbps(m))) &&
              put(dict, "compression_ratio", PyFloat_FromDouble(m.compression_ratio)) &&
              put(dict, "current_memory_bytes", u64(m.current_memory_bytes)) &&
              put(dict, "peak_memory_bytes", u64(m.peak_memory_bytes)) &&
              put(dict, "rows_processed", u64(m.rows_processed)) &&
              put(dict, "columns_processed", u64(m.columns_processed)) &&
              put(dict, "cache_hit_rate", PyFloat_FromDouble(m.cache_hit_rate)) &&
              put(dict, "active_operations", u64(m.active_operations)) &&
              put(dict, "total_errors", u64(m.total_errors)) &&
              put(dict, "timestamp", str_from_utf8(m.timestamp));
    if (!ok) {
        Py_DECREF(dict);
        return nullptr;
    }
    return dict;
    VARN_PY_END
}

PyObject* get_alerts(PyObject* self, PyObject*) {
    VARN_PY_BEGIN
    Result<std::vector<AlertEvent>> alerts = monitor_of(self).get_alerts();
    if (alerts.failed()) return raise_status(alerts.status());
    std::string json;
    try {
        json = alerts_to_json(alerts.value());
    } catch (const std::exception&) {
        json.clear();  // a list that cannot be serialised reads as ""
    }
    return str_from_utf8(json);
    VARN_PY_END
}

PyObject* clear_alerts(PyObject* self, PyObject*) {
    VARN_PY_BEGIN
    return none_or_fault(monitor_of(self).clear_alerts());
    VARN_PY_END
}

PyObject* export_prometheus(PyObject* self, PyObject*) {
    VARN_PY_BEGIN
    return str_or_fault(monitor_of(self).export_prometheus());
    VARN_PY_END
}

PyMethodDef kMonitorMethods[] = {
    {"record_read", VARN_FASTCALL_KW(record_read), METH_FASTCALL | METH_KEYWORDS,
     "record_read($self, bytes, duration_ms)\n--\n\n"},
    {"record_write", VARN_FASTCALL_KW(record_write), METH_FASTCALL | METH_KEYWORDS,
     "record_write($self, bytes, duration_ms)\n--\n\n"},
    {"record_compression", VARN_FASTCALL_KW(record_compression), METH_FASTCALL | METH_KEYWORDS,
     "record_compression($self, original_bytes, compressed_bytes)\n--\n\n"},
    {"record_rows_columns", VARN_FASTCALL_KW(record_rows_columns), METH_FASTCALL | METH_KEYWORDS,
     "record_rows_columns($self, rows, columns)\n--\n\n"},
    {"update_memory", VARN_FASTCALL_KW(update_memory), METH_FASTCALL | METH_KEYWORDS,
     "update_memory($self, current, peak)\n--\n\n"},
    {"update_cache_stats", VARN_FASTCALL_KW(update_cache_stats), METH_FASTCALL | METH_KEYWORDS,
     "update_cache_stats($self, hit_rate)\n--\n\n"},
    {"record_error", record_error, METH_NOARGS, "record_error($self)\n--\n\n"},
    {"get_metrics", get_metrics, METH_NOARGS, "get_metrics($self)\n--\n\n"},
    {"get_metrics_dict", get_metrics_dict, METH_NOARGS, "get_metrics_dict($self)\n--\n\n"},
    {"get_alerts", get_alerts, METH_NOARGS, "get_alerts($self)\n--\n\n"},
    {"clear_alerts", clear_alerts, METH_NOARGS, "clear_alerts($self)\n--\n\n"},
    {"export_prometheus", export_prometheus, METH_NOARGS, "export_prometheus($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kMonitorSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(monitor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(monitor_dealloc)},
    {Py_tp_methods, kMonitorMethods},
    {0, nullptr},
};

PyType_Spec kMonitorSpec = {"varn_fileformat.PyPerformanceMonitor", sizeof(MonitorObject), 0,
                            Py_TPFLAGS_DEFAULT, kMonitorSlots};

}  // namespace

PyObject* performance_monitor_type() {
    static PyObject* type = nullptr;  // created once per process
    if (!type)
        type = make_type(&kMonitorSpec,
                         "PyPerformanceMonitor()\n--\n\nPerformance Monitor Python wrapper");
    Py_XINCREF(type);
    return type;
}

}  // namespace varn::py
