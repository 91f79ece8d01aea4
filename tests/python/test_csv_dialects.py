"""varn compress reading real CSV: RFC 4180 quoting, delimiters, line ends,
compressed and piped input, ragged rows, and lossless type inference. The
cells are read back through the varn package and compared with what
Python's csv module makes of the same text."""
import csv
import gzip
import io
import json
import shutil
import subprocess

import pytest

from test_cli import VARN, same_but_creation_time, varn

varn_pkg = pytest.importorskip("varn")
pytest.importorskip("pyarrow")
pytestmark = pytest.mark.skipif(VARN is None, reason="the varn command is not built")


def cells_of(path):
    table = varn_pkg.read_arrow(str(path))
    return table.column_names, [list(r.values()) for r in table.to_pylist()]


def python_cells(text, delimiter=","):
    """Python's csv module, blank lines left out."""
    rows = csv.reader(io.StringIO(text, newline=""), delimiter=delimiter)
    return [r for r in rows if r]


def compress(tmp_path, data, *args, name="in.csv", input=None):
    src = tmp_path / name
    if data is not None:
        src.write_bytes(data if isinstance(data, bytes) else data.encode())
    out = tmp_path / (name + ".varn")
    r = varn("compress", "--no-progress", *args, "-" if input is not None else src, out, input=input)
    return r, out


CASES = [
    # quoted delimiters, line breaks and doubled quotes
    ('name,desc\n"Union County, Troy","said ""hi""\nthen left"\nplain,x\n', ","),
    # CR LF and lone CR line ends, a byte-order mark
    ("\ufeffa,b\r\n1,\"x\r\ny\"\r\n2,z\r\n", ","),
    ("a,b\r1,x\r2,y\r", ","),
    # other delimiters, detected from the header
    ("a;b;c\n1;2,5;x\n", ";"),
    ("a\tb\n1\tx y\n", "\t"),
    ("a|b\n\"1|2\"|x\n", "|"),
    # a stray quote in an unquoted field is text; an empty quoted field is a cell
    ('a,b\n5" pipe,x\n"",y\n', ","),
]


@pytest.mark.parametrize("text, delimiter", CASES)
def test_cells_match_python_csv(tmp_path, text, delimiter):
    r, out = compress(tmp_path, text, "--no-infer")
    assert r.returncode == 0, r.stderr
    expected = python_cells(text.lstrip("\ufeff"), delimiter)
    names, rows = cells_of(out)
    assert names == expected[0]
    assert rows == expected[1:]


def test_quoted_fields_keep_their_white_space_and_unquoted_ones_are_trimmed(tmp_path):
    r, out = compress(tmp_path, 'a,b\n  x  ," y "\n')
    assert r.returncode == 0, r.stderr
    assert cells_of(out) == (["a", "b"], [["x", " y "]])


def test_an_open_quote_at_the_end_is_an_error(tmp_path):
    r, _ = compress(tmp_path, 'a,b\n1,"never closed\n')
    assert r.returncode == 1
    assert "line 2: a quoted field is not closed by the end of the input" in r.stderr.decode()


@pytest.mark.parametrize("delimiter", [";", "\\t"])
def test_delimiter_option(tmp_path, delimiter):
    sep = "\t" if delimiter == "\\t" else delimiter
    text = f"a{sep}b,c\n1{sep}2,3\n"
    r, out = compress(tmp_path, text, "--delimiter", delimiter, "--no-infer")
    assert r.returncode == 0, r.stderr
    assert cells_of(out) == (["a", "b,c"], [["1", "2,3"]])


def test_ragged_rows(tmp_path):
    text = "a,b,c\n1,2\n3,4,5,6\n7,8,9\n"
    r, out = compress(tmp_path, text)
    assert r.returncode == 1
    assert "line 3: 4 fields, but the header has 3 columns" in r.stderr.decode()
    r, out = compress(tmp_path, text, "--extra-fields", "drop", "--no-infer")
    assert r.returncode == 0, r.stderr
    assert cells_of(out) == (["a", "b", "c"], [["1", "2", ""], ["3", "4", "5"], ["7", "8", "9"]])
    assert "1 row had more fields than the 3 columns of the header" in r.stderr.decode()


def many_rows(n):
    return "id,word,value\n" + "".join(f'{i},"w, {i % 13}",{i}.25\n' for i in range(n))


@pytest.mark.parametrize("packer", [None, gzip.compress, "zstd"])
def test_stdin_pipe_of_several_batches(tmp_path, packer):
    text = many_rows(140_000)
    data = text.encode()
    if packer == "zstd":
        if shutil.which("zstd") is None:
            pytest.skip("no zstd command to make the input")
        data = subprocess.run(["zstd", "-q", "-c"], input=data, capture_output=True, check=True).stdout
    elif packer:
        data = packer(data)
    r, out = compress(tmp_path, None, input=data)
    assert r.returncode == 0, r.stderr
    assert "id int, word text, value float" in r.stderr.decode()
    names, rows = cells_of(out)
    assert len(rows) == 140_000
    assert rows[7] == [7, "w, 7", 7.25]
    # The same file as from a regular uncompressed file.
    r2, out2 = compress(tmp_path, text, name="plain.csv")
    assert r2.returncode == 0
    assert same_but_creation_time(out.read_bytes(), out2.read_bytes())


def test_no_infer_equals_plain_on_a_simple_file(tmp_path):
    text = "a, b ,c\n1,2,3\n\n x ,y\n"
    r1, o1 = compress(tmp_path, text, "--no-infer", name="one.csv")
    r2, o2 = compress(tmp_path, text, "--plain", name="two.csv")
    assert r1.returncode == 0 and r2.returncode == 0
    assert same_but_creation_time(o1.read_bytes(), o2.read_bytes())


@pytest.mark.parametrize("cells, kind", [
    (["1", "-2", "9223372036854775807", "-9223372036854775808"], "int"),
    (["1", "007"], "text"),          # a leading zero would not come back
    (["1", "+2"], "text"),           # nor a plus sign
    (["1", "-0"], "text"),
    (["1", "9223372036854775808"], "text"),
    (["1", ""], "text"),             # an empty cell cannot be stored
    (["1.5", "2", "-0.0001", "922337203685477.5807"], "float"),
    (["1.50"], "text"),              # written back as 1.5
    (["0.00001"], "text"),           # more than 4 decimals
    (["1e3"], "text"),
    (["922337203685477.5808"], "text"),
    (["true", "false"], "bool"),
    (["True", "false"], "text"),
    (["1", "0"], "int"),
])
def test_inferred_types_are_lossless(tmp_path, cells, kind):
    text = "c,t\n" + "".join(f"{c},x\n" for c in cells)
    r, out = compress(tmp_path, text)
    assert r.returncode == 0, r.stderr
    assert f"c {kind}, t text" in r.stderr.decode()
    back = varn("cat", out).stdout.decode().splitlines()[1:]
    assert [line.rsplit(",", 1)[0] for line in back] == cells


@pytest.mark.parametrize("type_, cell, message", [
    ("int", "", "empty cell"),
    ("float", "1.23456", "has more than the 4 decimals"),
    ("float", "1e15", "is outside the float range"),
    ("int", "99999999999999999999", "outside the 64-bit integer range"),
    ("json", "12345678901234567890", "cannot be kept exactly"),
])
def test_declared_types_never_lose_silently(tmp_path, type_, cell, message):
    text = f'c\n1\n"{cell}"\n' if type_ != "json" else f"c\n1\n{cell}\n"
    r, out = compress(tmp_path, text, "--type", f"c={type_}")
    assert r.returncode == 1
    err = r.stderr.decode()
    assert "line 3, column 'c'" in err and message in err
    r, out = compress(tmp_path, text, "--type", f"c={type_}", "--lossy")
    if type_ == "int" and cell:
        assert r.returncode == 1  # cannot be stored at all
    else:
        assert r.returncode == 0, r.stderr
