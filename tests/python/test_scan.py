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

