"""Input the way users have it: other encodings, bzip2 and xz, preambles and
comment lines. Each file converts with every cell intact: what `varn cat`
gives back is what Python's csv module reads from the decoded text."""
import bz2
import csv
import gzip
import io
import lzma
import subprocess

import pytest

import varn
from test_cli import VARN, varn as run_varn  # noqa: E402

pytestmark = pytest.mark.skipif(VARN is None, reason="the varn command is not built")

# Quoted delimiters and line breaks, accents, CJK, a doubled quote; more than
# one 64 KiB transcoding buffer, so characters straddle its edges.
ROWS = [["id", "name", "note", "amount"]] + [
    [str(i), f"Müller, Jörg {i}", "Grüße\naus Köln" if i % 7 == 0 else f'say "hé" {i}', f"{i * 1.25:g}"]
    for i in range(3000)
]
CJK_ROWS = [["id", "城市", "メモ"]] + [[str(i), "東京" if i % 2 else "大阪", f"ｶﾀｶﾅ と 漢字 {i}"] for i in range(2000)]


def csv_text(rows, delimiter=","):
    out = io.StringIO()
    csv.writer(out, delimiter=delimiter, lineterminator="\r\n").writerows(rows)
    return out.getvalue()


def cells_back(varn_path):
    """The rows `varn cat` writes, as the csv module reads them."""
    r = run_varn("cat", varn_path)
    assert r.returncode == 0, r.stderr
    return list(csv.reader(io.StringIO(r.stdout.decode("utf-8"), newline="")))


def expected(text, delimiter=",", drop=lambda line: False):
    kept = "".join(line for line in io.StringIO(text, newline="") if not drop(line))
    return list(csv.reader(io.StringIO(kept, newline=""), delimiter=delimiter))


CASES = [
    # name, bytes of the file, extra options, rows it holds
    ("latin1", csv_text(ROWS).encode("latin-1"), ["--encoding", "latin1"], ROWS),
    ("cp1252 euro", csv_text([["a", "b"], ["€ 5", "‘quoted’"]]).encode("cp1252"), ["--encoding", "cp1252"],
     [["a", "b"], ["€ 5", "‘quoted’"]]),
    ("shift_jis", csv_text(CJK_ROWS).encode("shift_jis"), ["--encoding", "shift_jis"], CJK_ROWS),
    ("utf-16 with its mark", csv_text(ROWS).encode("utf-16"), [], ROWS),
    ("utf-16be with its mark", b"\xfe\xff" + csv_text(CJK_ROWS).encode("utf-16-be"), [], CJK_ROWS),
    ("utf-32 with its mark", csv_text(ROWS[:50]).encode("utf-32"), [], ROWS[:50]),
    ("utf-16le named", csv_text(ROWS).encode("utf-16-le"), ["--encoding", "UTF-16LE"], ROWS),
    ("bzip2", bz2.compress(csv_text(ROWS).encode()), [], ROWS),
    ("bzip2, two streams", bz2.compress(csv_text(ROWS[:10]).encode()) + bz2.compress(csv_text(ROWS[10:20]).encode()),
     [], ROWS[:20]),
    ("xz", lzma.compress(csv_text(ROWS).encode()), [], ROWS),
    ("xz of latin1", lzma.compress(csv_text(ROWS).encode("latin-1")), ["--encoding", "latin1"], ROWS),
    ("gzip of utf-16", gzip.compress(csv_text(ROWS).encode("utf-16")), [], ROWS),
]


@pytest.mark.parametrize("data, options, rows", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_every_cell_comes_back(tmp_path, data, options, rows):
    src = tmp_path / "in.csv"
    src.write_bytes(data)
    out = tmp_path / "out.varn"
    r = run_varn("compress", "--no-progress", *options, src, out)
    assert r.returncode == 0, r.stderr
    assert cells_back(out) == rows
    # varn.convert takes the same options and writes the same cells.
    kwargs = {"encoding": options[1]} if options else {}
    varn.convert(src, tmp_path / "py.varn", report=False, **kwargs)
    assert cells_back(tmp_path / "py.varn") == rows


# Like a time-zone table: a comment block, the column line, rows with
# commas, semicolons and quotes in their cells, a comment between rows.
ZONE_TAB = (
    "# tzdb timezone descriptions, for users; see below.\n"
    "#\n"
    "# This file is in the public domain; columns: code; coordinates; TZ; comments\n"
    "codes\tcoordinates\tTZ\tcomments\n"
    "AD\t+4230+00131\tEurope/Andorra\n"
    "AE,OM,RE\t+2518+05518\tAsia/Dubai\tUAE, Oman\n"
    "# a comment between rows\n"
    "AQ\t-6617+11031\tAntarctica/Casey\tCasey; \"quoted\" text\n"
)


def test_a_comment_headed_tab_file(tmp_path):
    src = tmp_path / "zone.tab"
    src.write_text(ZONE_TAB)
    out = tmp_path / "zone.varn"
    r = run_varn("compress", "--no-progress", "--comment", "#", src, out)
    assert r.returncode == 0, r.stderr
    assert "delimiter tab (detected from the header line)" in r.stderr.decode()
    want = expected(ZONE_TAB, "\t", lambda line: line.startswith("#"))
    # Short rows come back padded with empty cells.
    assert cells_back(out) == [row + [""] * (4 - len(row)) for row in want]
    assert len(want) == 4


@pytest.mark.parametrize("options, py", [
    (["--comment", "#"], {"comment": "#"}),
    (["--skip-lines", "3", "--comment", "#"], {"skip_lines": 3, "comment": "#"}),
])
def test_preamble_and_comments_are_not_seen_by_the_delimiter_detection(tmp_path, options, py):
    # The comment lines hold more semicolons than the header holds tabs.
    text = "# a; b; c; d\n#; ; ;\nname\tvalue\n# x;y;z\nfoo\t1\nbar\t2\n"
    if "--skip-lines" in options:
        text = "a preamble; not a comment\n\n;;;;\n" + text
    src = tmp_path / "in.tsv"
    src.write_text(text)
    r = run_varn("compress", "--no-progress", *options, src, tmp_path / "o.varn")
    assert r.returncode == 0, r.stderr
    assert cells_back(tmp_path / "o.varn") == [["name", "value"], ["foo", "1"], ["bar", "2"]]
    varn.convert(src, tmp_path / "p.varn", report=False, **py)
    assert cells_back(tmp_path / "p.varn") == [["name", "value"], ["foo", "1"], ["bar", "2"]]


def test_line_numbers_count_the_skipped_lines(tmp_path):
    src = tmp_path / "in.csv"
    src.write_text("title line\n# note\na,b\n# note\n1,2\n3,4,5\n")
    r = run_varn("compress", "--no-progress", "--skip-lines", "1", "--comment", "#", src, tmp_path / "o.varn")
    assert r.returncode == 1
    assert r.stderr.decode().splitlines()[-1] == (
        "varn compress: line 6: 3 fields, but the header has 2 columns (detected ',' from the header "
        "line; give --delimiter if the file uses another, or --extra-fields drop to drop the extra fields)")


def test_encoding_errors(tmp_path):
    src = tmp_path / "in.csv"
    src.write_bytes(b"a,b\n1,2\n3,\x82\xff\n")
    cases = [
        ([], "varn compress: line 3: the text is not valid UTF-8 (text in another encoding: "
             "give --encoding NAME, e.g. latin1)"),
        (["--encoding", "shift_jis"], "varn compress: line 3 (byte 10 of the text): the bytes are not valid shift_jis"),
        (["--encoding", "no-such-code"], "varn compress: Unknown encoding 'no-such-code' "
                                         "(names as iconv knows them: latin1, cp1252, shift_jis, utf-16, ...)"),
    ]
    for options, message in cases:
        r = run_varn("compress", "--no-progress", *options, src, tmp_path / "o.varn")
        assert (r.returncode, r.stderr.decode().splitlines()[-1]) == (1, message)
        assert not (tmp_path / "o.varn").exists()
    # A UTF-16 file cut in the middle of a character.
    src.write_bytes("a,b\n1,2\n".encode("utf-16")[:-1])
    r = run_varn("compress", "--no-progress", src, tmp_path / "o.varn")
    assert r.returncode == 1
    assert r.stderr.decode().splitlines()[-1] == (
        "varn compress: line 2 (byte 16 of the text): the text ends in the middle of a UTF-16LE character")
    src.write_bytes(b"a\n\xe9\n")
    with pytest.raises(ValueError, match='give encoding="NAME"'):
        varn.convert(src, tmp_path / "p.varn", report=False)


@pytest.mark.parametrize("data", [bz2.compress(b"a,b\n1,2\n" * 1000)[:-20], lzma.compress(b"a,b\n1,2\n" * 1000)[:-20]],
                         ids=["bzip2", "xz"])
def test_truncated_compressed_input_is_an_error(tmp_path, data):
    src = tmp_path / "in.csv"
    src.write_bytes(data)
    r = run_varn("compress", "--no-progress", src, tmp_path / "o.varn")
    assert r.returncode == 1 and b"ends in the middle of its data" in r.stderr
    assert not (tmp_path / "o.varn").exists()


def test_compressed_and_transcoded_standard_input(tmp_path):
    data = bz2.compress(csv_text(ROWS).encode("utf-16"))
    out = tmp_path / "o.varn"
    r = subprocess.run([VARN, "compress", "--no-progress", "-", str(out)], input=data, capture_output=True)
    assert r.returncode == 0, r.stderr
    assert cells_back(out) == ROWS


def test_python_messages_use_python_spellings(tmp_path):
    src = tmp_path / "in.csv"
    src.write_text("a;b\n1;2\n3;4;5\n")
    with pytest.raises(ValueError) as e:
        varn.convert(src, tmp_path / "o.varn", report=False)
    assert str(e.value) == ("line 3: 3 fields, but the header has 2 columns (detected ';' from the header line; "
                            'give delimiter= if the file uses another, or extra_fields="drop" to drop the extra fields)')
    src.write_text("a,b\n1,\n")
    with pytest.raises(ValueError, match=r"\(lossy=True stores 0 or false"):
        varn.convert(src, tmp_path / "o.varn", report=False, types={"b": "int"})
    with pytest.raises(ValueError, match="encoding, skip_lines and comment do not apply"):
        varn.convert(src, tmp_path / "o.varn", dialect="plain", comment="#")
