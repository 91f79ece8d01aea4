"""Hostile and special files: the reader's memory budget (decompression bombs,
huge chunks), special files that must not block, and out-of-memory handling."""
import importlib.util
import json
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
from test_cli import VARN, bloom_words, leb, varn

SANITIZED = bool(os.environ.get("VARN_SANITIZED"))
needs_varn = pytest.mark.skipif(VARN is None, reason="the varn command is not built")
# A sanitizer's shadow memory does not fit under an address-space limit.
unsanitized = pytest.mark.skipif(SANITIZED, reason="address-space limits and sanitizers do not mix")


def zigzag(v):
    return leb((v << 1) ^ (v >> 63) if v >= 0 else ((-v - 1) << 1) | 1)


def build_varn(columns, chunks, chunk_size=65536, schema_block=None, index_block=None):
    """A file written independently of the module. `columns`: (name, type, flags);
    `chunks`: (rows, [(encoding, block, nulls, lo, hi[, texts]), ...]) per chunk, blocks
    as stored; a text column's `texts` give its minimum, maximum and Bloom filter."""
    schema = b"".join(leb(len(n)) + n + bytes([t, f]) for n, t, f in columns)
    schema = schema_block if schema_block is not None else b"\x02" + schema
    total = sum(rows for rows, _ in chunks)
    data = b"VARN" + struct.pack("<HHQIIQ", 2, len(columns), total, len(chunks), chunk_size, 0)
    data += bytes(32) + struct.pack("<I", len(schema)) + schema + struct.pack("<Q", 2) + b"\x02\x00"
    entries = b""
    for rows, cols in chunks:
        for encoding, block, nulls, lo, hi, *texts in cols:
            entries += struct.pack("<QQBI", len(data), len(block), encoding, nulls)
            entries += zigzag(lo) + zigzag(hi)
            if texts:
                entries += leb(len(min(texts[0]))) + min(texts[0]) + leb(len(max(texts[0]))) + max(texts[0])
                entries += struct.pack("<64Q", *bloom_words(texts[0]))
            else:
                entries += b"\x00\x00" + bytes(512)
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


# --- failed writes ---------------------------------------------------------

@needs_varn
def test_compress_refuses_to_write_over_the_key_file(tmp_path):
    csv = tmp_path / "in.csv"
    csv.write_text("a,b\n1,2\n")
    key = tmp_path / "key"
    key.write_bytes(bytes(range(1, 33)))
    os.link(key, tmp_path / "key-link")
    for out in (key, tmp_path / "key-link"):
        r = varn("compress", csv, out, "--encrypt", "a", "--key-file", key)
        assert r.returncode == 1
        assert b"it names the key file" in r.stderr, r.stderr
    assert key.read_bytes() == bytes(range(1, 33))


@needs_varn
@unsanitized
def test_an_interrupted_compress_leaves_the_old_output(tmp_path):
    csv = tmp_path / "in.csv"
    with open(csv, "wb") as f:
        for i in range(40):
            f.write(b"".join(b"%d,text %d\n" % (j, j) for j in range(i * 100_000, (i + 1) * 100_000)))
    out = tmp_path / "out.varn"
    out.write_bytes(b"old")
    p = subprocess.Popen([VARN, "compress", str(csv), str(out)], stderr=subprocess.PIPE)
    # Wait until the conversion has written to its temporary file, then interrupt it.
    deadline = 200
    while deadline and not any(n.name.endswith(".tmp") for n in tmp_path.iterdir()):
        subprocess.run(["sleep", "0.05"])
        deadline -= 1
    p.send_signal(signal.SIGINT)
    err = p.communicate(timeout=60)[1]
    if p.returncode == 0:
        pytest.skip("the conversion finished before the signal")
    assert p.returncode == 128 + signal.SIGINT, err
    assert b"interrupted" in err
    assert out.read_bytes() == b"old"
    assert sorted(n.name for n in tmp_path.iterdir()) == ["in.csv", "out.varn"]


@needs_varn
@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("args", [["info"], ["info", "--json"], ["verify"], ["cat"]])
def test_a_failed_write_to_standard_output_fails(tmp_path, args):
    path = tmp_path / "t.varn"
    path.write_bytes(two_records_file())
    with open("/dev/full", "wb") as full:
        r = subprocess.run([VARN, args[0], str(path), *args[1:]], stdout=full, stderr=subprocess.PIPE)
    assert r.returncode == 1
    assert b"cannot write the output: No space left on device" in r.stderr, r.stderr


# --- what cat relies on ----------------------------------------------------

def two_records_file(second_offset=None, rows=1, chunk_size=65536):
    """Two chunks of one text column; the second entry may point elsewhere."""
    data = build_varn([(b"t", 4, 0)], [(rows, [(0, b"\x02" + b"\x01x" * rows, 0, 0, 0, [b"x"])]),
                                       (rows, [(0, b"\x02" + b"\x01y" * rows, 0, 0, 0, [b"y"])])],
                      chunk_size=chunk_size)
    if second_offset is None:
        return data
    index_len, index_offset = struct.unpack_from("<QQ", data, len(data) - 16)
    index = bytearray(data[index_offset + 1 : index_offset + index_len])
    first = 6 + 4 * 2  # the first entry's offset field, after the two row counts
    second = first + 8 + 8 + 1 + 4 + 2 + 4 + 512
    struct.pack_into("<Q", index, second, second_offset(struct.unpack_from("<Q", index, first)[0]))
    index = b"\x02" + bytes(index)
    return data[:index_offset] + index + struct.pack("<QQ", len(index), index_offset)


@needs_varn
@pytest.mark.parametrize("make, fault", [
    (lambda: two_records_file(lambda first: first), "records overlap or repeat"),
    (lambda: two_records_file(lambda first: first + 1), "records overlap or repeat"),
    (lambda: two_records_file(rows=3, chunk_size=2), "chunk 0 holds 3 rows, more than the header's chunk size of 2"),
], ids=["aliased", "overlapping", "rows-above-chunk-size"])
def test_cat_checks_the_index_before_writing(tmp_path, make, fault):
    path = tmp_path / "bad.varn"
    path.write_bytes(make())
    for command in ("cat", "verify"):
        r = varn(command, path)
        assert r.returncode == 1, (command, r.stderr)
        assert fault.encode() in r.stderr, (command, r.stderr)
    assert varn("cat", path).stdout == b""


@needs_varn
def test_cat_reads_a_sound_hand_made_file(tmp_path):
    path = tmp_path / "ok.varn"
    path.write_bytes(two_records_file())
    r = varn("cat", path)
    assert (r.returncode, r.stdout) == (0, b"t\nx\ny\n"), r.stderr
    assert varn("verify", path).returncode == 0


# --- encryption -------------------------------------------------------------

@needs_varn
def test_encrypted_columns_leave_no_plaintext_in_the_file(tmp_path):
    csv = tmp_path / "in.csv"
    csv.write_text("id,secret\n" + "".join(f"{i},confidential-{i % 3}\n" for i in range(70000)))
    key = tmp_path / "key"
    key.write_bytes(bytes(range(1, 33)))
    outs = [tmp_path / "a.varn", tmp_path / "b.varn"]
    for out in outs:
        r = varn("compress", "--encrypt", "secret", "--key-file", key, csv, out)
        assert r.returncode == 0, r.stderr
    a, b = (o.read_bytes() for o in outs)
    # A salt of each file's own, and a key check value that depends on it.
    assert a[32:48] != bytes(16) and a[32:48] != b[32:48]
    assert a[48:64] != bytes(16) and a[48:64] != b[48:64]
    assert b"confidential" not in a  # neither in the records nor in the index
    info = json.loads(varn("info", outs[0], "--json").stdout)
    secret = info["columns"][1]
    assert secret["statistics_withheld"] is True and secret["min"] is None and secret["max"] is None
    assert info["columns"][0]["statistics_withheld"] is False
    assert b"withheld" in varn("info", outs[0]).stdout
    # --where on the encrypted column reads every chunk.
    r = varn("cat", outs[0], "--key-file", key, "--where", "secret=confidential-1", "--stats")
    assert r.returncode == 0, r.stderr
    assert b"2 chunks: 2 read, 0 skipped" in r.stderr, r.stderr
    assert r.stdout.count(b"\n") == 1 + sum(1 for i in range(70000) if i % 3 == 1)
    assert varn("verify", outs[0], "--key-file", key).returncode == 0


@needs_varn
def test_an_all_zero_key_is_refused(tmp_path):
    csv = tmp_path / "in.csv"
    csv.write_text("a\nx\n")
    key = tmp_path / "key"
    key.write_text("00" * 32)
    out = tmp_path / "o.varn"
    r = varn("compress", "--encrypt", "a", "--key-file", key, csv, out)
    assert r.returncode == 1
    assert b"Column 'a' is marked for encryption but its key is all zero" in r.stderr
    assert not out.exists()


# --- long lines ----------------------------------------------------------------

LONG = 80 << 20  # past the size from which blocks are compressed in the low-memory way


@pytest.fixture(scope="module")
def long_line_csv(tmp_path_factory):
    """Two rows, the first with one cell of LONG bytes of text that compresses
    about as well as base64 (the LZ stage finds nothing in it)."""
    import base64
    path = tmp_path_factory.mktemp("long") / "long.csv"
    with open(path, "wb") as f:
        f.write(b"id,text\n1,")
        f.write(base64.b64encode(os.urandom(LONG * 3 // 4))[:LONG])
        f.write(b"\n2,short\n")
    return path


def peak_rss(args):
    """The exit status and peak resident memory (bytes) of the command, run
    from a fresh interpreter so no other child counts."""
    code = ("import resource, subprocess, sys; r = subprocess.run(sys.argv[1:]); "
            "print(r.returncode, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    r = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, timeout=600)
    rc, kib = r.stdout.split()
    return int(rc), int(kib) * 1024


@needs_varn
@unsanitized
@pytest.mark.parametrize("dialect", [["--plain"], []], ids=["plain", "rfc4180"])
def test_a_long_line_takes_about_three_times_its_length(tmp_path, long_line_csv, dialect):
    """The line is read, held in the batch, made into a payload and compressed
    without holding it more than about three times at once (the reader's
    buffer is given back, the minimum and maximum are copied only after the
    payload is compressed, the coders write straight into the record)."""
    out = tmp_path / "long.varn"
    rc, peak = peak_rss([VARN, "compress", long_line_csv, out, *dialect])
    assert rc == 0
    assert peak < 3.4 * LONG + (48 << 20), f"peak {peak / 2**20:.0f} MiB for a {LONG >> 20} MiB line"
    back = varn("cat", out)
    assert back.returncode == 0, back.stderr
    assert back.stdout.split(b"\n")[1] == long_line_csv.read_bytes().split(b"\n")[1]


@needs_varn
@unsanitized
def test_a_long_line_that_does_not_fit_is_an_out_of_memory_error(tmp_path, long_line_csv):
    out = tmp_path / "long.varn"
    # Under ulimit -v 200M the default budget is half of it: the line is
    # refused by the budget; a budget raised past the limit runs out of memory.
    for budget, error in ([[], b"line 2: a row longer than 34952533 bytes needs more memory than the budget"],
                          [["--max-memory", "1G"], b"out of memory"]):
        for dialect in (["--plain"], []):
            r = subprocess.run([VARN, "compress", str(long_line_csv), str(out), *dialect, *budget],
                               capture_output=True, timeout=120, preexec_fn=limited(200))
            assert r.returncode == 1, r.stderr
            assert error in r.stderr, r.stderr
            assert sorted(os.listdir(tmp_path)) == []
    code = textwrap.dedent(f"""
        import varn_fileformat as vf
        try:
            vf.compress_csv({str(long_line_csv)!r}, {str(out)!r})
        except MemoryError:
            print("MemoryError")
    """)
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=120,
                       preexec_fn=limited(300))
    assert r.returncode == 0 and r.stdout.strip() == b"MemoryError", r.stderr
    assert not out.exists()


LONG_CELL = 6 << 20


@pytest.fixture(scope="module")
def long_line_gz(tmp_path_factory):
    """A gzip input of a few KiB holding a line of 6 MiB at line 3."""
    import gzip
    path = tmp_path_factory.mktemp("longgz") / "long.csv.gz"
    with gzip.open(path, "wb") as f:
        f.write(b"id,text\n1,a\n2," + b"x" * LONG_CELL + b"\n3,c\n")
    return path


BUDGET_REFUSAL = ("line 3: a row longer than 699050 bytes needs more memory than the budget of "
                  "2097152 bytes (2.0 MiB) allows (a row takes about 3 times its length while it is "
                  "converted); give {} to raise it")


@pytest.mark.parametrize("options", [{}, {"infer": False}, {"types": {"id": "int"}}, {"threads": 1}])
def test_a_line_longer_than_the_budget_allows_is_refused(tmp_path, long_line_gz, options):
    import varn

    out = tmp_path / "o.varn"
    with pytest.raises(ValueError) as e:
        varn.convert(str(long_line_gz), str(out), report=False, max_memory=2 << 20, **options)
    assert str(e.value) == BUDGET_REFUSAL.format("a larger max_memory=")
    assert os.listdir(tmp_path) == []
    # A budget three times the line takes it.
    varn.convert(str(long_line_gz), str(out), report=False, max_memory=3 * LONG_CELL + 64, **options)
    with varn.open(str(out)) as f:
        assert f.num_rows == 3
        assert f.chunk_stats("text")[0]["max"] == "x" * LONG_CELL


@needs_varn
def test_varn_compress_takes_max_memory(tmp_path, long_line_gz):
    plain = tmp_path / "long.csv"
    import gzip
    plain.write_bytes(gzip.decompress(long_line_gz.read_bytes()))
    out = tmp_path / "o.varn"
    for source, dialect in ((long_line_gz, []), (long_line_gz, ["--no-infer"]), (plain, ["--plain"])):
        r = varn("compress", "--no-progress", "--max-memory", "2M", source, out, *dialect)
        assert r.returncode == 1, r.stderr
        assert BUDGET_REFUSAL.format("--max-memory SIZE").encode() in r.stderr, r.stderr
        assert not out.exists()
    r = varn("compress", "--max-memory", "lots", plain, out)
    assert r.returncode == 2 and b"--max-memory: " in r.stderr, r.stderr
    r = varn("compress", "--no-progress", "--max-memory", "19M", plain, out, "--plain")
    assert r.returncode == 0, r.stderr


def test_max_memory_of_convert_is_checked(tmp_path, write_csv):
    import varn

    csv = write_csv("a\n12\n")
    for bad, error in ((0, ValueError), (-1, ValueError), ("1G", TypeError), (True, TypeError)):
        with pytest.raises(error, match="max_memory"):
            varn.convert(csv, str(tmp_path / "o.varn"), max_memory=bad)
    try:
        import varn.dask as vd
    except ImportError:  # no Dask here (e.g. CPython 3.8)
        return
    with pytest.raises(ValueError, match="max_memory"):
        vd.convert([csv], str(tmp_path / "out"), max_memory=0)
    with pytest.raises(ValueError, match="line 2: a row longer than 1 bytes"):
        vd._convert_one(csv, str(tmp_path / "o.varn"), {"report": False, "max_memory": 3}, None)


def mem_available():
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


HUGE_CELL = (1 << 30) + (16 << 20)  # past the 1 GiB cap blocks once had
HUGE_NEEDS = 8 << 30  # the conversion takes about 3x the cell, reading it back about 2x


@needs_varn
@unsanitized
@pytest.mark.skipif(os.environ.get("VARN_LARGE_TESTS") != "1",
                    reason="converts a 1 GiB cell (about a minute, 4 GiB of memory); set VARN_LARGE_TESTS=1 to run it")
@pytest.mark.skipif(mem_available() < HUGE_NEEDS,
                    reason=f"needs {HUGE_NEEDS >> 30} GiB of available memory (MemAvailable)")
def test_a_cell_larger_than_one_gib_converts_and_reads_back(tmp_path):
    """One cell past 1 GiB: its record and the index (which holds it as the
    chunk's largest text) decode past the old fixed cap; within the budget
    they read back byte for byte."""
    import hashlib
    csv = tmp_path / "huge.csv"
    phrase = bytes(range(48, 48 + 64)) * 16 + b"end-of-phrase;"  # nothing to trim or quote
    want = hashlib.sha256()
    with open(csv, "wb") as f:
        f.write(b"id,text\n1,")
        left = HUGE_CELL
        piece = phrase * ((8 << 20) // len(phrase))
        while left:
            part = piece[:left]
            f.write(part)
            want.update(part)
            left -= len(part)
        f.write(b"\n2,short\n")
    out = tmp_path / "huge.varn"
    vf.compress_csv(str(csv), str(out))
    csv.unlink()
    r = varn("verify", out, timeout=600)
    assert r.returncode == 0, r.stderr
    info = json.loads(varn("info", out, "--json", timeout=600).stdout)
    assert info["total_rows"] == 2
    text = tmp_path / "back.csv"
    with open(text, "wb") as f:
        r = subprocess.run([VARN, "cat", str(out)], stdout=f, stderr=subprocess.PIPE, timeout=600)
    assert r.returncode == 0, r.stderr
    got = hashlib.sha256()
    with open(text, "rb") as f:
        assert f.readline() == b"id,text\n"
        assert f.read(2) == b"1,"
        left = HUGE_CELL
        while left:
            part = f.read(min(left, 8 << 20))
            assert part, "the cell is cut short"
            got.update(part)
            left -= len(part)
        assert f.read() == b"\n2,short\n"
    assert got.hexdigest() == want.hexdigest()


# --- column names -----------------------------------------------------------

@needs_varn
def test_a_nul_byte_in_a_column_name_is_never_cut(tmp_path, write_csv):
    import varn as package

    csv = write_csv(b"a\x00b,a\n1,2\n")
    out = tmp_path / "o.varn"
    r = varn("compress", csv, out)
    assert r.returncode == 1 and b"column 1 of the header, 'a\\0b', holds a NUL byte" in r.stderr, r.stderr
    with pytest.raises(ValueError, match=r"column 1 of the header, 'a\\0b', holds a NUL byte"):
        package.convert(csv, out, dialect="plain")
    assert not out.exists()

    # A file holding one anyway (compress_csv takes any header): its names
    # stay whole, and the Arrow export, whose names are C strings, refuses it.
    vf.compress_csv(csv, str(out))
    f = package.open(out)
    assert f.columns == ["a\x00b", "a"]
    with pytest.raises(ValueError, match=r"column 0 'a\\0b' holds a NUL byte in its name"):
        f.read()
    other = f.read(columns=["a"])
    if importlib.util.find_spec("pyarrow"):
        assert other.read_arrow().column(0).to_pylist() == ["2"]
    assert varn("cat", out).stdout.splitlines()[0] == b"a\x00b,a"
