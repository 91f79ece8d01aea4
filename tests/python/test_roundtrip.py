"""Round trip: `varn cat --plain` of a CSV converted in the plain dialect
gives back exactly the cells the conversion kept (trimmed, blank lines
skipped, short rows padded, extra fields dropped), and converting that
output again gives the same file apart from its creation time. Checked on
generated CSVs against a model of the dialect. `varn cat` (quoting) of any
cells gives CSV that Python's csv module and `varn compress` read back as
the same cells."""
import csv as csv_module
import io
import random

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from test_cli import VARN, same_but_creation_time, varn

pytestmark = pytest.mark.skipif(VARN is None, reason="the varn command is not built")

# Unicode White_Space, which the converter trims (Python's str.strip differs).
WHITE_SPACE = set(
    "\t\n\x0b\x0c\r \x85\xa0\u1680\u2028\u2029\u202f\u205f\u3000"
    + "".join(chr(c) for c in range(0x2000, 0x200B)))

# Field characters: ASCII, quotes (ordinary text here), multi-byte UTF-8, white
# space the converter trims, and look-alikes it must keep (U+200B, U+180E).
FIELD_CHARS = list("abcXYZ019 \t\"'.;-_") + [
    "\u00e9", "\u6771", "\u4eac", "\U0001F600", "\u00a0", "\u3000", "\u2009", "\x0b",
    "\u200b", "\u180e", "\x85", "\r"]


def trim(s):
    b, e = 0, len(s)
    while b < e and s[b] in WHITE_SPACE:
        b += 1
    while e > b and s[e - 1] in WHITE_SPACE:
        e -= 1
    return s[b:e]


def kept_cells(text):
    """The header names and rows the converter makes of `text`."""
    terminated = text.endswith("\n")
    lines = text.split("\n")
    if terminated:
        lines.pop()
    # A CR goes with the LF after it; the last line may have neither.
    for k, line in enumerate(lines):
        if (terminated or k < len(lines) - 1) and line.endswith("\r"):
            lines[k] = line[:-1]
    names = [trim(p) for p in lines[0].split(",")]
    rows = []
    for line in lines[1:]:
        if trim(line) == "":
            continue
        pieces = line.split(",")
        rows.append([trim(pieces[i]) if i < len(pieces) else "" for i in range(len(names))])
    return names, rows


def cat_text(names, rows):
    """What `varn cat` writes for these cells."""
    out = [",".join(names)]
    for r in rows:
        out.append("," if r == [""] else ",".join(r))
    return ("\n".join(out) + "\n").encode()


def check_round_trip(tmp_path, text):
    csv = tmp_path / "in.csv"
    csv.write_bytes(text.encode())
    first, second = tmp_path / "first.varn", tmp_path / "second.varn"
    r = varn("compress", "--plain", csv, first)
    assert r.returncode == 0, r.stderr
    r = varn("cat", "--plain", first)
    assert r.returncode == 0 and r.stderr == b""
    assert r.stdout == cat_text(*kept_cells(text))
    again = tmp_path / "again.csv"
    again.write_bytes(r.stdout)
    assert varn("compress", "--plain", again, second).returncode == 0
    assert same_but_creation_time(first.read_bytes(), second.read_bytes())
    assert varn("verify", first, "--quiet").returncode == 0


fields = st.text(alphabet=st.sampled_from(FIELD_CHARS), max_size=8)
lines = st.one_of(
    st.lists(fields, min_size=1, max_size=6).map(",".join),
    st.text(alphabet=st.sampled_from([" ", "\t", "\u3000", "\r"]), max_size=3),  # blank lines
)


@st.composite
def csv_texts(draw):
    header = draw(st.lists(fields, min_size=1, max_size=4).map(",".join))
    body = draw(st.lists(lines, max_size=25))
    out = [header]
    for line in body:
        out.append(line)
    endings = draw(st.lists(st.sampled_from(["\n", "\r\n"]), min_size=len(out), max_size=len(out)))
    text = "".join(l + e for l, e in zip(out, endings))
    if draw(st.booleans()):
        text = text[: -len(endings[-1])]  # no line feed after the last line
    return text


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=csv_texts())
def test_cat_gives_back_the_cells_of_any_csv(tmp_path, text):
    assume(text != "")  # an empty file is refused, not converted
    check_round_trip(tmp_path, text)


@pytest.mark.parametrize("seed", [1, 2])
def test_round_trip_over_several_chunks(tmp_path, seed):
    rng = random.Random(seed)
    ncols = rng.randint(2, 4)
    lines = [",".join(f" c{i} " for i in range(ncols))]
    for i in range(140000):
        if i % 997 == 0:
            lines.append(rng.choice(["", " ", "\t\u3000"]))
            continue
        n = rng.choice([ncols, ncols, ncols, 1, ncols + 2])
        lines.append(",".join(
            "".join(rng.choice(FIELD_CHARS) for _ in range(rng.randint(0, 6))) for _ in range(n)))
    text = "".join(l + rng.choice(["\n", "\r\n"]) for l in lines)
    names, rows = kept_cells(text)
    assert len(rows) > 2 * 65536  # three chunks
    check_round_trip(tmp_path, text)


# Any text at all in a cell: delimiters, quotes, line ends, white space.
QUOTED_CHARS = FIELD_CHARS + [",", "\n", "\r\n", '""', "|", ";"]
quoted_cells = st.lists(st.sampled_from(QUOTED_CHARS), max_size=6).map("".join)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(ncols=st.integers(1, 4), data=st.data(), delimiter=st.sampled_from([",", ";", "\t"]))
def test_quoting_cat_gives_back_any_cells(tmp_path, ncols, data, delimiter):
    names = data.draw(st.lists(quoted_cells, min_size=ncols, max_size=ncols))
    rows = data.draw(st.lists(st.lists(quoted_cells, min_size=ncols, max_size=ncols), max_size=20))
    # Written with every field quoted, so that the conversion keeps each as it is.
    buf = io.StringIO(newline="")
    csv_module.writer(buf, quoting=csv_module.QUOTE_ALL, lineterminator="\n").writerows([names] + rows)
    src = tmp_path / "in.csv"
    src.write_bytes(buf.getvalue().encode())
    first, second = tmp_path / "first.varn", tmp_path / "second.varn"
    r = varn("compress", "--no-progress", "--no-infer", src, first)
    assert r.returncode == 0, r.stderr
    option = "\\t" if delimiter == "\t" else delimiter
    out = varn("cat", "--delimiter", option, first)
    assert out.returncode == 0 and out.stderr == b"", out.stderr
    back = [r for r in csv_module.reader(io.StringIO(out.stdout.decode(), newline=""), delimiter=delimiter)]
    assert back == [names] + rows
    again = tmp_path / "again.csv"
    again.write_bytes(out.stdout)
    # One column: nothing in the header tells the delimiter.
    given_delimiter = ["--delimiter", option] if ncols == 1 else []
    r = varn("compress", "--no-progress", "--no-infer", *given_delimiter, again, second)
    assert r.returncode == 0, r.stderr
    assert same_but_creation_time(first.read_bytes(), second.read_bytes())
