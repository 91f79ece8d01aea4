"""compress_csv and get_compression_stats release the GIL while they work:
other Python threads run meanwhile, and conversions in several threads at once give the same files as
one after the other."""
import subprocess
import sys
import threading
import time

import pytest
import varn_fileformat as vf
from test_cli import VARN


def _table(rows, seed):
    return "id,name,amount\n" + "".join(
        f"{i},name{(i * seed) % 977},{(i * 31 + seed) % 10007}.{i % 100:02d}\n" for i in range(rows)
    )


def _without_time(path):
    data = open(path, "rb").read()
    return data[:24] + data[32:]


def _ticks_during(call, attempts):
    """Runs call() up to `attempts` times while another thread counts ticks;
    returns how many ticks it made during each call, stopping at the first
    call that let it run.

    A long switch interval means the GIL changes hands only where it is
    released on purpose: a call that held it throughout would see no tick at
    all, however slow or loaded the machine."""
    ticks = [0]
    done = threading.Event()

    def tick():
        # Gives the GIL up after every tick, so the call returns to it at once.
        while not done.is_set():
            ticks[0] += 1
            time.sleep(0)

    old = sys.getswitchinterval()
    sys.setswitchinterval(5.0)
    t = threading.Thread(target=tick)
    t.start()
    gained = []
    try:
        for _ in range(attempts):
            time.sleep(0.001)  # the ticker waits for the GIL from here on
            before = ticks[0]
            call()
            gained.append(ticks[0] - before)
            if gained[-1] > 0:
                break
    finally:
        done.set()
        t.join()
        sys.setswitchinterval(old)
    return gained


def test_other_threads_run_during_a_conversion(write_csv, tmp_path):
    csv = write_csv(_table(400_000, 3))
    out = str(tmp_path / "out.varn")
    gained = _ticks_during(lambda: vf.compress_csv(csv, out), attempts=10)
    assert gained[-1] > 0, gained


def test_other_threads_run_during_compression_stats(write_csv, tmp_path):
    out = str(tmp_path / "stats.varn")
    vf.compress_csv(write_csv(_table(600_000, 7)), out)
    reader = vf.PyVarnReader(out)
    want = reader.get_compression_stats()

    def stats():
        assert reader.get_compression_stats() == want

    gained = _ticks_during(stats, attempts=20)
    assert gained[-1] > 0, gained


def test_conversions_in_two_threads_at_once(write_csv, tmp_path):
    inputs = [write_csv(_table(150_000, seed)) for seed in (3, 5)]
    alone = []
    for i, csv in enumerate(inputs):
        out = str(tmp_path / f"alone{i}.varn")
        vf.compress_csv(csv, out)
        alone.append(_without_time(out))

    errors = []

    def convert(i):
        try:
            for _ in range(2):
                vf.compress_csv(inputs[i], str(tmp_path / f"together{i}.varn"))
        except Exception as e:  # reported below
            errors.append(e)

    threads = [threading.Thread(target=convert, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    for i in range(2):
        assert _without_time(str(tmp_path / f"together{i}.varn")) == alone[i]



@pytest.mark.skipif(VARN is None, reason="the varn command is not built")
def test_varn_compress_threads_option(write_csv, tmp_path):
    csv = write_csv(_table(140_000, 11))
    outs = []
    for n in (1, 3):
        out = tmp_path / f"t{n}.varn"
        run = subprocess.run([VARN, "compress", "--no-progress", "--threads", str(n), csv, str(out)],
                             capture_output=True)
        assert run.returncode == 0, run.stderr
        outs.append(_without_time(str(out)))
    assert outs[0] == outs[1]
    for bad in ("0", "-1", "two", "1x", ""):
        run = subprocess.run([VARN, "compress", "--threads", bad, csv, str(tmp_path / "x.varn")],
                             capture_output=True, text=True)
        assert run.returncode == 2
        assert "--threads takes a whole number from 1 to 1024" in run.stderr


def test_varn_convert_threads(write_csv, tmp_path):
    varn = pytest.importorskip("varn")
    csv = write_csv(_table(140_000, 13))
    outs = []
    for n in (None, 1, 3):
        out = str(tmp_path / f"c{n}.varn")
        varn.convert(csv, out, types={"id": "int", "amount": "float"}, report=False, threads=n)
        outs.append(_without_time(out))
    assert outs[0] == outs[1] == outs[2]
    for bad, error in ((0, ValueError), (2000, ValueError), (1.5, TypeError), (True, TypeError)):
        with pytest.raises(error, match="threads"):
            varn.convert(csv, str(tmp_path / "x.varn"), threads=bad)


# Daemon threads busy inside the extensions while the interpreter exits: the
# interpreter ends them when they take the GIL back, and the process must
# still exit cleanly (no abort from a swallowed thread exit).
_DAEMON_EXIT_SCRIPT = r"""
import sys, threading, time
import varn, varn_fileformat as vf

csv, out = sys.argv[1], sys.argv[2]
varn.convert(csv, out + ".ready.varn", threads=1)

def forever(name, call):
    def run():
        started.wait()
        i = 0
        while True:
            call(name, i)
            i += 1
    threading.Thread(target=run, daemon=True).start()

def convert(name, i):
    varn.convert(csv, f"{out}.{name}.{i % 2}.varn", threads=2, progress=lambda b, r: None)

def compress(name, i):
    vf.compress_csv(csv, f"{out}.{name}.{i % 2}.varn")

def open_file(name, i):
    varn.open(out + ".ready.varn")

def stream(name, i):
    # The stream's own capsule, not a consumer's reader (whose dealloc may
    # itself release the GIL, outside this package).
    capsule = varn.open(out + ".ready.varn").read(batch_rows=1000).__arrow_c_stream__()
    del capsule

def stats(name, i):
    vf.PyVarnReader(out + ".ready.varn").get_compression_stats()

calls = [("convert", convert), ("compress", compress), ("open", open_file), ("stats", stats),
         ("stream", stream)]
started = threading.Barrier(len(calls) + 1)
for name, call in calls:
    forever(name, call)
started.wait()
time.sleep(float(sys.argv[3]))
"""


def test_daemon_threads_inside_calls_at_exit(write_csv, tmp_path):
    csv = write_csv(_table(300_000, 7))
    script = tmp_path / "daemon_exit.py"
    script.write_text(_DAEMON_EXIT_SCRIPT)
    for run in range(10):
        done = subprocess.run(
            [sys.executable, str(script), csv, str(tmp_path / "out"), str(0.05 + 0.03 * run)],
            capture_output=True,
            timeout=120,
        )
        assert done.returncode == 0 and b"FATAL" not in done.stderr, (run, done.returncode, done.stderr[-2000:])
