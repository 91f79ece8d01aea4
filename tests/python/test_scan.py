"""The scan under both readers (the Arrow stream of the varn package and
varn cat): hand-made files that the two must treat alike (index entries
naming one record, null counts against the stored values, chunks whose
decoded columns pass the memory budget), and a column given out twice."""
import gc

import pytest

import varn
from test_cli import VARN, varn as run_varn
from test_hostile import build_varn, two_records_file, zigzag

pa = pytest.importorskip("pyarrow")
needs_varn = pytest.mark.skipif(VARN is None, reason="the varn command is not built")

INT = 1


@pytest.fixture(autouse=True)
def collect_failed_streams():
    """A stream that raised is kept by its traceback until collected, and
    keeps its file open until then: collect it, so that the tests that
    count descriptors do not see it go."""
    yield
    gc.collect()


def const_ints(rows, value, nulls=0, columns=1, chunks=1, chunk_size=None):
    """`chunks` chunks of `rows` rows, each of `columns` int columns holding
    `value` in every row (a constant-delta payload of two bytes)."""
    block = b"\x02" + zigzag(value) + zigzag(0)  # stored block: first value, step 0
    cols = [(b"c%d" % k, INT, 0) for k in range(columns)]
    chunk = (rows, [(6, block, nulls, value, value)] * columns)
    return build_varn(cols, [chunk] * chunks, chunk_size=chunk_size or max(rows, 65536))


def test_a_column_given_out_twice(tmp_path):
    """A text column asked for twice in a chunk given out whole took the
    chunk's buffers with the first copy, and the second read views never filled."""
    csv = tmp_path / "t.csv"
    csv.write_text("w,n\n" + "".join(f"word{i},{i}\n" for i in range(1000)))
    path = tmp_path / "t.varn"
    varn.convert(csv, path, report=False)
    words = [f"word{i}" for i in range(1000)]
    with varn.open(path) as f:
        for batch_rows in (None, 100):
            table = f.read(columns=["w", "n", "w", "n"], batch_rows=batch_rows).read_arrow()
            assert table.column(0).to_pylist() == words == table.column(2).to_pylist()
            assert table.column(1).to_pylist() == list(range(1000)) == table.column(3).to_pylist()


@needs_varn
def test_index_entries_naming_one_record_are_refused_by_every_reader(tmp_path):
    path = tmp_path / "aliased.varn"
    path.write_bytes(two_records_file(lambda first: first))
    with pytest.raises(varn.VarnError, match="records overlap or repeat"):
        varn.read_arrow(path)
    r = run_varn("cat", path)
    assert r.returncode == 1 and b"records overlap or repeat" in r.stderr


# (stored value, null count) of a three-row int chunk, and what both readers
# give: the cells, or the error.
NULL_CASES = [
    (0, 3, [None, None, None], None),  # an all-null chunk: nulls
    (0, 0, [0, 0, 0], None),
    (0, 2, [0, 0, 0], None),  # two of the three zeros were null; which, the file does not say
    (5, 3, None, "the index counts 3 null cells, but only 0 cells hold the stored null value"),
    (5, 1, None, "the index counts 1 null cells, but only 0 cells hold"),
]


@needs_varn
@pytest.mark.parametrize("value, nulls, cells, error", NULL_CASES)
def test_one_null_rule_for_both_readers(tmp_path, value, nulls, cells, error):
    path = tmp_path / "n.varn"
    path.write_bytes(const_ints(3, value, nulls=nulls))
    r = run_varn("cat", path)
    if error:
        with pytest.raises(varn.VarnError, match=error):
            varn.read_arrow(path)
        assert r.returncode == 1 and error.encode() in r.stderr, r.stderr
        assert b"chunk 0, column 0 'c0'" in r.stderr
        return
    assert varn.read_arrow(path).column(0).to_pylist() == cells
    assert r.returncode == 0, r.stderr
    # A lone empty field is written quoted, so that the line is not blank.
    assert r.stdout.decode().splitlines() == ["c0"] + ['""' if c is None else str(c) for c in cells]
    assert (b"null cells in int, float or bool columns" in r.stderr) == (0 < nulls < 3)


@needs_varn
def test_a_chunk_is_held_against_the_budget_as_a_whole(tmp_path):
    """Eight int columns of 2^20 rows: each column alone fits 64 MiB, the
    chunk's columns decoded together do not; both readers refuse it up front."""
    path = tmp_path / "wide.varn"
    path.write_bytes(const_ints(1 << 20, 7, columns=8))
    assert path.stat().st_size < 8192
    with pytest.raises(varn.VarnError) as err:
        varn.read_arrow(path, max_memory=64 << 20)
    message = str(err.value)
    assert "chunk 0: decoding its 1048576 rows of the 8 columns read" in message, message
    assert "more than the memory budget of 67108864 bytes" in message and "max_memory=" in message
    r = run_varn("cat", path, "--max-memory", "64M")
    assert r.returncode == 1 and b"chunk 0: decoding its 1048576 rows of the 8 columns" in r.stderr
    assert b"--max-memory" in r.stderr and r.stdout == b"c0,c1,c2,c3,c4,c5,c6,c7\n"
    # One column of the same chunk fits.
    with varn.open(path, max_memory=64 << 20) as f:
        assert f.read(columns=["c3"]).read_arrow().column(0).to_pylist()[-3:] == [7, 7, 7]


def test_the_budget_limits_how_many_chunks_are_decoded_ahead(tmp_path):
    """Six chunks, each alone within the budget, two together not: every row
    is still given out, one chunk at a time."""
    path = tmp_path / "six.varn"
    path.write_bytes(const_ints(1 << 20, 3, chunks=6))
    with varn.open(path, max_memory=20 << 20) as f:
        s = f.read()
        table = s.read_arrow()
    assert table.num_rows == 6 << 20 and table.column(0).to_pylist()[-1] == 3
    assert s.stats["chunks_read"] == 6 and s.stats["records_read"] == 6


@pytest.mark.parametrize("value", [0, -1, True, 2.5, "64M"])
def test_max_memory_is_a_positive_int(tmp_path, value):
    path = tmp_path / "one.varn"
    path.write_bytes(const_ints(3, 1))
    with pytest.raises((TypeError, ValueError), match="max_memory"):
        varn.open(path, max_memory=value)


# --- one filter language through both doors ----------------------------------

KEY = bytes(range(32))
ROWS = 3 * 65536 + 500  # four chunks


@pytest.fixture(scope="module")
def door_files(tmp_path_factory):
    """The same rows as a typed file, a file whose text column is encrypted,
    and a file of text columns only (compress_csv's dialect). `id` counts
    the rows; `n` rises with them (so chunks prune by it), with nulls;
    `name` has empty (null) cells; `x` is a float, `ok` a bool, `raw` bytes."""
    if VARN is None:
        pytest.skip("the varn command is not built")
    d = tmp_path_factory.mktemp("doors")
    lines = ["id,n,x,ok,raw,name"]
    for i in range(ROWS):
        n = "" if i % 97 == 5 else str(i // 3)
        name = "" if i % 10 == 3 else ("a,b" if i % 1000 == 7 else f"c{i % 50}")
        lines.append(f"{i},{n},{(i % 40) / 4},{'true' if i % 3 else 'false'},{i % 256:02x}{i % 7:02x},"
                     + (f'"{name}"' if "," in name else name))
    csv = d / "t.csv"
    csv.write_text("\n".join(lines) + "\n")
    keyfile = d / "key"
    keyfile.write_bytes(KEY)
    types = ["--type", "id=int", "--type", "n=int", "--type", "x=float", "--type", "ok=bool",
             "--type", "raw=bytes"]
    files = {}
    for name, extra in [("typed", []), ("encrypted", ["--encrypt", "name", "--key-file", keyfile]),
                        ("text", ["--no-infer"])]:
        out = d / f"{name}.varn"
        args = ["compress", "--no-progress", "--lossy"] + (types if name != "text" else []) + extra
        r = run_varn(*args, csv, out)
        assert r.returncode == 0, r.stderr
        files[name] = out
    return files, keyfile


# (--where expressions, the same filters as Python tuples); typed values
# where the file has types (the text file compares everything as text).
def door_cases(kind):
    typed = kind != "text"
    num = (lambda v: v) if typed else str
    return [
        (["n=500"], [("n", "==", num(500))]),
        (["n<1000"] if typed else ["n<1000"], [("n", "<", num(1000))]),
        (["n >= 60000", "n<=65600"], [("n", ">=", num(60000)), ("n", "<=", num(65600))]),
        (["n!=7"], [("n", "!=", num(7))]),
        (["n in (1, 2, 200000)"], [("n", "in", [num(1), num(2), num(200000)])]),
        (["x<=0.5"] if typed else ["x<=0.5"], [("x", "<=", 0.5 if typed else "0.5")]),
        (["ok=false", "n<300"], [("ok", "==", False if typed else "false"), ("n", "<", num(300))]),
        (["raw=0a03"], [("raw", "==", b"\x0a\x03" if typed else "0a03")]),
        # n's nulls are hidden in chunk 0, which holds real zeros too (they
        # compare as 0), and marked in the others (they match nothing).
        (["n=0"], [("n", "==", num(0))]),
        (["n<5"], [("n", "<", num(5))]),
        (["name="], [("name", "==", "")]),
        (['name in ("",c9)', "n<70000"], [("name", "in", ["", "c9"]), ("n", "<", num(70000))]),
        (["name!="], [("name", "!=", "")]),
        (['name in ("a,b",c9)', "n<20000"], [("name", "in", ["a,b", "c9"]), ("n", "<", num(20000))]),
        (["name not in (c1,c2,\"\")", "n>65000"], [("name", "not in", ["c1", "c2", ""]), ("n", ">", num(65000))]),
        (["name>c48", "id<1000"], [("name", ">", "c48"), ("id", "<", num(1000))]),
    ]


@needs_varn
@pytest.mark.parametrize("kind", ["typed", "encrypted", "text"])
def test_both_doors_give_the_same_rows_and_skip_the_same_chunks(door_files, kind):
    files, keyfile = door_files
    path = files[kind]
    key = KEY if kind == "encrypted" else None
    with varn.open(path, key=key) as f:
        skipped = check_doors(f, path, kind, keyfile if key else None)
    assert skipped


def check_doors(f, path, kind, keyfile):
    """Runs every case through both doors; whether any chunk was skipped."""
    skipped_somewhere = False
    for where, filters in door_cases(kind):
        args = ["cat", path, "--columns", "id", "--stats"]
        for w in where:
            args += ["--where", w]
        if keyfile:
            args += ["--key-file", keyfile]
        r = run_varn(*args)
        assert r.returncode == 0, (where, r.stderr)
        cat_ids = [int(v) for v in r.stdout.decode().split("\n")[1:-1]]
        s = f.read(columns=["id"], filters=filters)
        stream_ids = s.read_arrow().column(0).to_pylist()
        assert cat_ids == [int(v) for v in stream_ids], where
        stats = s.stats
        line = (f"varn cat: 4 chunks: {stats['chunks_read']} read, {stats['chunks_skipped']} skipped")
        assert line in r.stderr.decode(), (where, r.stderr, stats)
        skipped_somewhere = skipped_somewhere or stats["chunks_skipped"] > 0
    return skipped_somewhere


def test_nulls_match_no_filter_but_the_empty_text(door_files):
    """The one exception to 'a null matches nothing': name= on a text column
    keeps the empty cells, null ones included (as varn cat always did);
    hidden nulls compare as their stored value."""
    files, _ = door_files
    def ids(filters, column="id"):
        return varn.read_arrow(files["typed"], columns=[column], filters=filters).column(0).to_pylist()

    assert ids([("name", "==", "")]) == [i for i in range(ROWS) if i % 10 == 3]
    assert ids([("name", "!=", ""), ("id", "<", 20)]) == [i for i in range(20) if i % 10 != 3]
    # The int column's nulls are hidden (its chunks hold more zeros than
    # nulls): they are given out, and compare, as the stored 0.
    assert ids([("n", "!=", 1), ("id", "<", 200)]) == [i for i in range(200) if i // 3 != 1 or i % 97 == 5]
    # The hidden nulls of chunk 0 need no wider range there (it holds real
    # zeros), and the nulls of the other chunks match nothing: only chunk 0
    # can hold n = 0.
    with varn.open(files["typed"]) as f:
        assert f.matching_chunks([("n", "==", 0)]) == [0]
        assert f.matching_chunks([("n", "<", 5)]) == [0]
    assert ids([("n", "==", 0)]) == [0, 1, 2] + [i for i in range(65536) if i % 97 == 5]


@needs_varn
@pytest.mark.parametrize("where, message", [
    ("zz=1", "names no column followed by an operator"),
    ("n=abc", "column 'n' holds integers: 'abc' is not one"),
    # An empty value names no int, float or bool cell (a null matches nothing).
    ("n=", "column 'n' is of type int: an empty value is none of its values"),
    ("x in (1.5, )", "column 'x' is of type float: an empty value"),
    ("ok!=", "column 'ok' is of type bool: an empty value"),
    ("x=1.5.2", "column 'x' holds decimals"),
    ("ok=maybe", "column 'ok' holds true or false"),
    ("raw=0g", "hex"),
    ("n in (1,2", "the list of values ends with ')'"),
    ('name="abc', "lacks its closing quote"),
])
def test_where_errors_name_the_fault(door_files, where, message):
    files, _ = door_files
    r = run_varn("cat", files["typed"], "--where", where)
    assert r.returncode == 2 and message.encode() in r.stderr, r.stderr
    assert r.stdout == b""
