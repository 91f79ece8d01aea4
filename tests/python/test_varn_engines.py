"""Query engines over VARN files: Polars lazy scans (varn.polars) and DuckDB
(varn.duckdb), checked against eager reads of the same file, with the scan
statistics showing what was read."""

import math

import pytest

varn = pytest.importorskip("varn")
pl = pytest.importorskip("polars")
vp = pytest.importorskip("varn.polars")

C = 65536
# Chunk c holds only the cities of CITIES[c], so the index can rule chunks out.
CITIES = [["Oslo", "Lima"], ["Lima", "Kyoto"], ["Quito"], ["Perth", "Oslo"]]
TYPES = {"k": "int", "city": "text", "fare": "float", "paid": "bool", "n": "int"}
KEY = bytes(range(32))


def n_cell(k):
    """Column n, stored lossily (an empty cell is 0 counted as null): chunk 0
    has nulls and no real 0 (they come back null), chunk 1 no null, chunk 2
    nulls and real 0s (the nulls come back as 0), chunk 3 only nulls."""
    c, r = divmod(k, C)
    if c == 0:
        return "" if r % 10 == 0 else str(r % 10)
    if c == 1:
        return str(r % 10)
    if c == 2:
        return "" if r % 10 == 0 else str(r % 7)
    return ""


def make_file(directory, name, **options):
    rows = 3 * C + 1000
    csv = directory / (name + ".csv")
    with open(csv, "w") as out:
        out.write("k,city,fare,paid,n\n")
        for k in range(rows):
            cities = CITIES[k // C]
            out.write(f"{k},{cities[k % len(cities)]},{(k % 1000) / 4},{'true' if k % 3 == 0 else 'false'},{n_cell(k)}\n")
    path = directory / (name + ".varn")
    varn.convert(str(csv), str(path), types=TYPES, lossy=True, report=False, **options)
    csv.unlink()
    return str(path)


@pytest.fixture(scope="module")
def path(tmp_path_factory):
    return make_file(tmp_path_factory.mktemp("engines"), "trips")


@pytest.fixture(scope="module")
def eager(path):
    return pl.DataFrame(varn.open(path).read())


@pytest.fixture
def reads(monkeypatch):
    """Every VarnFile.read made while the test runs: (its columns, stream)."""
    seen = []
    read = varn.VarnFile.read

    def spy(self, *args, **kwargs):
        stream = read(self, *args, **kwargs)
        seen.append(([name for name, _ in stream.schema], stream))
        return stream

    monkeypatch.setattr(varn.VarnFile, "read", spy)
    return seen


def chunks_read(reads):
    return sum(stream.stats["chunks_read"] for _, stream in reads)


def columns_read(reads):
    return {c for cols, _ in reads for c in cols}


col, lit = pl.col, pl.lit

# (predicate, the filters and null tests pushed to the scan, chunks read).
PREDICATES = [
    pytest.param(lambda: col("k") == 70000, [("k", "==", 70000)], [], 1, id="int =="),
    pytest.param(lambda: (col("k") >= 150000) & (col("city") == "Perth"),
                 [("k", ">=", 150000), ("city", "==", "Perth")], [], 1, id="and"),
    pytest.param(lambda: lit(3 * C) <= col("k"), [("k", ">=", 3 * C)], [], 1, id="literal on the left"),
    pytest.param(lambda: col("city") > "Q", [("city", ">", "Q")], [], 1, id="text >"),
    pytest.param(lambda: col("city").is_in(["Kyoto", "Quito"]), [("city", "in", ["Kyoto", "Quito"])], [], 2,
                 id="is_in"),
    pytest.param(lambda: ~col("city").is_in(["Oslo", "Lima"]), [("city", "not in", ["Oslo", "Lima"])], [], 4,
                 id="not is_in"),
    pytest.param(lambda: col("k").is_between(C - 6, C + 4), [("k", ">=", C - 6), ("k", "<=", C + 4)], [], 2,
                 id="is_between"),
    pytest.param(lambda: col("fare") >= 249.5, [("fare", ">=", 249.5)], [], 4, id="float"),
    pytest.param(lambda: col("paid") & (col("k") < 10), [("paid", "==", True), ("k", "<", 10)], [], 1,
                 id="bool column"),
    pytest.param(lambda: ~col("paid") & (col("k") > 3 * C), [("paid", "==", False), ("k", ">", 3 * C)], [], 1,
                 id="negated bool column"),
    # Null counts rule chunks out: none in chunk 1, nothing but nulls in 3.
    pytest.param(lambda: col("n").is_null(), [], [("n", True)], 3, id="is_null"),
    pytest.param(lambda: col("n").is_not_null() & (col("n") < 1), [("n", "<", 1)], [("n", False)], 2,
                 id="is_not_null"),
    # Chunk 2's nulls come back as 0 (their count cannot tell them from the
    # real zeros): Polars sees 0 and keeps them, so must the scan.
    pytest.param(lambda: col("n") == 0, [("n", "==", 0)], [], 2, id="hidden nulls"),
    pytest.param(lambda: col("n") != 3, [("n", "!=", 3)], [], 3, id="!= drops nulls"),
    # Parts the scan cannot take: pushed no further, rows still right.
    pytest.param(lambda: (col("k") % 7 == 0) & (col("k") < 100), [("k", "<", 100)], [], 1, id="arithmetic"),
    pytest.param(lambda: (col("k") == 5) | (col("k") == 3 * C + 5), [], [], 4, id="or"),
    pytest.param(lambda: col("fare") < float("nan"), [], [], 4, id="NaN literal"),
    pytest.param(lambda: col("fare") > float("-inf"), [], [], 4, id="infinite literal"),
    pytest.param(lambda: col("k") == 65536.5, [], [], 4, id="int column, float literal"),
    pytest.param(lambda: col("k") < lit(2**63, dtype=pl.UInt64), [], [], 4, id="beyond int64"),
    pytest.param(lambda: col("k") == col("n"), [], [], 4, id="two columns"),
    pytest.param(lambda: col("k").is_in([5, None]), [], [], 4, id="is_in with null"),
    # With nulls_equal a null is "not in [1]" and kept; the scan's `not in`
    # would drop it.
    pytest.param(lambda: ~col("n").is_in([1], nulls_equal=True), [], [], 4, id="not is_in, nulls equal"),
    pytest.param(lambda: col("k").cast(pl.Float64) == 7.0, [], [], 4, id="cast"),
    pytest.param(lambda: col("city").str.starts_with("Qu"), [], [], 4, id="function"),
]


@pytest.mark.parametrize("make_predicate, filters, null_tests, chunks", PREDICATES)
def test_lazy_filter_equals_eager_and_reads_only_what_can_match(path, eager, reads, make_predicate, filters,
                                                                null_tests, chunks):
    predicate = make_predicate()
    pushed = vp.translate(predicate, varn.open(path).schema)
    assert (pushed.filters, pushed.null_tests) == (filters, null_tests)
    got = vp.scan_varn(path).filter(predicate).select("fare", "k").collect()
    want = eager.filter(predicate).select("fare", "k")
    assert got.equals(want), (got, want)
    assert chunks_read(reads) == chunks
    assert columns_read(reads) == {"fare", "k"} | set(predicate.meta.root_names())


def test_projection_limits_and_schema(path, eager, reads):
    lf = vp.scan_varn(path)
    assert lf.collect_schema() == eager.schema
    assert lf.collect().equals(eager)
    reads.clear()
    assert lf.select("city").collect().equals(eager.select("city"))
    assert columns_read(reads) == {"city"}
    reads.clear()
    assert lf.select(pl.len()).collect().item() == eager.height
    assert len(columns_read(reads)) <= 1  # Polars picks one column (or none) to count
    # head(n): only the chunks holding the first n rows, before the filter.
    cases = [
        (lambda f: f.head(10), 1),
        (lambda f: f.head(C), 1),
        (lambda f: f.head(C + 1), 2),
        (lambda f: f.head(C + 10).filter(col("k") > C - 3), 2),
        (lambda f: f.head(C + 10).filter(col("city") == "Kyoto"), 1),  # chunk 0 ruled out
        (lambda f: f.head(C + 10).filter(col("k") % 2 == 0), 2),
        (lambda f: f.head(0), 0),
        (lambda f: f.head(10 * C), 4),
    ]
    for query, chunks in cases:
        reads.clear()
        got = query(lf).collect()
        assert got.equals(query(eager.lazy()).collect()), query
        assert chunks_read(reads) == chunks, query
    # The streaming engine calls the source too.
    for query in [lambda f: f.filter(col("city") == "Quito").select("n"), lambda f: f.slice(C - 5, 10),
                  lambda f: f.head(C + 10).filter(col("k") > C - 3)]:
        assert query(lf).collect(engine="streaming").equals(query(eager.lazy()).collect())
    # An empty result keeps the schema.
    got = lf.filter(col("k") < 0).select("city", "n").collect()
    assert got.height == 0 and got.schema == eager.select("city", "n").schema


def test_encrypted_file(tmp_path):
    path = make_file(tmp_path, "secret", encrypt=["city", "n"], key=KEY)
    eager = pl.DataFrame(varn.open(path, KEY).read())
    lf = vp.scan_varn(path, key=KEY)
    for predicate in [col("city") == "Quito", col("n").is_null(), col("k") > 3 * C]:
        assert lf.filter(predicate).collect().equals(eager.filter(predicate))
    # The other columns stay readable without the key; the encrypted ones
    # fail when read.
    plain = vp.scan_varn(path)
    assert plain.select("k").collect().equals(eager.select("k"))
    with pytest.raises(ValueError, match="key"):
        plain.select("city").collect()
    with pytest.raises(FileNotFoundError):
        vp.scan_varn(tmp_path / "missing.varn")


@pytest.fixture(scope="module")
def duckdb():
    return pytest.importorskip("duckdb")


def test_duckdb_pushes_columns_and_filters_into_the_scan(path, eager, reads, duckdb):
    """DuckDB hands a Polars frame its filters and columns; the frame's VARN
    source turns them into a narrow, pruned read. Checked against DuckDB over
    the whole file read eagerly."""
    import varn.duckdb as vdd

    con = duckdb.connect()
    vdd.register(con, "trips", path)
    con.register("whole", eager.to_arrow())
    queries = [
        # (query, chunks read, columns it may read)
        ("SELECT count(*), sum(fare) FROM {t} WHERE city = 'Perth'", 1, {"k", "city", "fare"}),
        ("SELECT k, n FROM {t} WHERE k BETWEEN 70000 AND 70010 ORDER BY k", 1, {"k", "n"}),
        ("SELECT city, count(*) FROM {t} WHERE n IS NULL GROUP BY city ORDER BY city", 3, {"city", "n"}),
        # Not handed on (an OR): every chunk, the rows still right.
        ("SELECT k FROM {t} WHERE k = 5 OR k = 200000 ORDER BY k", 4, {"k"}),
        ("SELECT count(*), sum(fare), min(city), max(n) FROM {t}", 4, {"k", "city", "fare", "n"}),
    ]
    for query, chunks, columns in queries:
        reads.clear()
        got = con.sql(query.format(t="trips")).fetchall()
        assert got == con.sql(query.format(t="whole")).fetchall(), query
        assert chunks_read(reads) == chunks, query
        assert columns_read(reads) <= columns and "paid" not in columns_read(reads), query
    # The module's other door: a frame found by its variable name.
    trips = vdd.scan(path)  # noqa: F841 - DuckDB finds it by name
    reads.clear()
    assert duckdb.sql("SELECT count(*) FROM trips WHERE city = 'Quito'").fetchall() == [(C,)]
    assert chunks_read(reads) == 1


def test_a_url_with_a_file_system(path, eager, reads, duckdb):
    """scan_varn and varn.duckdb take what varn.open takes for remote files."""
    fsspec = pytest.importorskip("fsspec")
    import varn.duckdb as vdd

    fs = fsspec.filesystem("memory")
    fs.put(path, "/engines/trips.varn")
    try:
        lf = vp.scan_varn("memory://engines/trips.varn", filesystem=fs)
        predicate = col("city") == "Quito"
        assert lf.filter(predicate).select("k").collect().equals(eager.filter(predicate).select("k"))
        assert chunks_read(reads) == 1
        con = vdd.register(duckdb.connect(), "t", "memory://engines/trips.varn", filesystem=fs)
        assert con.sql("SELECT count(*) FROM t WHERE k >= 10").fetchall() == [(eager.height - 10,)]
        with pytest.raises(ValueError, match="storage_options"):
            vp.scan_varn(path, storage_options={"anon": True})
    finally:
        fs.rm("/engines", recursive=True)
