"""The varn package without any Arrow library: opening, schema and index
statistics, argument and key checks, damaged files, the stream capsule and
its lifetime, and varn.convert. The data read back through Arrow consumers is
checked in test_varn_arrow.py."""
import ctypes
import datetime
import gc
import json
import os
import subprocess
import sys
import threading

from fractions import Fraction

import pytest

import varn
import varn_fileformat as vf

KEY = bytes(range(32))
OTHER_KEY = bytes(range(1, 33))


@pytest.fixture
def typed_csv(write_csv):
    """A CSV of every type, with null (empty) int/float/bool/bytes/json cells."""
    lines = ["name,n,x,ok,raw,doc"]
    for i in range(10):
        lines.append(
            ",".join(
                [
                    f"row{i}",
                    "" if i == 3 else str(i * 7 - 20),
                    "" if i == 4 else f"{i / 4}",
                    "" if i == 5 else ("true" if i % 2 else "false"),
                    "" if i == 6 else f"{i:02x}ab",
                    "" if i == 7 else ("null" if i == 8 else f'{{"k":{i}}}'),
                ]
            )
        )
    return write_csv("\n".join(lines) + "\n")


TYPES = {"n": "int", "x": "float", "ok": "bool", "raw": "bytes", "doc": "json"}


def convert_typed(csv, out, **kw):
    # The fixture's empty cells of int, float and bool columns are kept as
    # 0/false counted as nulls: lossy.
    return varn.convert(csv, out, types=TYPES, report=False, lossy=True, **kw)


def test_open_gives_schema_counts_and_creation_time(typed_csv, tmp_path):
    out = str(tmp_path / "t.varn")
    before = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    convert_typed(typed_csv, out)
    f = varn.open(out)
    assert f.schema == [
        ("name", "text"),
        ("n", "int"),
        ("x", "float"),
        ("ok", "bool"),
        ("raw", "bytes"),
        ("doc", "json"),
    ]
    assert f.columns == ["name", "n", "x", "ok", "raw", "doc"]
    assert (f.num_rows, f.num_chunks, f.encrypted) == (10, 1, [])
    assert f.created.tzinfo == datetime.timezone.utc
    assert before - datetime.timedelta(seconds=2) <= f.created <= before + datetime.timedelta(seconds=60)
    # os.PathLike works too
    assert varn.open(tmp_path / "t.varn").num_rows == 10


def test_chunk_stats_per_type(typed_csv, tmp_path):
    out = str(tmp_path / "t.varn")
    convert_typed(typed_csv, out)
    f = varn.open(out)
    assert f.chunk_stats("name") == [{"rows": 10, "nulls": 0, "min": "row0", "max": "row9"}]
    assert f.chunk_stats("n") == [{"rows": 10, "nulls": 1, "min": -20, "max": 43}]
    # float statistics are the values truncated to whole numbers
    assert f.chunk_stats("x") == [{"rows": 10, "nulls": 1, "min": 0.0, "max": 2.0}]
    assert f.chunk_stats("ok") == [{"rows": 10, "nulls": 1, "min": False, "max": True}]
    assert f.chunk_stats("raw") == [{"rows": 10, "nulls": 1, "min": None, "max": None}]
    assert f.chunk_stats("doc")[0]["nulls"] == 2  # the empty field and the JSON null
    with pytest.raises(ValueError, match="no column named 'nope'"):
        f.chunk_stats("nope")


def test_chunk_stats_of_several_chunks(write_csv, tmp_path):
    csv = write_csv("k\n" + "".join(f"{i}\n" for i in range(70000)))
    out = str(tmp_path / "big.varn")
    varn.convert(csv, out, types={"k": "int"}, report=False)
    f = varn.open(out)
    assert f.num_chunks == 2
    assert f.chunk_stats("k") == [
        {"rows": 65536, "nulls": 0, "min": 0, "max": 65535},
        {"rows": 4464, "nulls": 0, "min": 65536, "max": 69999},
    ]


def test_open_errors(tmp_path):
    with pytest.raises(FileNotFoundError):
        varn.open(tmp_path / "missing.varn")
    with pytest.raises(IsADirectoryError):
        varn.open(tmp_path)
    junk = tmp_path / "junk.varn"
    junk.write_bytes(b"PK\x03\x04" + bytes(200))
    with pytest.raises(varn.VarnError, match=r"header at offset 0: not a VARN file") as e:
        varn.open(junk)
    assert isinstance(e.value, ValueError)
    assert str(junk) in str(e.value)


def test_damaged_index_names_the_place(tmp_path, write_csv):
    out = tmp_path / "d.varn"
    vf.compress_csv(write_csv("a,b\n1,2\n"), str(out))
    data = bytearray(out.read_bytes())
    data[-9] ^= 0xFF  # the index offset in the trailer
    out.write_bytes(bytes(data))
    with pytest.raises(varn.VarnError, match=r"trailer at offset \d+"):
        varn.open(out)


@pytest.mark.parametrize(
    "kwargs, error, match",
    [
        ({"columns": ["nope"]}, ValueError, "no column named 'nope'"),
        ({"columns": "name"}, TypeError, "list of names"),
        ({"filters": [("n", "~", 1)]}, ValueError, "op must be one of"),
        ({"filters": [("n", "==")]}, TypeError, r"\(column, op, value\)"),
        ({"filters": [("n", "==", "1")]}, TypeError, "is int; compare it with int"),
        ({"filters": [("n", "==", 2**64)]}, ValueError, "outside the 64-bit range"),
        ({"filters": [("x", ">", 10**400)]}, ValueError, r"filter \('x', '>', 1000.*outside the range of float"),
        ({"filters": [("x", "in", [1, Fraction(10**400)])]}, ValueError, "outside the range of float"),
        ({"filters": [("n", "==", 2.5)]}, TypeError, "is int; compare it with int"),
        ({"filters": [("n", "==", True)]}, TypeError, "is int; compare it with int"),
        ({"filters": [("ok", "==", 2)]}, TypeError, "is bool; compare it with bool"),
        ({"filters": [("name", "==", 1)]}, TypeError, "is text; compare it with str"),
        ({"filters": [("name", "in", "abc")]}, TypeError, "takes a list"),
        ({"filters": [("name", "==", None)]}, ValueError, "None matches no cell"),
        ({"filters": [("doc", "==", "{}")]}, ValueError, "holds json"),
        ({"batch_rows": 0}, ValueError, "positive"),
        ({"batch_rows": 1.5}, TypeError, "int"),
    ],
)
def test_read_argument_errors(typed_csv, tmp_path, kwargs, error, match):
    out = str(tmp_path / "t.varn")
    convert_typed(typed_csv, out)
    with pytest.raises(error, match=match):
        varn.open(out).read(**kwargs)


class Index:
    """Not an int, but usable as one (as NumPy and pandas integers are)."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


def test_filter_values_of_any_integer_or_real_type(typed_csv, tmp_path):
    pytest.importorskip("pyarrow")  # the rows are compared as Arrow data
    out = str(tmp_path / "t.varn")
    convert_typed(typed_csv, out)
    f = varn.open(out)

    def rows(*flt):
        return f.read(columns=["name"], filters=[flt]).read_arrow().column(0).to_pylist()

    cases = [
        (("n", ">=", 8), [Index(8), Fraction(8), 8.0]),
        (("n", "in", [1, 15]), [[Index(1), Fraction(15)]]),
        (("x", ">", 1), [Fraction(1), Index(1), 1.0]),
        (("ok", "==", True), [1]),
    ]
    np = None
    try:
        import numpy as np
    except ImportError:
        pass
    if np is not None:
        cases += [
            (("n", ">=", 8), [np.int64(8), np.uint8(8), np.float64(8.0)]),
            (("x", ">", 1), [np.float32(1), np.int16(1)]),
            (("ok", "==", True), [np.bool_(True)]),
            (("ok", "==", False), [np.bool_(False)]),
        ]
    for (col, op, plain), others in cases:
        expected = rows(col, op, plain)
        assert expected
        for other in others:
            assert rows(col, op, other) == expected, (col, op, other)
    if np is not None:
        with pytest.raises(TypeError, match="is int; compare it with int"):
            rows("n", "==", np.bool_(True))


@pytest.fixture
def encrypted(typed_csv, tmp_path):
    out = str(tmp_path / "enc.varn")
    convert_typed(typed_csv, out, encrypt=["name", "n"], key=KEY)
    return out


def test_keys_are_checked_before_any_data(encrypted):
    f = varn.open(encrypted)
    assert f.encrypted == ["name", "n"]
    # columns in clear need no key
    f.read(columns=["x", "doc"])
    for kwargs in ({}, {"columns": ["name"]}, {"columns": ["x"], "filters": [("n", ">", 0)]}):
        with pytest.raises(ValueError, match="is encrypted: give its key"):
            f.read(**kwargs)
    for key in (OTHER_KEY, {"name": KEY, "n": OTHER_KEY}):
        with pytest.raises(ValueError, match="does not decrypt it"):
            varn.open(encrypted, key=key).read()
    # The header's key check value refuses a wrong key for every column type, at open.
    first = f.encrypted[0]
    with pytest.raises(ValueError, match=f"'{first}' does not decrypt it .* key check value"):
        varn.open(encrypted, key=OTHER_KEY)
    with pytest.raises(ValueError, match="key check value"):
        varn.open(encrypted, key={first: OTHER_KEY})
    varn.open(encrypted, key=KEY).read()
    varn.open(encrypted, key={"name": KEY, "n": KEY}).read()
    varn.open(encrypted, key={"name": KEY}).read(columns=["name", "x"])
    with pytest.raises(ValueError, match="32 bytes"):
        varn.open(encrypted, key=b"short")
    with pytest.raises(ValueError, match="no column named 'zz'"):
        varn.open(encrypted, key={"zz": KEY})


def stream_pointer(capsule):
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype = ctypes.c_void_p
    get.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return get(capsule, b"arrow_array_stream")


def open_fds():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
def test_stream_capsules_are_fresh_and_dropping_one_frees_it(typed_csv, tmp_path):
    out = str(tmp_path / "t.varn")
    convert_typed(typed_csv, out)
    gc.collect()  # handles earlier tests left to the collector hold descriptors
    before = open_fds()
    f = varn.open(out)
    s = f.read()
    c1 = s.__arrow_c_stream__()
    c2 = s.__arrow_c_stream__(None)
    assert stream_pointer(c1) and stream_pointer(c1) != stream_pointer(c2)
    del c1, c2
    gc.collect()
    # The streams read through the handle's one descriptor, which the last
    # of them holds after close(): dropping the capsules unconsumed must
    # release it.
    capsules = [s.__arrow_c_stream__() for _ in range(50)]
    assert open_fds() == before + 1
    f.close()
    assert open_fds() == before + 1
    del capsules
    gc.collect()
    assert open_fds() == before
    assert s.stats == {"chunks_read": 0, "chunks_skipped": 0, "records_read": 0, "rows": 0, "hidden_nulls": 0}


def test_convert_matches_compress_csv(write_csv, tmp_path):
    csv = write_csv("a,b\n1,x\n2,y\n")
    a, b = str(tmp_path / "a.varn"), str(tmp_path / "b.varn")
    got = varn.convert(csv, a, report=False, dialect="plain")
    want = vf.compress_csv(csv, b)
    assert got == want
    # The same bytes but for the creation time (offsets 24..31).
    da, db = open(a, "rb").read(), open(b, "rb").read()
    assert da[:24] + da[32:] == db[:24] + db[32:]


def test_convert_options_and_errors(write_csv, tmp_path):
    csv = write_csv("a,b\n1,x\n")
    out = str(tmp_path / "o.varn")
    with pytest.raises(ValueError, match="unknown type 'decimal'"):
        varn.convert(csv, out, types={"a": "decimal"})
    with pytest.raises(ValueError, match="encrypt needs key"):
        varn.convert(csv, out, encrypt=["a"])
    with pytest.raises(ValueError, match="only used with encrypt"):
        varn.convert(csv, out, key=KEY)
    with pytest.raises(TypeError):
        varn.convert(csv, out, None)  # options are keyword-only
    with pytest.raises(ValueError, match="'zz'"):
        varn.convert(write_csv("a,b\nzz,1\n"), out, types={"a": "int"}, report=False)
    with pytest.raises(OSError):
        varn.convert(str(tmp_path / "missing.csv"), out, report=False)
    # A key of zeros is a bad argument, refused before anything is written.
    with pytest.raises(ValueError, match="'a' is marked for encryption but its key is all zero"):
        varn.convert(csv, out, encrypt=["a"], key=bytes(32), report=False)
    assert not (tmp_path / "o.varn").exists()
    for kwargs, error, message in [
        ({"dialect": "excel"}, ValueError, "dialect must be"),
        ({"dialect": "plain", "delimiter": ";"}, ValueError, "do not apply"),
        ({"dialect": "plain", "extra_fields": "drop"}, ValueError, "do not apply"),
        ({"dialect": "plain", "infer": True}, ValueError, "do not apply"),
        ({"delimiter": '"'}, ValueError, "one character other than a quote"),
        ({"delimiter": ";;"}, ValueError, "one character other than a quote"),
        ({"delimiter": "\u00e9"}, ValueError, "one character other than a quote"),
        ({"delimiter": 59}, TypeError, "delimiter must be a str"),
        ({"extra_fields": "keep"}, ValueError, "extra_fields must be"),
    ]:
        with pytest.raises(error, match=message):
            varn.convert(csv, out, report=False, **kwargs)


# CSV text, varn.convert's options and the same options of varn compress.
CONVERT_CASES = [
    ("quoted", 'a,n,t\n"x, y",1," pad "\nz,2,w\n', {}, []),
    ("no-infer", 'a,n,t\n"x, y",1," pad "\nz,2,w\n', {"infer": False}, ["--no-infer"]),
    ("plain", 'a,n,t\n"x, y",1," pad "\nz,2,w\n', {"dialect": "plain"}, ["--plain"]),
    ("plain-typed", "a,n\nx,\ny,7\n", {"dialect": "plain", "types": {"n": "int"}, "lossy": True},
     ["--plain", "--type", "n=int", "--lossy"]),
    ("lossy", "a,n\nx,\ny,7\n", {"types": {"n": "int"}, "lossy": True}, ["--type", "n=int", "--lossy"]),
    ("strict", "a,n\nx,\ny,7\n", {"types": {"n": "int"}}, ["--type", "n=int"]),
    ("semicolon", "a;b\n1,5;x\n2;y\n", {"delimiter": ";"}, ["--delimiter", ";"]),
    ("tab", "a\tb\n1\tx\n", {"delimiter": "\\t"}, ["--delimiter", "\\t"]),
    ("detected", "a|b|c\n1|2|3\n", {}, []),
    ("extra", "a,b\n1,2,3\n4,5\n", {}, []),
    ("extra-drop", "a,b\n1,2,3\n4,5\n", {"extra_fields": "drop"}, ["--extra-fields", "drop"]),
    ("level-fast", "a,t\n" + "".join(f"{i},some words {i % 9}\n" for i in range(3000)), {"level": "fast"},
     ["--level", "fast"]),
    ("plain-small", "a,t\n" + "".join(f"{i},some words {i % 9}\n" for i in range(3000)),
     {"dialect": "plain", "level": "small"}, ["--plain", "--level", "small"]),
    ("encrypted", "id,secret\n1,s\n2,t\n", {"encrypt": ["secret"], "key": KEY, "types": {"id": "int"}},
     ["--encrypt", "secret", "--type", "id=int"]),
    ("comment", "# note\na,b\n# note\n1,2\n", {"comment": "#"}, ["--comment", "#"]),
    ("skip-lines", "title\na;b\n1;2\n", {"skip_lines": 1}, ["--skip-lines", "1"]),
]

# The command's options as varn.convert's messages name them.
PYTHON_NAMES = [("--extra-fields drop", 'extra_fields="drop"'), ("--delimiter", "delimiter="),
                ("--lossy", "lossy=True")]


@pytest.mark.parametrize("text, kwargs, cli_args", [c[1:] for c in CONVERT_CASES],
                         ids=[c[0] for c in CONVERT_CASES])
def test_convert_writes_what_varn_compress_writes(write_csv, tmp_path, text, kwargs, cli_args):
    """The same file as the command with the same options (but for the
    creation time at bytes 24..31), or the same error message."""
    from test_cli import VARN

    if VARN is None:
        pytest.skip("the varn command is not built")
    csv = write_csv(text)
    ours, theirs = tmp_path / "ours.varn", tmp_path / "theirs.varn"
    if "key" in kwargs:
        key_file = tmp_path / "k.key"
        key_file.write_bytes(KEY)
        cli_args = cli_args + ["--key-file", str(key_file)]
    r = subprocess.run([VARN, "compress", "--no-progress", *cli_args, csv, str(theirs)], capture_output=True,
                       text=True)
    try:
        varn.convert(csv, ours, report=False, **kwargs)
    except ValueError as e:
        assert r.returncode == 1, r.stderr
        python_message = r.stderr.strip().split("\n")[-1]
        for option, keyword in PYTHON_NAMES:
            python_message = python_message.replace(option, keyword)
        assert python_message == f"varn compress: {e}"
        assert not ours.exists()
        return
    assert r.returncode == 0, r.stderr
    if "key" in kwargs:
        # Each encryption draws its own nonces: the same schema and cells.
        def seen(path):
            info = json.loads(subprocess.run([VARN, "info", "--json", str(path)], capture_output=True,
                                             check=True).stdout)
            cells = subprocess.run([VARN, "cat", "--key-file", str(key_file), str(path)], capture_output=True,
                                   check=True).stdout
            return [(c["name"], c["type"], c["encrypted"]) for c in info["columns"]], cells

        assert seen(ours) == seen(theirs)
        return
    a, b = ours.read_bytes(), theirs.read_bytes()
    assert a[:24] + a[32:] == b[:24] + b[32:]


def test_convert_progress_and_gil(write_csv, tmp_path):
    csv = write_csv("k,v\n" + "".join(f"{i},{i * 3}\n" for i in range(140000)))
    out = str(tmp_path / "p.varn")
    calls = []
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(1)
            stop.wait(0.001)

    t = threading.Thread(target=tick)
    t.start()
    try:
        size = varn.convert(csv, out, progress=lambda b, r: calls.append((b, r)), report=False)
    finally:
        stop.set()
        t.join()
    assert [r for _, r in calls] == [65536, 131072]
    assert calls[-1][0] <= size[0]
    assert ticks  # the other thread ran while converting

    def boom(b, r):
        raise RuntimeError("stop here")

    with pytest.raises(RuntimeError, match="stop here"):
        varn.convert(csv, out, progress=boom, report=False)


def test_public_names_have_docstrings():
    for name in varn.__all__:
        obj = getattr(varn, name)
        assert obj.__doc__ and obj.__doc__.strip(), name
    for cls in (varn.VarnFile, varn.ArrowStream):
        for attr, value in vars(cls).items():
            if not attr.startswith("_") or attr == "__arrow_c_stream__":
                assert getattr(value, "__doc__", None), f"{cls.__name__}.{attr}"
