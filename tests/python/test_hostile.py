"""Hostile and special files: the reader's memory budget (decompression bombs,
huge chunks), special files that must not block, and out-of-memory handling."""
import os
import resource
import signal
import struct
import subprocess
import sys
import textwrap

import pytest

import varn_fileformat as vf
from conftest import crc32
from test_cli import VARN, leb, varn

SANITIZED = bool(os.environ.get("VARN_SANITIZED"))
needs_varn = pytest.mark.skipif(VARN is None, reason="the varn command is not built")
# A sanitizer's shadow memory does not fit under an address-space limit.
unsanitized = pytest.mark.skipif(SANITIZED, reason="address-space limits and sanitizers do not mix")


def zigzag(v):
    return leb((v << 1) ^ (v >> 63) if v >= 0 else ((-v - 1) << 1) | 1)


def build_varn(columns, chunks, chunk_size=65536, schema_block=None, index_block=None):
    """A file written independently of the module. `columns`: (name, type, flags);
    `chunks`: (rows, [(encoding, block, nulls, lo, hi), ...]) per chunk, blocks as stored."""
    schema = b"".join(leb(len(n)) + n + bytes([t, f]) for n, t, f in columns)
    schema = schema_block if schema_block is not None else b"\x02" + schema
    total = sum(rows for rows, _ in chunks)
    data = b"VARN" + struct.pack("<HHQIIQ", 2, len(columns), total, len(chunks), chunk_size, 0)
    data += bytes(32) + struct.pack("<I", len(schema)) + schema + struct.pack("<Q", 2) + b"\x02\x00"
    entries = b""
    for rows, cols in chunks:
        for encoding, block, nulls, lo, hi in cols:
            entries += struct.pack("<QQBI", len(data), len(block), encoding, nulls)
            entries += zigzag(lo) + zigzag(hi) + b"\x00\x00" + bytes(512)
            data += struct.pack("<IQ", crc32(block), len(block)) + block
    index = struct.pack("<IH", len(chunks), len(columns))
    index += b"".join(struct.pack("<I", rows) for rows, _ in chunks) + entries
    index = index_block if index_block is not None else b"\x02" + index
    return data + index + struct.pack("<QQ", len(index), len(data))


# A range-coded LZ stream of ten bytes that declares 4 GiB.
BOMB = bytes([5, 1, 0, ord("A"), 0x00, 0x40, 0xFF, 0xFF, 0xFF, 0xFF])


def text_cell_file(**kw):
    return build_varn([(b"t", 4, 0)], [(1, [(0, b"\x02\x01x", 0, 0, 0)])], **kw)


BOMBS = {
    "schema": (lambda: text_cell_file(schema_block=BOMB), "schema block at offset 68"),
    "index": (lambda: text_cell_file(index_block=BOMB), "index block at offset "),
    "record": (lambda: build_varn([(b"t", 4, 0)], [(1, [(0, BOMB, 0, 0, 0)])]),
               "chunk 0, column 0 't', record at offset 83"),
}


@needs_varn
@pytest.mark.parametrize("part", sorted(BOMBS))
@pytest.mark.parametrize("command", ["verify", "info", "cat"])
def test_a_bomb_is_refused_by_the_budget(tmp_path, part, command):
    make, place = BOMBS[part]
    path = tmp_path / "bomb.varn"
    path.write_bytes(make())
    if command == "info" and part == "record":
        pytest.skip("info reads no record")
    r = varn(command, path, "--max-memory", "64M", timeout=60)
    err = r.stderr.decode()
    assert r.returncode == 1, err
    assert place in err and "exceeds the limit of 67108864 bytes" in err, err
    assert "the memory budget is 67108864 bytes" in err


def limited(megabytes):
    def apply():
        limit = megabytes << 20
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    return apply


@needs_varn
@unsanitized
@pytest.mark.parametrize("part", sorted(BOMBS))
def test_a_bomb_under_an_address_space_limit_fails_without_an_abort(tmp_path, part):
    """The default budget follows ulimit -v: the bomb is refused, nothing aborts."""
    path = tmp_path / "bomb.varn"
    path.write_bytes(BOMBS[part][0]())
    r = subprocess.run([VARN, "verify", str(path)], capture_output=True, timeout=60,
                       preexec_fn=limited(1024))
    err = r.stderr.decode()
    assert r.returncode == 1, err
    assert "the memory budget is 536870912 bytes" in err, err
    code = textwrap.dedent(f"""
        import varn_fileformat as vf
        try:
            vf.PyVarnReader({str(path)!r}).get_compression_stats()
        except ValueError as e:
            print("ValueError", e)
    """)
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=60,
                       preexec_fn=limited(1024))
    out = r.stdout.decode()
    assert r.returncode == 0, r.stderr.decode()
    assert out.startswith("ValueError Not a valid VARN v2 file: ") and "memory budget" in out, out


@needs_varn
@pytest.mark.parametrize("size", ["0", "12Q", "", "-5", "99999999999999999999"])
def test_max_memory_must_be_a_size(tmp_path, size):
    path = tmp_path / "t.varn"
    path.write_bytes(text_cell_file())
    r = varn("verify", path, "--max-memory", size)
    assert r.returncode == 2 and b"--max-memory: invalid size" in r.stderr, r.stderr


def make_fifo(tmp_path):
    path = tmp_path / "fifo"
    os.mkfifo(path)
    return str(path)


@needs_varn
@pytest.mark.parametrize("command", ["verify", "info", "cat"])
def test_cli_refuses_a_fifo_without_blocking(tmp_path, command):
    fifo = make_fifo(tmp_path)
    r = varn(command, fifo, timeout=20)
    assert r.returncode == 1
    assert r.stderr.decode() == f"varn {command}: {fifo}: not a regular file\n"


@pytest.mark.parametrize("call", [
    lambda p: vf.get_varn_info(p),
    lambda p: vf.PyVarnWriter(p).get_info(),
    lambda p: vf.PyVarnReader(p).read_file(),
    lambda p: vf.PyVarnReader(p).get_compression_stats(),
])
def test_module_refuses_a_fifo_without_blocking(tmp_path, call):
    fifo = make_fifo(tmp_path)
    # A call that blocked would be stopped here instead of hanging the run.
    signal.signal(signal.SIGALRM, lambda *a: (_ for _ in ()).throw(TimeoutError("blocked")))
    signal.alarm(20)
    try:
        with pytest.raises(OSError) as info:
            call(fifo)
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, signal.SIG_DFL)
    assert not isinstance(info.value, TimeoutError)
    assert info.value.args[0].endswith("not a regular file")


def test_device_files_are_not_regular_files():
    with pytest.raises(OSError, match="not a regular file"):
        vf.get_varn_info("/dev/zero")
