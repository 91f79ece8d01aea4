"""Temporary files of conversions: none is left by a failed conversion, and
what a killed one left is removed by the next conversion of the same target
on the same host, and nothing else is."""
import os
import re
import resource
import signal
import subprocess
import time

import pytest

import varn
from varn import _remote, _varn
from test_cli import VARN

needs_varn = pytest.mark.skipif(VARN is None, reason="the varn command is not built")

TAG = _varn.temp_host_tag()
OTHER_TAG = "00000000" if TAG != "00000000" else "00000001"


def dead_pid():
    """The pid of a process that has ended and been reaped."""
    p = subprocess.Popen(["true"])
    p.wait()
    return p.pid


def names(directory):
    return sorted(os.listdir(directory))


def test_host_tag_is_eight_hex_digits():
    assert re.fullmatch(r"[0-9a-f]{8}", TAG)


@needs_varn
def test_a_killed_conversion_is_cleaned_up_by_the_next_of_the_same_target(tmp_path):
    fifo = tmp_path / "in.fifo"
    os.mkfifo(fifo)
    out = tmp_path / "out.varn"
    p = subprocess.Popen([VARN, "compress", "--no-infer", "--no-progress", str(fifo), str(out)],
                         stderr=subprocess.DEVNULL)
    try:
        with open(fifo, "wb") as w:
            w.write(b"a,b\n")
            # Rows trickle in until the writer has begun: its temporary file is there.
            pattern = re.compile(r"\.out\.varn\.varn-([0-9a-f]{8})-(\d+)-[A-Za-z0-9]{6}\.tmp")
            left = []
            for _ in range(400):
                w.write(b"1,2\n")
                w.flush()
                left = [n for n in names(tmp_path) if pattern.fullmatch(n)]
                if left:
                    break
                time.sleep(0.025)
            assert len(left) == 1, names(tmp_path)
            p.kill()
            p.wait()
    finally:
        if p.poll() is None:
            p.kill()
            p.wait()
    stale = left[0]
    assert pattern.fullmatch(stale).groups() == (TAG, str(p.pid))
    os.unlink(fifo)

    dead = dead_pid()
    kept = [
        f".out.varn.varn-{TAG}-{os.getpid()}-aB3xYz.tmp",       # a running process
        f".out.varn.varn-{OTHER_TAG}-{dead}-aB3xYz.tmp",        # another host
        f".other.varn.varn-{TAG}-{dead}-aB3xYz.tmp",            # another target
        f".out.varn.{dead:08x}.tmp",                            # no host or pid in the name
        f".out.varn.varn-{TAG}-{dead}-aB3xYz.tmp.keep",
    ]
    for n in kept:
        (tmp_path / n).write_bytes(b"partial")
    csv = tmp_path / "in.csv"
    csv.write_text("a,b\n1,2\n")
    varn.convert(str(csv), str(out), report=False)
    assert names(tmp_path) == sorted(kept + ["in.csv", "out.varn"])
    with varn.open(str(out)) as f:
        assert f.num_rows == 1


def test_a_failed_conversion_leaves_no_temporary_file(tmp_path):
    rows = b"a\n" + b"1\n" * 70_000  # more than one batch: progress is called
    csv = tmp_path / "in.csv"
    csv.write_bytes(rows + b"x\n")

    def interrupt(_bytes, _rows):
        raise KeyboardInterrupt

    def target_becomes_a_directory(_bytes, _rows):
        (tmp_path / "out.varn").mkdir(exist_ok=True)
        (tmp_path / "out.varn" / "inside").write_bytes(b"")

    cases = [
        ("bad cell", dict(types={"a": "int"}), ValueError, "line 70002, column 'a'"),
        ("Ctrl-C", dict(progress=interrupt), KeyboardInterrupt, None),
        ("failed rename", dict(progress=target_becomes_a_directory, infer=False), OSError, "Cannot replace"),
    ]
    for name, kw, error, message in cases:
        with pytest.raises(error, match=message and re.escape(message)):
            varn.convert(str(csv), str(tmp_path / "out.varn"), report=False, **kw)
        left = [n for n in names(tmp_path) if n not in ("in.csv", "out.varn")]
        assert left == [], name
        if (tmp_path / "out.varn").is_dir():
            (tmp_path / "out.varn" / "inside").unlink()
            (tmp_path / "out.varn").rmdir()


@needs_varn
def test_a_full_disk_leaves_no_temporary_file(tmp_path):
    csv = tmp_path / "in.csv"
    with open(csv, "wb") as f:
        f.write(b"a,b\n")
        f.write(b"".join(b"%d,%s\n" % (i, os.urandom(8).hex().encode()) for i in range(200_000)))

    def small_files():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (256 << 10, 256 << 10))

    r = subprocess.run([VARN, "compress", "--no-progress", str(csv), str(tmp_path / "out.varn")],
                       stderr=subprocess.PIPE, preexec_fn=small_files)
    assert r.returncode == 1, r.stderr
    assert b"File too large" in r.stderr, r.stderr
    assert names(tmp_path) == ["in.csv"]


def test_dask_shards_use_the_same_temporary_files(tmp_path):
    try:
        import varn.dask as vd
    except ImportError:  # no Dask here (e.g. CPython 3.8)
        pytest.skip("dask is not installed")
    csv = tmp_path / "p0.csv"
    csv.write_text("a\n1\n")
    stale = f".p0.varn.varn-{TAG}-{dead_pid()}-aB3xYz.tmp"
    (tmp_path / stale).write_bytes(b"partial")
    vd._convert_one(str(csv), str(tmp_path / "p0.varn"), {"report": False}, None)
    assert names(tmp_path) == ["p0.csv", "p0.varn"]


def test_stale_upload_files_are_removed(tmp_path):
    dead, live = dead_pid(), os.getpid()
    upload = f".varn-upload-{TAG}-{dead}-abc_1234.varn"
    cases = {
        upload: True,
        f".{upload}.varn-{TAG}-{dead}-aB3xYz.tmp": True,           # the converter's temporary file of it
        f".varn-upload-{TAG}-{live}-abc_1234.varn": False,         # a running process
        f".{upload}.varn-{TAG}-{live}-aB3xYz.tmp": False,
        f".varn-upload-{OTHER_TAG}-{dead}-abc_1234.varn": False,   # another host
        f".varn-upload-{TAG}-{dead}-abc_123.varn": False,          # not the pattern
        f"varn-upload-{TAG}-{dead}-abc_1234.varn": False,
    }
    for n in cases:
        (tmp_path / n).write_bytes(b"x")
    os.mkdir(tmp_path / f".varn-upload-{TAG}-{dead}-dir_1234.varn")
    assert _remote.remove_stale_uploads(str(tmp_path), TAG) == 2
    assert names(tmp_path) == sorted([n for n, gone in cases.items() if not gone] +
                                     [f".varn-upload-{TAG}-{dead}-dir_1234.varn"])
