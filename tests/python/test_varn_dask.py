"""varn.dask on a real two-process distributed cluster: converting shards
(one of them bad), reading them back as one Dask DataFrame, pruning by the
index, column selection, schema agreement and keys kept out of sight."""

import faulthandler
import os
import shutil
import subprocess
import sys

import pytest

varn = pytest.importorskip("varn")
try:
    import distributed
    import pandas as pd

    import varn.dask as vd
except ImportError:  # no Dask here (e.g. CPython 3.8): only the import error is tested
    vd = None
needs_dask = pytest.mark.skipif(vd is None, reason="dask[dataframe] and distributed not installed")

TYPES = {"id": "int", "amount": "float", "paid": "bool", "blob": "bytes"}
KEY = bytes(range(7, 39))
# Shard 0 spans two chunks (65,536 rows each) so chunk pruning has room.
ROWS = [70000, 1500, 900, 2500, 10]
CITIES = ["Oslo", "Lima", "Kyoto", "Quito", "Perth"]


def shard_text(i, n):
    lines = ["id,amount,city,paid,blob"]
    for r in range(n):
        # Shard i holds ids i*1e6 + r and one city only it has.
        city = CITIES[i] if r % 3 == 0 else f"town{r % 11}"
        lines.append(f"{i * 1000000 + r},{(r * 37) % 5000}.{r % 100:02d},{city},{'true' if r % 2 else 'false'},{r % 251:02x}{i:02x}")
    return "\n".join(lines) + "\n"


def test_import_without_dask_says_what_to_install():
    code = "import sys; sys.modules['dask'] = None\ntry:\n import varn.dask\nexcept ImportError as e:\n print(e)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert "pip install 'varn_fileformat[dask]'" in out


def test_matching_chunks_and_reading_chosen_chunks(tmp_path):
    """The planner's two tools in the varn package: the chunks the index
    keeps for some filters, and a read of chosen chunks only."""
    pa = pytest.importorskip("pyarrow")
    csv = tmp_path / "t.csv"
    n = 3 * 65536 + 5
    csv.write_text("id,name\n" + "".join(f"{i},n{i // 65536}\n" for i in range(n)))
    path = str(tmp_path / "t.varn")
    varn.convert(str(csv), path, types={"id": "int"}, report=False)
    f = varn.open(path)
    assert f.num_chunks == 4
    cases = [
        (None, [0, 1, 2, 3]),
        ([("id", ">=", 65536 * 2)], [2, 3]),
        ([("id", "<", 10), ("name", "==", "n0")], [0]),
        ([("name", "in", ["n1", "n3"])], [1, 3]),
        ([("id", ">", n)], []),
    ]
    for filters, chunks in cases:
        assert f.matching_chunks(filters) == chunks, filters
        stream = f.read(filters=filters)
        pa.table(stream)
        assert stream.stats["chunks_read"] == len(chunks), filters
    table = pa.table(f.read(columns=["id"], chunks=[3, 1]))
    assert table.column("id").to_pylist() == list(range(3 * 65536, n)) + list(range(65536, 2 * 65536))
    table = pa.table(f.read(columns=["id"], filters=[("id", "<", 65540)], chunks=[1]))
    assert table.column("id").to_pylist() == [65536, 65537, 65538, 65539]
    assert pa.table(f.read(chunks=[])).num_rows == 0
    with pytest.raises(ValueError, match="chunk 4 is out of range"):
        f.read(chunks=[4])
    with pytest.raises(TypeError):
        f.read(chunks=["1"])


@pytest.fixture(scope="module")
def client():
    # A hung cluster must not hang the test run: dump the stacks and exit.
    faulthandler.dump_traceback_later(600, exit=True)
    cluster = distributed.LocalCluster(
        n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None
    )
    c = distributed.Client(cluster, timeout="60s")
    try:
        yield c
    finally:
        c.close(timeout=30)
        cluster.close(timeout=30)
        faulthandler.cancel_dump_traceback_later()


@pytest.fixture(scope="module")
def shards(tmp_path_factory):
    """Five good CSV shards and one whose second line is not UTF-8."""
    d = tmp_path_factory.mktemp("csv")
    good = []
    for i, n in enumerate(ROWS):
        p = d / f"day{i}.csv"
        p.write_text(shard_text(i, n))
        good.append(str(p))
    bad = d / "day9.csv"
    bad.write_bytes(b"id,amount,city,paid,blob\n1,2.5,\xff\xfe,true,00\n")
    return good, str(bad)


def expected_frame(paths, typed):
    frames = [pd.read_csv(p, dtype={"blob": str} if typed else str, keep_default_na=False) for p in paths]
    df = pd.concat(frames, ignore_index=True)
    if typed:
        df["blob"] = df["blob"].map(bytes.fromhex)
    return df


def normalise(df):
    out = df.reset_index(drop=True).copy()
    for c in out.columns:
        if pd.api.types.is_bool_dtype(out[c]) or str(out[c].dtype) == "boolean":
            out[c] = out[c].astype(bool)
        elif pd.api.types.is_integer_dtype(out[c]):
            out[c] = out[c].astype("int64")
        elif pd.api.types.is_float_dtype(out[c]):
            out[c] = out[c].astype("float64")
        else:
            out[c] = out[c].astype(object)
    return out


@pytest.fixture(scope="module")
def converted(client, shards, tmp_path_factory):
    """Typed and text datasets of the same shards, and what convert said."""
    good, bad = shards
    typed_dir = str(tmp_path_factory.mktemp("typed"))
    text_dir = str(tmp_path_factory.mktemp("text"))
    with pytest.raises(vd.ConvertError) as info:
        vd.convert(good + [bad], typed_dir, client=client, types=TYPES)
    returned = vd.convert(os.path.dirname(good[0]), text_dir, client=client, errors="return", infer=False)
    return typed_dir, text_dir, info.value, returned


@needs_dask
def test_convert_reports_every_failed_shard_and_leaves_no_partial_file(converted, shards, tmp_path):
    good, bad = shards
    typed_dir, text_dir, error, returned = converted
    # The same message as the command line gives for that shard.
    cli = shutil.which("varn", path=os.path.dirname(sys.executable))
    if cli:
        proc = subprocess.run([cli, "compress", "--no-progress", bad, str(tmp_path / "bad.varn")],
                              capture_output=True, text=True)
        assert proc.returncode == 1
        cli_message = proc.stderr.strip().split("\n")[-1].split(": ", 1)[1]
        # varn.convert names the option by its Python keyword.
        cli_message = cli_message.replace("give --encoding NAME, e.g. latin1", 'give encoding="NAME", e.g. "latin1"')
    else:
        cli_message = 'line 2: the text is not valid UTF-8 (text in another encoding: give encoding="NAME", e.g. "latin1")'
    assert [p for p, _ in error.failures] == [bad]
    assert str(error) == f"1 of 6 shards failed to convert:\n  {bad}: {cli_message}"
    assert str(error.failures[0][1]) == cli_message
    for d in (typed_dir, text_dir):
        assert sorted(os.listdir(d)) == [f"day{i}.varn" for i in range(len(ROWS))]
    # errors="return": the exception in the bad shard's place, the rest in input order.
    assert [r[0] if isinstance(r, tuple) else "error" for r in returned] == good + ["error"]
    assert isinstance(returned[-1], ValueError) and str(returned[-1]) == cli_message
    for (csv_path, varn_path, csv_size, varn_size, saved), src in zip(returned[:-1], good):
        assert csv_path == src and varn_path == os.path.join(text_dir, os.path.basename(src)[:-4] + ".varn")
        assert csv_size == os.path.getsize(src) and varn_size == os.path.getsize(varn_path)
        assert 0 <= saved < 100


@needs_dask
@pytest.mark.parametrize("typed", [True, False], ids=["typed", "text"])
@pytest.mark.parametrize("split_by", ["file", "chunk"])
def test_read_back_equals_pandas_on_the_csvs(converted, shards, typed, split_by):
    good, _ = shards
    d = converted[0] if typed else converted[1]
    ddf = vd.read_varn(d, split_by=split_by)
    assert ddf.npartitions == (len(ROWS) if split_by == "file" else len(ROWS) + 1)
    got = ddf.compute()
    assert list(got.dtypes) == list(ddf._meta.dtypes)
    pd.testing.assert_frame_equal(normalise(got), normalise(expected_frame(good, typed)))


@pytest.mark.parametrize(
    "filters, split_by, partitions",
    [
        # One city only shard 2 has: its file alone is read.
        ([("city", "==", "Kyoto")], "file", 1),
        ([("id", ">=", 3000000), ("id", "<", 3000100)], "file", 1),
        # Ids only in the second chunk of shard 0.
        ([("id", ">", 66000), ("id", "<=", 67000)], "chunk", 1),
        ([("id", "in", [5, 4000005])], "chunk", 2),
        ([("city", "in", ["Lima", "Perth"]), ("paid", "==", True)], "file", 2),
        ([("id", "<", 0)], "file", 1),  # nothing left: one empty partition
    ],
)
@needs_dask
def test_filters_prune_partitions_on_the_client(converted, shards, filters, split_by, partitions):
    good, _ = shards
    ddf = vd.read_varn(converted[0], filters=filters, split_by=split_by)
    assert ddf.npartitions == partitions
    want = expected_frame(good, True)
    ops = {"==": lambda s, v: s == v, "<": lambda s, v: s < v, "<=": lambda s, v: s <= v,
           ">": lambda s, v: s > v, ">=": lambda s, v: s >= v, "in": lambda s, v: s.isin(v)}
    for col, op, value in filters:
        want = want[ops[op](want[col], value)]
    pd.testing.assert_frame_equal(normalise(ddf.compute()), normalise(want))


@needs_dask
def test_column_selection(converted, shards):
    good, _ = shards
    ddf = vd.read_varn(os.path.join(converted[0], "*.varn"), columns=["city", "id"],
                       filters=[("amount", ">", 4990.0)])
    assert list(ddf.columns) == ["city", "id"]
    want = expected_frame(good, True)
    want = want[want["amount"] > 4990.0][["city", "id"]]
    got = ddf.compute()
    assert len(got) > 0
    pd.testing.assert_frame_equal(normalise(got), normalise(want))
    with pytest.raises(ValueError, match="nope"):
        vd.read_varn(converted[0], columns=["nope"])


@needs_dask
def test_schema_mismatch_names_both_files(converted):
    typed_dir, text_dir = converted[0], converted[1]
    a = os.path.join(typed_dir, "day0.varn")
    b = os.path.join(text_dir, "day1.varn")
    with pytest.raises(ValueError) as info:
        vd.read_varn([a, b])
    msg = str(info.value)
    assert a in msg and b in msg and "'id' (int)" in msg and "'id' (text)" in msg


@needs_dask
def test_key_reaches_workers_but_no_repr_or_log(client, shards, converted, tmp_path, monkeypatch):
    good, _ = shards
    out = str(tmp_path / "enc")
    submitted = []
    submit = client.submit

    def spy(*args, **kwargs):
        submitted.append(repr((args, kwargs)))  # what a log of the task's arguments shows
        return submit(*args, **kwargs)

    monkeypatch.setattr(client, "submit", spy)
    vd.convert(good[1:3], out, client=client, types=TYPES, encrypt=["city"], key=KEY)
    monkeypatch.undo()
    assert len(submitted) == 2
    ddf = vd.read_varn(out, filters=[("city", "==", "Lima")], key=KEY)
    got = ddf.compute()
    want = expected_frame(good[1:3], True)
    pd.testing.assert_frame_equal(normalise(got), normalise(want[want["city"] == "Lima"]))
    # A task failing on a worker gets logged there: a file replaced by one
    # of another schema after the read was planned.
    swap = str(tmp_path / "swap")
    shutil.copytree(out, swap)
    planned = vd.read_varn(swap, key=KEY)
    shutil.copy(os.path.join(converted[1], "day1.varn"), os.path.join(swap, "day1.varn"))
    with pytest.raises(varn.VarnError, match="changed since read_varn planned"):
        planned.compute()
    with pytest.raises(ValueError, match="key"):
        vd.read_varn(out)  # the encrypted column needs its key
    tasks = list(dict(ddf.__dask_graph__()).values()) + list(dict(planned.__dask_graph__()).values())
    texts = submitted + [repr((t.func, t.args, t.kwargs)) for t in tasks if hasattr(t, "func")]
    texts += [repr(ddf), repr(ddf.dask), repr(planned.dask), str(dict(ddf.__dask_graph__())), str(ddf.__dask_keys__())]
    texts += [str(v) for v in client.get_worker_logs().values()]
    texts.append(str(client.get_scheduler_logs()))
    hidden = [KEY.hex(), repr(KEY)[2:-1], KEY.decode("latin-1")]
    for text in texts:
        for form in hidden:
            assert form not in text


@needs_dask
def test_a_later_column_selection_reaches_the_partition_reads(tmp_path, monkeypatch):
    """Dask hands ``ddf[[...]]`` and ``ddf[name]`` down to the partition
    reads, which then ask the file for those columns only (and the filter's)."""
    import dask

    for i, n in enumerate([70000, 300]):
        (tmp_path / f"p{i}.csv").write_text(shard_text(i, n))
        varn.convert(str(tmp_path / f"p{i}.csv"), str(tmp_path / f"p{i}.varn"), types=TYPES, report=False)
    reads = []
    read = varn.VarnFile.read

    def spy(self, *args, **kwargs):
        stream = read(self, *args, **kwargs)
        reads.append(([name for name, _ in stream.schema], stream))
        return stream

    ddf = vd.read_varn(str(tmp_path / "*.varn"), filters=[("id", "!=", 7)])
    monkeypatch.setattr(varn.VarnFile, "read", spy)
    with dask.config.set(scheduler="synchronous"):
        full = ddf.compute().reset_index(drop=True)
        assert sorted(c for cols, _ in reads for c in cols) == sorted(2 * list(full.columns))
        all_chunks = sum(s.stats["chunks_read"] for _, s in reads)
        assert all_chunks == 3
        cases = [
            (lambda d: d[["amount", "id"]], {"amount", "id"}),
            (lambda d: d["city"], {"city"}),
            (lambda d: d[d["amount"] > 4000.0][["blob"]], {"amount", "blob"}),
        ]
        for select, read_columns in cases:
            reads.clear()
            got = select(ddf).compute().reset_index(drop=True)
            want = select(full).reset_index(drop=True)
            if isinstance(want, pd.Series):
                pd.testing.assert_series_equal(got, want)
            else:
                pd.testing.assert_frame_equal(got, want)
            assert len(reads) == 2 and all(set(cols) == read_columns for cols, _ in reads), reads
            assert sum(s.stats["chunks_read"] for _, s in reads) == all_chunks
