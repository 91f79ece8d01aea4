"""PyPerformanceMonitor: recording arithmetic, alerts, the three exports, the
timestamps, and argument failures that must leave the monitor untouched."""
import datetime
import json
import math
import os
import re
import subprocess
import sys
import time
from decimal import Decimal

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import varn_fileformat as vf

Monitor = vf.PyPerformanceMonitor

METHODS = [
    ("record_read", "($self, bytes, duration_ms)"),
    ("record_write", "($self, bytes, duration_ms)"),
    ("record_compression", "($self, original_bytes, compressed_bytes)"),
    ("record_rows_columns", "($self, rows, columns)"),
    ("update_memory", "($self, current, peak)"),
    ("update_cache_stats", "($self, hit_rate)"),
    ("record_error", "($self)"),
    ("get_metrics", "($self)"),
    ("get_metrics_dict", "($self)"),
    ("get_alerts", "($self)"),
    ("clear_alerts", "($self)"),
    ("export_prometheus", "($self)"),
]

DICT_KEYS = [
    "total_bytes_read", "total_bytes_written", "read_operations", "write_operations",
    "avg_read_latency_ms", "avg_write_latency_ms", "read_throughput_mbps",
    "write_throughput_mbps", "compression_ratio", "current_memory_bytes", "peak_memory_bytes",
    "rows_processed", "columns_processed", "cache_hit_rate", "active_operations",
    "total_errors", "timestamp",
]
FLOAT_KEYS = {"avg_read_latency_ms", "avg_write_latency_ms", "read_throughput_mbps",
              "write_throughput_mbps", "compression_ratio", "cache_hit_rate"}

TIMESTAMP = re.compile(
    r"(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})(\.\d{3}|\.\d{6}|\.\d{9})?([+-])(\d{2}):(\d{2})"
)


def fixed2(x):
    """The fixed2 text: Python's %-formatting also rounds the exact binary value, ties to even."""
    if math.isnan(x):
        return "NaN"
    return "%.2f" % x


def shortest_json(x):
    """Reference for the alert JSON numbers, built from Python's own shortest digits (repr)."""
    if not math.isfinite(x):
        return "null"
    neg = "-" if math.copysign(1.0, x) < 0 else ""
    if x == 0:
        return neg + "0.0"
    _, digit_tuple, exp = Decimal(repr(x)).as_tuple()
    digits = "".join(map(str, digit_tuple))
    first = len(digits) + exp - 1  # decimal exponent of the first significant digit
    digits = digits.rstrip("0")
    if -5 <= first <= 15:
        if first >= 0:
            whole = digits[: first + 1].ljust(first + 1, "0")
            frac = digits[first + 1:] or "0"
        else:
            whole, frac = "0", "0" * (-first - 1) + digits
        return neg + whole + "." + frac
    mant = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
    return neg + mant + "e" + ("-" if first < 0 else "+") + str(abs(first))


def json_text(d):
    """The JSON export expected for a metrics dictionary."""
    return "\n".join([
        "{",
        '  "total_bytes_read": %d,' % d["total_bytes_read"],
        '  "total_bytes_written": %d,' % d["total_bytes_written"],
        '  "read_operations": %d,' % d["read_operations"],
        '  "write_operations": %d,' % d["write_operations"],
        '  "avg_read_latency_ms": %s,' % fixed2(d["avg_read_latency_ms"]),
        '  "avg_write_latency_ms": %s,' % fixed2(d["avg_write_latency_ms"]),
        '  "read_throughput_mbps": %s,' % fixed2(d["read_throughput_mbps"]),
        '  "write_throughput_mbps": %s,' % fixed2(d["write_throughput_mbps"]),
        '  "compression_ratio": %s,' % fixed2(d["compression_ratio"]),
        '  "peak_memory_bytes": %d,' % d["peak_memory_bytes"],
        '  "current_memory_bytes": %d,' % d["current_memory_bytes"],
        '  "rows_processed": %d,' % d["rows_processed"],
        '  "columns_processed": %d,' % d["columns_processed"],
        '  "cache_hit_rate": %s,' % fixed2(d["cache_hit_rate"]),
        '  "active_operations": %d,' % d["active_operations"],
        '  "total_errors": %d,' % d["total_errors"],
        '  "timestamp": "%s"' % d["timestamp"],
        "}",
    ])


def json_value(text, key):
    return re.search(r'\n  "%s": ([^,\n]*)' % key, text).group(1)


def alerts(m):
    return json.loads(m.get_alerts())


# --- the class surface ---

def test_class_and_method_signatures():
    assert Monitor.__text_signature__ == "()"
    assert Monitor.__doc__ == "Performance Monitor Python wrapper"
    for name, sig in METHODS:
        method = getattr(Monitor, name)
        assert method.__text_signature__ == sig, name
        assert method.__doc__ is None, name
    public = [k for k in vars(Monitor) if not k.startswith("_")]
    assert public == [name for name, _ in METHODS]
    assert not hasattr(Monitor, "export_json")


def test_fresh_instance_texts_whole():
    m = Monitor()
    d = m.get_metrics_dict()
    assert m.get_alerts() == "[]"
    assert d["read_operations"] == 0
    text = m.get_metrics()
    assert text == (
        '{\n  "total_bytes_read": 0,\n  "total_bytes_written": 0,\n  "read_operations": 0,\n'
        '  "write_operations": 0,\n  "avg_read_latency_ms": 0.00,\n  "avg_write_latency_ms": 0.00,\n'
        '  "read_throughput_mbps": 0.00,\n  "write_throughput_mbps": 0.00,\n'
        '  "compression_ratio": 0.00,\n  "peak_memory_bytes": 0,\n  "current_memory_bytes": 0,\n'
        '  "rows_processed": 0,\n  "columns_processed": 0,\n  "cache_hit_rate": 0.00,\n'
        '  "active_operations": 0,\n  "total_errors": 0,\n  "timestamp": "' + d["timestamp"] + '"\n}'
    )
    assert len(text.split("\n")) == 19
    assert m.export_prometheus() == (
        "varn_total_bytes_read_total {} 0\nvarn_total_bytes_written_total {} 0\n"
        "varn_read_operations_total {} 0\nvarn_write_operations_total {} 0\n"
        "varn_avg_read_latency_ms {} 0.00\nvarn_avg_write_latency_ms {} 0.00\n"
        "varn_compression_ratio_percent {} 0.00\nvarn_current_memory_bytes {} 0\n"
        "varn_cache_hit_rate {} 0.00\nvarn_total_errors {} 0\n"
    )


def test_metrics_dict_order_types_and_unrounded_values():
    m = Monitor()
    m.record_read(1, 2.675)
    m.update_memory(5, 9)
    m.update_cache_stats(0.123456789)
    m.record_compression(3, 1)
    d = m.get_metrics_dict()
    assert list(d) == DICT_KEYS
    for key, value in d.items():
        expected = float if key in FLOAT_KEYS else str if key == "timestamp" else int
        assert type(value) is expected, key
    assert d["avg_read_latency_ms"] == 2.675
    assert d["cache_hit_rate"] == 0.123456789
    assert d["compression_ratio"] == (1.0 - 1 / 3) * 100.0
    assert (d["current_memory_bytes"], d["peak_memory_bytes"]) == (5, 9)
    assert m.get_metrics_dict() is not d
    text = m.get_metrics()
    assert text.index('"peak_memory_bytes": 9') < text.index('"current_memory_bytes": 5')
    prom = m.export_prometheus()
    assert "varn_current_memory_bytes {} 5\n" in prom and "peak" not in prom


# --- recording arithmetic ---

def test_running_means_and_totals():
    durations = [0.1, 0.2, 0.7, 1.3, 0.9, 3.3, 0.01, 7.77]
    m = Monitor()
    mean = 0.0
    for n, d in enumerate(durations):
        m.record_read(1000, d)
        m.record_write(7, d)
        mean = (d + mean * n) / (n + 1)
        got = m.get_metrics_dict()
        assert got["avg_read_latency_ms"] == mean
        assert got["avg_write_latency_ms"] == mean
    got = m.get_metrics_dict()
    assert (got["total_bytes_read"], got["read_operations"]) == (8000, 8)
    assert (got["total_bytes_written"], got["write_operations"]) == (56, 8)


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(st.integers(0, 2**64 - 1),
                          st.floats(allow_nan=False, allow_infinity=False, width=64,
                                    min_value=-1e6, max_value=1e6)),
                max_size=30))
def test_reads_match_the_model(reads):
    m = Monitor()
    total, mean = 0, 0.0
    for n, (b, d) in enumerate(reads):
        m.record_read(b, d)
        total = (total + b) % 2**64
        mean = (d + mean * n) / (n + 1)
    got = m.get_metrics_dict()
    assert got["total_bytes_read"] == total
    assert got["read_operations"] == len(reads)
    assert got["avg_read_latency_ms"] == mean
    assert sum(1 for a in alerts(m) if a["alert_type"] == "HighLatency") == sum(
        1 for _, d in reads if d > 1000.0)


def test_compression_memory_rows_cache():
    m = Monitor()
    cases = [((1000, 250), 75.0), ((1000, 1500), -50.0), ((0, 7), -math.inf)]
    for args, ratio in cases:
        m.record_compression(*args)
        assert m.get_metrics_dict()["compression_ratio"] == ratio
    m.record_compression(0, 0)
    assert math.isnan(m.get_metrics_dict()["compression_ratio"])
    assert json_value(m.get_metrics(), "compression_ratio") == "NaN"
    assert "varn_compression_ratio_percent {} NaN\n" in m.export_prometheus()

    m.update_memory(5, 3)
    m.update_memory(1, 2)  # the peak is replaced, not kept as a maximum
    d = m.get_metrics_dict()
    assert (d["current_memory_bytes"], d["peak_memory_bytes"]) == (1, 2)

    m.record_rows_columns(10, 3)
    m.record_rows_columns(10, 3)
    m.record_rows_columns(2**64 - 1, 0)
    d = m.get_metrics_dict()
    assert (d["rows_processed"], d["columns_processed"]) == (19, 6)

    m.update_cache_stats(float("nan"))
    assert math.isnan(m.get_metrics_dict()["cache_hit_rate"])
    assert m.get_alerts() == "[]"


@pytest.mark.parametrize("reads, mbps", [
    ([(2000000, 500.0)], 4.0),
    ([(2000000, 500.0), (2000000, 500.0)], 4.0),   # 4 MB over 1 s in total
    ([(1000000, 100.0), (3000000, 300.0)], 10.0),
    ([(10, 0.0)], math.inf),
])
def test_throughput_over_the_summed_latency(reads, mbps):
    m = Monitor()
    for b, d in reads:
        m.record_read(b, d)
    d = m.get_metrics_dict()
    assert d["read_throughput_mbps"] == pytest.approx(mbps)
    assert d["write_throughput_mbps"] == 0.0
    assert json_value(m.get_metrics(), "read_throughput_mbps") == fixed2(mbps)
    assert json_value(m.get_metrics(), "write_throughput_mbps") == "0.00"


def test_zero_latency_and_zero_bytes_give_nan_throughput():
    m = Monitor()
    m.record_read(0, 0.0)
    assert math.isnan(m.get_metrics_dict()["read_throughput_mbps"])
    assert json_value(m.get_metrics(), "read_throughput_mbps") == "NaN"


@pytest.mark.parametrize("value, text", [
    (2.675, "2.67"), (2.345, "2.35"), (0.125, "0.12"),
    (math.inf, "inf"), (-math.inf, "-inf"), (math.nan, "NaN"), (-1.005, "-1.00"),
])
def test_fixed2_in_the_exports(value, text):
    m = Monitor()
    m.record_read(1, value)
    m.update_cache_stats(value)
    j = m.get_metrics()
    assert json_value(j, "avg_read_latency_ms") == text
    assert json_value(j, "cache_hit_rate") == text
    p = m.export_prometheus()
    assert "\nvarn_avg_read_latency_ms {} %s\n" % text in p
    assert "\nvarn_cache_hit_rate {} %s\n" % text in p


@settings(max_examples=200, deadline=None)
@given(st.floats(width=64))
def test_fixed2_matches_correct_rounding(x):
    m = Monitor()
    m.update_cache_stats(x)  # stored as given, -0.0 included
    assert json_value(m.get_metrics(), "cache_hit_rate") == fixed2(x)
    assert "\nvarn_cache_hit_rate {} %s\n" % fixed2(x) in m.export_prometheus()


OPERATIONS = st.one_of(
    st.tuples(st.just("record_read"), st.integers(0, 2**64 - 1), st.floats(width=64)),
    st.tuples(st.just("record_write"), st.integers(0, 2**64 - 1), st.floats(width=64)),
    st.tuples(st.just("record_compression"), st.integers(0, 2**64 - 1), st.integers(0, 2**64 - 1)),
    st.tuples(st.just("record_rows_columns"), st.integers(0, 2**64 - 1), st.integers(0, 2**64 - 1)),
    st.tuples(st.just("update_memory"), st.integers(0, 2**64 - 1), st.integers(0, 2**64 - 1)),
    st.tuples(st.just("update_cache_stats"), st.floats(width=64)),
    st.tuples(st.just("record_error")),
)


@settings(max_examples=80, deadline=None)
@given(st.lists(OPERATIONS, max_size=20))
def test_json_export_agrees_with_the_dictionary(ops):
    m = Monitor()
    for name, *args in ops:
        getattr(m, name)(*args)
    d = m.get_metrics_dict()
    assert m.get_metrics() == json_text(d)
    assert m.export_prometheus() == "".join("%s {} %s\n" % kv for kv in [
        ("varn_total_bytes_read_total", d["total_bytes_read"]),
        ("varn_total_bytes_written_total", d["total_bytes_written"]),
        ("varn_read_operations_total", d["read_operations"]),
        ("varn_write_operations_total", d["write_operations"]),
        ("varn_avg_read_latency_ms", fixed2(d["avg_read_latency_ms"])),
        ("varn_avg_write_latency_ms", fixed2(d["avg_write_latency_ms"])),
        ("varn_compression_ratio_percent", fixed2(d["compression_ratio"])),
        ("varn_current_memory_bytes", d["current_memory_bytes"]),
        ("varn_cache_hit_rate", fixed2(d["cache_hit_rate"])),
        ("varn_total_errors", d["total_errors"]),
    ])


# --- alerts ---

def test_alert_of_each_kind():
    def reads_then_error(m):
        for _ in range(10):
            m.record_read(1, 1.0)
        m.record_error()

    cases = [
        (lambda m: m.record_read(100, 1500.0), "HighLatency",
         "Read operation took 1500.00ms", 1500.0, 1000.0),
        (lambda m: m.update_memory(2000000000, 0), "HighMemoryUsage",
         "Memory usage: 2000.00MB", 2000000000.0, 1000000000.0),
        (lambda m: m.update_cache_stats(0.25), "LowCacheHitRate",
         "Cache hit rate: 25.00%", 0.25, 0.3),
        (reads_then_error, "HighErrorRate", "Error rate: 10.00%", 0.1, 0.05),
        (lambda m: m.record_error(), "HighErrorRate", "Error rate: inf%", None, 0.05),
        (lambda m: m.record_read(0, math.inf), "HighLatency",
         "Read operation took infms", None, 1000.0),
    ]
    for act, kind, message, value, threshold in cases:
        m = Monitor()
        act(m)
        text = m.get_alerts()
        [alert] = json.loads(text)
        assert list(alert) == ["alert_type", "message", "timestamp", "metric_value", "threshold"]
        assert alert["alert_type"] == kind
        assert alert["message"] == message
        assert alert["metric_value"] == value
        assert alert["threshold"] == threshold
        assert TIMESTAMP.fullmatch(alert["timestamp"])
        assert text.startswith('[{"alert_type":"%s",' % kind)


def test_alert_text_whole():
    m = Monitor()
    m.record_read(100, 1500.0)
    m.update_memory(2000000000, 0)
    m.record_error()
    ts = [a["timestamp"] for a in alerts(m)]
    assert m.get_alerts() == (
        '[{"alert_type":"HighLatency","message":"Read operation took 1500.00ms",'
        '"timestamp":"%s","metric_value":1500.0,"threshold":1000.0},'
        '{"alert_type":"HighMemoryUsage","message":"Memory usage: 2000.00MB",'
        '"timestamp":"%s","metric_value":2000000000.0,"threshold":1000000000.0},'
        '{"alert_type":"HighErrorRate","message":"Error rate: 100.00%%",'
        '"timestamp":"%s","metric_value":1.0,"threshold":0.05}]'
    ) % tuple(ts)


def test_thresholds_are_strict():
    m = Monitor()
    m.record_read(0, 1000.0)
    m.update_memory(1000000000, 0)
    m.update_cache_stats(0.3)
    m.record_read(0, math.nan)
    m.record_write(0, 99999.0)
    assert m.get_alerts() == "[]"
    m.record_read(0, 1000.5)
    m.update_memory(1000000001, 0)
    m.update_cache_stats(0.29)
    assert [a["alert_type"] for a in alerts(m)] == [
        "HighLatency", "HighMemoryUsage", "LowCacheHitRate"]


def test_error_rate_after_hundred_reads():
    m = Monitor()
    for _ in range(100):
        m.record_read(1, 1.0)
    for _ in range(5):
        m.record_error()
    assert m.get_alerts() == "[]"
    m.record_error()
    [alert] = alerts(m)
    assert (alert["message"], alert["metric_value"]) == ("Error rate: 6.00%", 0.06)


def test_clear_alerts_keeps_metrics():
    m = Monitor()
    m.record_read(1, 1500.0)
    m.record_read(1, 1500.0)
    m.record_error()
    m.update_cache_stats(0.1)
    assert len(alerts(m)) == 4
    before = m.get_metrics()
    assert m.clear_alerts() is None
    assert m.get_alerts() == "[]"
    assert m.get_metrics() == before
    assert m.get_metrics_dict()["total_errors"] == 1
    m.update_cache_stats(0.1)
    assert len(alerts(m)) == 1


def test_instances_are_separate():
    a, b = Monitor(), Monitor()
    a.record_read(10, 1500.0)
    assert b.get_metrics_dict()["read_operations"] == 0
    assert b.get_alerts() == "[]"
    assert len(alerts(a)) == 1


@settings(max_examples=200, deadline=None)
@given(st.floats(max_value=0.3, exclude_max=True, allow_nan=False))
def test_low_cache_alert_numbers(x):
    m = Monitor()
    m.update_cache_stats(x)
    text = m.get_alerts()
    assert '"metric_value":%s,"threshold":0.3}' % shortest_json(x) in text
    [alert] = json.loads(text)
    assert alert["message"] == "Cache hit rate: %s%%" % fixed2(x * 100.0)
    if math.isfinite(x):
        assert alert["metric_value"] == x


@settings(max_examples=200, deadline=None)
@given(st.floats(min_value=1000.0, exclude_min=True))
def test_latency_alert_numbers(x):
    m = Monitor()
    m.record_read(0, x)
    text = m.get_alerts()
    assert '"metric_value":%s,"threshold":1000.0}' % shortest_json(x) in text
    assert json.loads(text)[0]["message"] == "Read operation took %sms" % fixed2(x)


@pytest.mark.parametrize("value, text", [
    (1e16, "1e+16"), (2.5e-7, "2.5e-7"), (1e15, "1000000000000000.0"), (1e-5, "0.00001"),
    (9.5e-6, "9.5e-6"), (0.05, "0.05"), (-1.5e300, "-1.5e+300"), (0.0, "0.0"),
])
def test_alert_number_notation_boundaries(value, text):
    m = Monitor()
    if value > 1000.0:
        m.record_read(0, value)
    else:
        m.update_cache_stats(value)
    assert '"metric_value":%s,' % text in m.get_alerts()
    assert shortest_json(value) == text  # the reference agrees with the fixed cases


# --- timestamps ---

def test_timestamps_are_local_rfc3339_now():
    before = time.time()
    m = Monitor()
    m.record_read(0, 2000.0)
    after = time.time()
    for ts in (m.get_metrics_dict()["timestamp"], alerts(m)[0]["timestamp"]):
        g = TIMESTAMP.fullmatch(ts)
        assert g, ts
        offset = (1 if g.group(8) == "+" else -1) * (int(g.group(9)) * 3600 + int(g.group(10)) * 60)
        frac = g.group(7) or ""
        # The fewest of 0, 3, 6 or 9 digits that hold the nanoseconds.
        assert frac != ".000" and not (len(frac) > 4 and frac.endswith("000")), ts
        local = datetime.datetime(*map(int, g.groups()[:6]))
        stamp = (local - datetime.timedelta(seconds=offset)).replace(
            tzinfo=datetime.timezone.utc).timestamp() + (float(frac) if frac else 0.0)
        assert before - 1 <= stamp <= after + 1
        assert offset == time.localtime(int(stamp)).tm_gmtoff


@pytest.mark.parametrize("tz, offset", [
    ("UTC0", "+00:00"), ("XYZ-5:45", "+05:45"), ("ABC+3:30", "-03:30"), ("QQQ+10", "-10:00"),
])
def test_timestamp_offset_follows_the_local_zone(tz, offset):
    code = ("import varn_fileformat as vf, json; m = vf.PyPerformanceMonitor(); "
            "m.record_error(); print(m.get_metrics_dict()['timestamp']); "
            "print(json.loads(m.get_alerts())[0]['timestamp'])")
    env = dict(os.environ, TZ=tz, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         check=True).stdout.split()
    assert len(out) == 2
    for ts in out:
        assert TIMESTAMP.fullmatch(ts), ts
        assert ts.endswith(offset) and "Z" not in ts


# --- arguments ---

BAD_CALLS = [
    ("update_memory", (10, "x"), {}, TypeError),
    ("update_memory", (2000000000, -1), {}, OverflowError),
    ("record_read", (-1, 5.0), {}, OverflowError),
    ("record_read", (2**64, 1500.0), {}, OverflowError),
    ("record_read", (10.0, 5.0), {}, TypeError),
    ("record_read", (10, "5"), {}, TypeError),
    ("record_read", (10,), {}, TypeError),
    ("record_read", (10, 1500.0, 1), {}, TypeError),
    ("record_read", (10,), {"duration_ms": 1500.0, "bytes": 1}, TypeError),
    ("record_read", (), {"bytes": 1, "duration": 1500.0}, TypeError),
    ("record_write", (None, 1.0), {}, TypeError),
    ("record_compression", (1, -1), {}, OverflowError),
    ("record_rows_columns", (5, 2**64), {}, OverflowError),
    ("update_cache_stats", ("low",), {}, TypeError),
    ("update_cache_stats", (), {}, TypeError),
    ("record_error", (1,), {}, TypeError),
    ("clear_alerts", (), {"x": 1}, TypeError),
]


@pytest.mark.parametrize("name, args, kwargs, exc", BAD_CALLS,
                         ids=["%s%r" % (c[0], c[1]) for c in BAD_CALLS])
def test_failed_arguments_record_nothing(name, args, kwargs, exc):
    m = Monitor()
    m.record_read(3, 2.0)
    m.update_cache_stats(0.1)
    metrics, alert_text = m.get_metrics_dict(), m.get_alerts()
    with pytest.raises(exc):
        getattr(m, name)(*args, **kwargs)
    assert m.get_metrics_dict() == metrics
    assert m.get_alerts() == alert_text


def test_error_messages_name_callable_and_parameter():
    m = Monitor()
    with pytest.raises(TypeError, match=r"update_memory\(\).*'peak'"):
        m.update_memory(10, "x")
    with pytest.raises(OverflowError, match=r"record_read\(\).*'bytes'"):
        m.record_read(-1, 5.0)
    with pytest.raises(TypeError, match=r"update_cache_stats\(\).*'hit_rate'"):
        m.update_cache_stats(object())
    with pytest.raises(TypeError, match="PyPerformanceMonitor"):
        Monitor(1)
    with pytest.raises(TypeError, match="PyPerformanceMonitor"):
        Monitor(x=1)


def test_accepted_argument_kinds():
    class Idx:
        def __index__(self):
            return 7

    class Flt:
        def __float__(self):
            return 1500.5

    m = Monitor()
    m.record_read(10, 5)            # int for a float parameter
    m.record_read(True, Flt())      # bool for an integer, __float__ for a float
    m.update_memory(peak=2, current=1)
    m.record_rows_columns(Idx(), columns=2**64 - 1)
    d = m.get_metrics_dict()
    assert (d["total_bytes_read"], d["read_operations"]) == (11, 2)
    assert d["avg_read_latency_ms"] == (1500.5 + 5.0) / 2
    assert (d["current_memory_bytes"], d["peak_memory_bytes"]) == (1, 2)
    assert (d["rows_processed"], d["columns_processed"]) == (7, 2**64 - 1)
    assert alerts(m)[0]["metric_value"] == 1500.5


def test_exports_are_stable_between_recordings():
    m = Monitor()
    m.record_read(5, 12.5)
    assert m.get_metrics() == m.get_metrics()
    assert m.export_prometheus() == m.export_prometheus()
    assert m.get_metrics_dict() == m.get_metrics_dict()
