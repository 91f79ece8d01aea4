"""Bad input and faults through the Python surface: the class, the message and what is left on disk."""
import ctypes
import gc
import os
import resource
import signal
import struct
import tracemalloc

import pytest

import varn_fileformat as vf


def test_only_blank_lines(write_csv, tmp_path, read_varn, capfd):
    out = str(tmp_path / "blank.varn")
    vf.compress_csv(write_csv("\n \n\t\n\n"), out)
    f = read_varn(out)
    assert (f.columns, f.total_rows, f.chunk_count) == (1, 0, 0)
    assert ">>> Columns (1): \n" in capfd.readouterr().err


def test_nul_bytes_are_ordinary_text(write_csv, tmp_path, read_varn):
    out = str(tmp_path / "nul.varn")
    vf.compress_csv(write_csv(b"a\x00b,c\nx\x00,\x00\n"), out)
    f = read_varn(out)
    assert f.total_rows == 1
    blocks = [block for _, _, block in f.records()]
    assert blocks == [b"\x02\x02x\x00", b"\x02\x01\x00"]


def test_a_100_mb_line(write_csv, tmp_path, read_varn):
    out = str(tmp_path / "long.varn")
    line = b"ab" * (50 * 1024 * 1024)
    csv = write_csv(b"h\n" + line + b"\n")
    csv_size, varn_size, ratio = vf.compress_csv(csv, out)
    assert read_varn(out).total_rows == 1
    assert varn_size < 1024 * 1024 and ratio > 99


def test_invalid_utf8_in_first_data_line(write_csv, tmp_path, read_varn):
    out = tmp_path / "o.varn"
    with pytest.raises(OSError) as info:
        vf.compress_csv(write_csv(b"a\n\xe2\x82\n"), str(out))
    assert info.value.args == ("stream did not contain valid UTF-8",)
    assert not out.exists()  # nothing is left at the output path


@pytest.mark.parametrize("bad", ["in\udcffput.csv", "\ud800"])
def test_surrogate_paths_raise_the_encoding_error(tmp_path, bad):
    with pytest.raises(UnicodeEncodeError):
        vf.compress_csv(bad, str(tmp_path / "o.varn"))
    with pytest.raises(UnicodeEncodeError):
        vf.compress_csv(str(tmp_path / "x.csv"), bad)


def test_non_ascii_paths(tmp_path):
    csv = tmp_path / "données ü.csv"
    csv.write_text("a\nx\n")
    out = tmp_path / "sortie ü.varn"
    vf.compress_csv(str(csv), str(out))
    assert vf.get_varn_info(str(out))[0] == out.stat().st_size


class Stop(Exception):
    pass


def test_a_signal_interrupts_a_long_conversion(write_csv, tmp_path):
    csv = write_csv("a,b,c\n" + "some text,1234567,more text here\n" * 400_000)
    out = tmp_path / "int.varn"

    def handler(signum, frame):
        raise Stop()

    old = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.001)
        with pytest.raises(Stop):
            vf.compress_csv(csv, str(out))
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    # The unfinished output was removed, temporary file and all.
    assert not out.exists()
    assert [p.name for p in tmp_path.iterdir() if p.suffix != ".csv"] == []


def _rss_kb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * (os.sysconf("SC_PAGE_SIZE") // 1024)


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def _c_heap_in_use():
    """Bytes in use on the C heap (glibc), where the extension's own allocations live."""
    libc = ctypes.CDLL(None)
    if not hasattr(libc, "mallinfo2"):
        return None
    libc.mallinfo2.restype = _MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


@pytest.mark.skipif(
    bool(os.environ.get("VARN_SANITIZED")),
    reason="ASan holds freed memory in quarantine, so RSS and the heap cannot be compared",
)
def test_repeated_calls_leak_nothing(write_csv, tmp_path):
    csv = write_csv("a,b\n1,2\n3,4\n")
    out = str(tmp_path / "leak.varn")
    missing = str(tmp_path / "missing")
    writer, reader = vf.PyVarnWriter(out), vf.PyVarnReader(out)
    devnull = os.open(os.devnull, os.O_WRONLY)
    saved_stderr = os.dup(2)

    def failing(fn, *args, **kwargs):
        try:
            fn(*args, **kwargs)
        except (OSError, ValueError, TypeError, OverflowError):
            pass

    def conversions():
        # Each conversion syncs its output to disk, so these run fewer times.
        vf.compress_csv(csv, out)
        writer.write_csv(csv)

    def round_():
        failing(vf.compress_csv, missing, out)
        failing(vf.compress_csv, csv, 5)
        failing(vf.compress_csv, str(tmp_path), out)
        failing(writer.write_csv, missing)
        vf.get_varn_info(out)
        failing(vf.get_varn_info, missing)
        writer.get_info()
        reader.read_file()
        reader.get_compression_stats()
        failing(vf.PyVarnReader(missing).read_file)
        failing(vf.PyVarnReader, 1)
        m = vf.PyPerformanceMonitor()
        m.record_read(10, 1500.0)
        m.record_write(10, 1.0)
        m.record_compression(10, 5)
        m.record_rows_columns(1, 1)
        m.update_memory(1, 2)
        m.update_cache_stats(0.1)
        m.record_error()
        failing(m.record_read, -1, 1.0)
        failing(m.update_memory, 1, "x")
        m.get_metrics()
        m.get_metrics_dict()
        m.get_alerts()
        m.clear_alerts()
        m.export_prometheus()

    os.dup2(devnull, 2)  # the conversion report would flood the output
    try:
        tracemalloc.start()
        for _ in range(100):
            conversions()
            round_()
        gc.collect()
        objects_before, rss_before, heap_before = len(gc.get_objects()), _rss_kb(), _c_heap_in_use()
        python_before = tracemalloc.get_traced_memory()[0]
        for i in range(3000):
            if i % 10 == 0:
                conversions()
            round_()
        gc.collect()
        python_after = tracemalloc.get_traced_memory()[0]
        tracemalloc.stop()
        objects_after, rss_after, heap_after = len(gc.get_objects()), _rss_kb(), _c_heap_in_use()
    finally:
        os.dup2(saved_stderr, 2)
        os.close(saved_stderr)
        os.close(devnull)
    print("objects", objects_after - objects_before, "python", python_after - python_before,
          "heap", None if heap_before is None else heap_after - heap_before, "rss", rss_after - rss_before)
    # 3000 rounds: a leak of even one small object or string per call would show.
    assert objects_after - objects_before < 50
    assert python_after - python_before < 64 * 1024
    if heap_before is not None:
        assert heap_after - heap_before < 64 * 1024
    assert rss_after - rss_before < 4096, (rss_before, rss_after)
