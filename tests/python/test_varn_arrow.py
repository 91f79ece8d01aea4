"""The varn package's Arrow stream read by pyarrow, pandas, Polars and DuckDB:
every column type (typed and encrypted files from the varn command), empty
and one-row files, several chunks, column selection and every filter op
against a filter over everything, damaged records, and streams read twice."""
import json
import operator
import sys

import pytest

import varn

if sys.version_info >= (3, 10):
    import duckdb
    import pandas as pd
    import polars as pl
    import pyarrow as pa
else:  # the consumers are installed on newer interpreters only
    pa = pytest.importorskip("pyarrow")
    pd = pytest.importorskip("pandas")
    pl = pytest.importorskip("polars")
    duckdb = pytest.importorskip("duckdb")

from test_cli import VARN, varn as run_varn  # noqa: E402

KEY = bytes(range(32))

TYPES = {"n": "int", "x": "float", "ok": "bool", "raw": "bytes", "doc": "json"}
COLUMNS = ["name", "n", "x", "ok", "raw", "doc"]


def make_rows(count):
    """CSV fields and the values the stream must give for them."""
    fields, values = [], []
    for i in range(count):
        n = None if i % 11 == 3 else i * 7 - 20
        x = None if i % 13 == 4 else round((i % 200) / 8 - 3, 4)
        ok = None if i % 17 == 5 else bool(i % 3)
        raw = None if i % 19 == 6 else bytes([i % 256, 0xAB])
        # no commas: the CSV dialect has no quoting
        doc = None if i % 23 == 7 else ({"é": i % 5} if i % 2 else [i % 7])
        name = f"név{i % 97}"
        fields.append(
            [
                name,
                "" if n is None else str(n),
                "" if x is None else repr(x),
                "" if ok is None else ("True" if ok else "0"),
                "" if raw is None else raw.hex(),
                "" if doc is None else ("null" if i % 29 == 8 else json.dumps(doc, ensure_ascii=False)),
            ]
        )
        values.append([name, n, x, ok, raw, None if i % 29 == 8 else doc])
    return fields, values


def write_varn(tmp_path, fields, name="t", encrypt=(), header=COLUMNS):
    csv = tmp_path / f"{name}.csv"
    csv.write_text(
        ",".join(header) + "\n" + "".join(",".join(f) + "\n" for f in fields), encoding="utf-8"
    )
    out = tmp_path / f"{name}.varn"
    # compress_csv's dialect; empty cells of typed columns are nulls (--lossy).
    args = ["compress", "--no-progress", "--plain", "--lossy"]
    for col, t in TYPES.items():
        args += ["--type", f"{col}={t}"]
    if encrypt:
        keyfile = tmp_path / "key.bin"
        keyfile.write_bytes(KEY)
        for col in encrypt:
            args += ["--encrypt", col]
        args += ["--key-file", keyfile]
    r = run_varn(*args, csv, out)
    assert r.returncode == 0, r.stderr
    return str(out)


def normalise(row):
    """Row values as plain Python objects (JSON text parsed)."""
    out = list(row)
    out[5] = None if out[5] is None else json.loads(out[5])
    out[4] = None if out[4] is None else bytes(out[4])
    return out


pytestmark = pytest.mark.skipif(VARN is None, reason="the varn command is not built")


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("sample")
    fields, values = make_rows(300)
    return fields, values, write_varn(tmp, fields), write_varn(tmp, fields, "enc", ("name", "n", "raw"))


def test_every_type_through_pyarrow(sample):
    _, values, path, _ = sample
    s = varn.open(path).read()
    t = pa.table(s)
    assert t.schema.types == [pa.string(), pa.int64(), pa.float64(), pa.bool_(), pa.binary(), pa.string()]
    assert t.column_names == COLUMNS
    got = table_values(t)
    assert len(got) == len(values)
    # A null int, float or bool cell comes back null where the chunk's null
    # count settles it, else as its stored 0 / false (counted as hidden).
    hidden = 0
    for g, w in zip(got, values):
        assert (g[0], g[4], g[5]) == (w[0], w[4], w[5])
        for k in (1, 2, 3):
            if w[k] is None and g[k] is not None:
                assert g[k] in (0, False)
                hidden += 1
            else:
                assert g[k] == w[k]
    assert s.stats["hidden_nulls"] == hidden > 0


def duck_table(relation):
    """A DuckDB result as a pyarrow.Table, by the name this DuckDB has for it."""
    to_table = getattr(relation, "to_arrow_table", None) or relation.fetch_arrow_table
    return to_table()


def table_values(t):
    return [normalise(list(r.values())) for r in t.to_pylist()]


@pytest.mark.parametrize(
    "consume",
    [
        pytest.param(pa.table, id="pyarrow.table"),
        pytest.param(lambda s: pa.RecordBatchReader.from_stream(s).read_all(), id="RecordBatchReader"),
        pytest.param(lambda s: pl.DataFrame(s).to_arrow(), id="polars.DataFrame"),
        pytest.param(lambda s: pl.from_arrow(pa.RecordBatchReader.from_stream(s)).to_arrow(), id="polars.from_arrow"),
        pytest.param(lambda s: duck_table(duckdb.sql("select * from s")), id="duckdb.sql"),
        pytest.param(lambda s: duck_table(duckdb.from_arrow(s)), id="duckdb.from_arrow"),
    ],
)
def test_consumers_agree_with_pyarrow(sample, consume):
    _, _, path, enc = sample
    want = table_values(pa.table(varn.open(path).read()))
    assert table_values(consume(varn.open(path).read())) == want
    # the encrypted file with its key gives the same rows
    assert table_values(consume(varn.open(enc, key=KEY).read())) == want


def test_pandas(sample):
    _, values, path, enc = sample
    df = varn.read_pandas(path)
    assert df.equals(pa.table(varn.open(path).read()).to_pandas())
    assert df["name"].tolist() == [v[0] for v in values]
    assert [json.loads(d) if isinstance(d, str) else None for d in df["doc"]] == [v[5] for v in values]


def test_read_helpers(sample):
    _, _, path, enc = sample
    t = varn.read_arrow(path, columns=["n", "name"], filters=[("n", ">", 100)])
    assert t.column_names == ["n", "name"] and all(v > 100 for v in t.column("n").to_pylist())
    df = varn.read_pandas(enc, columns=["name", "x"], key=KEY)
    assert list(df.columns) == ["name", "x"] and len(df) == 300
    assert df["name"].tolist() == varn.read_arrow(path).column("name").to_pylist()


def test_nulls_settled_by_the_count(tmp_path):
    # int column: chunk with nulls and no stored 0 -> nulls; a real 0 next
    # to a null makes them ambiguous -> stored 0, counted as hidden.
    fields = [["a", "5", "", "true", "", ""], ["b", "", "1.5", "", "00", "null"]]
    p1 = write_varn(tmp_path, fields, "settled")
    s = varn.open(p1).read()
    assert pa.table(s).to_pylist() == [
        {"name": "a", "n": 5, "x": None, "ok": True, "raw": None, "doc": None},
        {"name": "b", "n": None, "x": 1.5, "ok": None, "raw": b"\x00", "doc": None},
    ]
    assert s.stats["hidden_nulls"] == 0
    fields = [["a", "0", "0", "false", "", "1"], ["b", "", "", "", "", "2"]]
    p2 = write_varn(tmp_path, fields, "hidden")
    s = varn.open(p2).read()
    t = pa.table(s)
    assert t.column("n").to_pylist() == [0, 0]
    assert t.column("x").to_pylist() == [0.0, 0.0]
    assert t.column("ok").to_pylist() == [False, False]
    assert t.column("raw").to_pylist() == [None, None]  # two empties, two nulls: settled
    assert s.stats["hidden_nulls"] == 3


def test_empty_and_one_row_files(tmp_path):
    empty = write_varn(tmp_path, [], "empty")
    t = pa.table(varn.open(empty).read())
    assert t.num_rows == 0 and t.column_names == COLUMNS
    assert t.schema.field("x").type == pa.float64()
    assert duckdb.sql("select count(*) from t").fetchall() == [(0,)]
    one = write_varn(tmp_path, [["z", "-9", "2.25", "1", "ff", '"q"']], "one")
    for consume in (pa.table, lambda s: pl.DataFrame(s).to_arrow()):
        assert consume(varn.open(one).read()).to_pylist() == [
            {"name": "z", "n": -9, "x": 2.25, "ok": True, "raw": b"\xff", "doc": '"q"'}
        ]


@pytest.fixture(scope="module")
def chunks(tmp_path_factory):
    """150,000 rows in three chunks: k = row number (int), city by block,
    so each city lies in one chunk only."""
    tmp = tmp_path_factory.mktemp("chunks")
    csv = tmp / "c.csv"
    with open(csv, "w") as f:
        f.write("k,city,v\n")
        for i in range(150000):
            f.write(f"{i},city{i // 10000:02d},{(i * 37) % 1000}\n")
    out = tmp / "c.varn"
    r = run_varn("compress", "--no-progress", "--type", "k=int", "--type", "v=int", csv, out)
    assert r.returncode == 0, r.stderr
    t = pa.table(varn.open(str(out)).read())
    return str(out), t


def test_several_chunks_give_one_batch_each(chunks):
    path, t = chunks
    f = varn.open(path)
    assert f.num_chunks == 3 and t.num_rows == 150000
    batches = list(pa.RecordBatchReader.from_stream(f.read()))
    assert [b.num_rows for b in batches] == [65536, 65536, 18928]
    assert t.column("k").to_pylist() == list(range(150000))
    small = list(pa.RecordBatchReader.from_stream(f.read(columns=["v"], batch_rows=50000)))
    assert [b.num_rows for b in small] == [50000, 15536, 50000, 15536, 18928]
    assert pa.Table.from_batches(small).column("v").equals(t.column("v"))


OPS = {
    "==": operator.eq,
    "!=": operator.ne,
    "<": operator.lt,
    "<=": operator.le,
    ">": operator.gt,
    ">=": operator.ge,
    "in": lambda a, b: a in b,
    "not in": lambda a, b: a not in b,
}


@pytest.mark.parametrize(
    "flt, skipped",
    [
        (("k", "==", 70000), 2),  # one chunk only
        (("k", "==", -1), 3),  # in no chunk
        (("k", "!=", 5), 0),
        (("k", "<", 65536), 2),
        (("k", "<=", 65536), 1),
        (("k", ">", 131071), 2),
        (("k", ">=", 131072), 2),
        (("k", "in", [3, 140000]), 1),
        (("k", "in", [200000, -5]), 3),
        (("k", "not in", list(range(100))), 0),
        (("city", "==", "city07"), 2),  # one chunk only
        (("city", "==", "city99"), 3),  # beyond every maximum
        (("city", "==", "city055"), None),  # inside the range: the Bloom filter decides
        (("city", "!=", "city00"), 0),
        (("city", "<", "city06"), None),
        (("city", "<=", "city06"), None),
        (("city", ">", "city13"), 2),
        (("city", ">=", "city14"), 2),
        (("city", "in", ["city01", "city14"]), 1),
        (("city", "not in", ["city00", "city01"]), 0),
    ],
)
def test_filters_match_filtering_everything(chunks, flt, skipped):
    path, t = chunks
    col, op, value = flt
    s = varn.open(path).read(columns=["k", "city"], filters=[flt])
    got = pa.table(s)
    want = [r for r in t.select(["k", "city"]).to_pylist() if OPS[op](r[col], value)]
    assert got.to_pylist() == want
    stats = s.stats
    assert stats["chunks_read"] + stats["chunks_skipped"] == 3
    assert stats["rows"] == len(want)
    if skipped is not None:
        assert stats["chunks_skipped"] == skipped
    # DuckDB and Polars see the same rows.
    assert duckdb.sql("select k, city from s").fetchall() == [(r["k"], r["city"]) for r in want]


def test_filters_are_joined_by_and(chunks):
    path, t = chunks
    flts = [("city", "in", ["city03", "city09"]), ("v", ">=", 500), ("k", "!=", 30001)]
    got = varn.read_arrow(path, columns=["v"], filters=flts)
    want = [
        r["v"]
        for r in t.to_pylist()
        if r["city"] in ("city03", "city09") and r["v"] >= 500 and r["k"] != 30001
    ]
    assert got.column("v").to_pylist() == want


@pytest.mark.parametrize(
    "flt",
    [
        ("x", "<", 0.5),
        ("x", "==", 2.125),
        ("x", "in", [0.0, 1.5, -3.0]),
        ("ok", "==", True),
        ("ok", "!=", True),
        ("raw", ">=", b"\x80"),
        ("name", "<", "név5"),
        ("n", "not in", [50, 64]),
    ],
)
def test_filters_on_other_types(sample, flt):
    _, _, path, _ = sample
    col, op, value = flt
    t = pa.table(varn.open(path).read())
    want = [r for r in t.to_pylist() if r[col] is not None and OPS[op](r[col], value)]
    assert varn.read_arrow(path, filters=[flt]).to_pylist() == want


def test_damaged_record_raises_varn_error(chunks, tmp_path):
    path, _ = chunks
    data = bytearray(open(path, "rb").read())
    f = varn.open(path)
    # a byte inside the last record of the first chunk's 'v' column
    damaged = tmp_path / "d.varn"
    pos = len(data) // 3
    data[pos] ^= 0x55
    damaged.write_bytes(bytes(data))
    f = varn.open(damaged)
    with pytest.raises(varn.VarnError, match=r"chunk \d+, column \d+ '\w+', record at offset \d+"):
        varn.read_arrow(damaged)
    # direct consumers get the same message through the stream's error
    with pytest.raises(Exception, match=r"chunk \d+, column"):
        pa.table(f.read())
    del f


def test_stream_read_twice(chunks):
    path, t = chunks
    s = varn.open(path).read(columns=["k"], filters=[("k", "<", 10)])
    assert pa.table(s).column("k").to_pylist() == list(range(10))
    assert pa.table(s).column("k").to_pylist() == list(range(10))  # a fresh stream
    assert s.stats["rows"] == 10
    capsule = s.__arrow_c_stream__()
    reader = pa.RecordBatchReader._import_from_c_capsule(capsule)
    with pytest.raises(pa.ArrowInvalid, match="released"):
        pa.RecordBatchReader._import_from_c_capsule(capsule)
    assert reader.read_all().num_rows == 10
    with pytest.raises(Exception):
        reader.read_next_batch()  # consumed


def test_children_outlive_the_batch(chunks):
    path, _ = chunks
    batches = list(pa.RecordBatchReader.from_stream(varn.open(path).read(columns=["city", "k"])))
    cols = [b.column(0) for b in batches]
    del batches
    assert sum(len(c) for c in cols) == 150000
    assert cols[-1][-1].as_py() == "city14"


def test_freed_buffers_reused_while_others_live(chunks):
    # Later reads take the buffers freed by earlier ones; a table still held
    # keeps its own values.
    path, t = chunks
    kept = pa.table(varn.open(path).read(columns=["k", "city"]))
    for _ in range(3):
        other = pa.table(varn.open(path).read(columns=["v", "city"]))
        assert other.column("v").equals(t.column("v"))
        del other
    assert kept.column("k").equals(t.column("k"))
    assert kept.column("city").equals(t.column("city"))
