"""The varn command: usage and exit codes, compress (with types, encryption and
the progress bar), info, verify and cat (with column selection and --where)."""
import collections
import csv as csv_module
import io
import json
import os
import pty
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import varn_fileformat as vf
from conftest import crc32


def find_varn():
    """The varn executable: next to the interpreter, on PATH, or in a build directory."""
    candidates = [Path(sys.executable).parent / "varn"]
    on_path = shutil.which("varn")
    if on_path:
        candidates.append(Path(on_path))
    root = Path(__file__).resolve().parents[2]
    built = list(root.glob("build*/varn")) + list(root.glob("build/*/varn"))
    candidates += sorted(built, key=lambda p: p.stat().st_mtime, reverse=True)
    for c in candidates:
        if c.is_file() and os.access(c, os.X_OK):
            return str(c)
    return None


VARN = find_varn()
pytestmark = pytest.mark.skipif(VARN is None, reason="the varn command is not built")


def varn(*args, **kwargs):
    return subprocess.run([VARN, *map(str, args)], capture_output=True, **kwargs)


def same_but_creation_time(a: bytes, b: bytes):
    """Two VARN files are equal apart from bytes 24..31 (the creation time)."""
    return len(a) == len(b) and a[:24] == b[:24] and a[32:] == b[32:]


def leb(n):
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def bloom_words(texts):
    words = [0] * 64
    for t in texts:
        for seed in (0x9E3779B97F4A7C15, 0x6C62272E07BB0142, 0xBF58476D1CE4E5B9):
            h = seed
            for b in t:
                h = ((h ^ b) * 0x517CC1B727220A95) & 0xFFFFFFFFFFFFFFFF
            bit = h % 4096
            words[bit >> 6] |= 1 << (bit & 63)
    return words


def build_text_varn(names, rows, payloads=None):
    """A one-chunk file of text columns written independently of the module,
    every block stored as it is: cells may hold anything, even commas.
    `payloads` maps a column number to the payload to store in place of its
    cells' entries."""
    def stored(b):
        return b"\x02" + b if b else b""

    schema = stored(b"".join(leb(len(n)) + n + b"\x04\x00" for n in names))
    data = b"VARN" + struct.pack("<HHQIIQ", 2, len(names), len(rows), 1, 65536, 0) + bytes(32)
    data += struct.pack("<I", len(schema)) + schema + struct.pack("<Q", 2) + b"\x02\x00"
    entries = b""
    for c in range(len(names)):
        cells = [r[c] for r in rows]
        payload = b"".join(leb(len(t)) + t for t in cells)
        block = stored((payloads or {}).get(c, payload))
        entries += struct.pack("<QQBI", len(data), len(block), 0, 0) + b"\x00\x00"
        for t in (min(cells), max(cells)):
            entries += leb(len(t)) + t
        entries += struct.pack("<64Q", *bloom_words(cells))
        data += struct.pack("<IQ", crc32(block), len(block)) + block
    index = stored(struct.pack("<IHI", 1, len(names), len(rows)) + entries)
    return data + index + struct.pack("<QQ", len(index), len(data))


@pytest.fixture
def convert(tmp_path):
    """Converts CSV text with the module; returns the output path."""
    counter = [0]

    def make(text, name=None):
        counter[0] += 1
        csv = tmp_path / f"in{counter[0]}.csv"
        csv.write_bytes(text.encode() if isinstance(text, str) else text)
        out = tmp_path / (name or f"out{counter[0]}.varn")
        vf.compress_csv(str(csv), str(out))
        return str(out)

    return make


# --- usage ---------------------------------------------------------------


@pytest.mark.parametrize("command", ["compress", "info", "verify", "cat"])
def test_help_and_usage_errors(command):
    r = varn(command, "--help")
    assert r.returncode == 0 and r.stdout.decode().startswith(f"usage: varn {command}")
    r = varn(command)
    assert r.returncode == 2
    assert r.stderr.decode().startswith(f"varn {command}: expected")
    r = varn(command, "--bogus", "x")
    assert (r.returncode, r.stderr.decode().splitlines()[0]) == (
        2, f"varn {command}: unknown option '--bogus'")


def test_top_level_usage():
    assert varn().returncode == 2
    assert varn("--help").returncode == 0
    r = varn("frobnicate")
    assert r.returncode == 2 and b"unknown command 'frobnicate'" in r.stderr


# --- compress ------------------------------------------------------------


def test_compress_gives_the_bytes_and_report_of_compress_csv(tmp_path, capfd):
    rows = "".join(f"{i}, v{i % 97} ,{'x' * (i % 5)}\n" for i in range(70000))
    csv = tmp_path / "in.csv"
    csv.write_text("a, b ,c\n\n" + rows + " \t\r\nshort\n1,2,3,4\n")
    by_module, by_cli = tmp_path / "m.varn", tmp_path / "c.varn"
    vf.compress_csv(str(csv), str(by_module))
    module_report = capfd.readouterr().err
    r = varn("compress", "--plain", csv, by_cli)
    assert r.returncode == 0 and r.stdout == b""
    assert same_but_creation_time(by_module.read_bytes(), by_cli.read_bytes())
    cli_report = r.stderr.decode()
    assert "\r" not in cli_report  # no progress bar off a terminal
    # The same report, but for the timing figures of the DONE line; the row
    # longer than the header is reported last by both.
    *head_m, done_m, long_m = module_report.rstrip("\n").split("\n")
    *head_c, done_c, long_c = cli_report.rstrip("\n").split("\n")
    assert long_c == long_m and long_m.startswith(">>> WARNING: 1 row had more fields")
    assert head_c == head_m
    assert done_c.split(" in ")[0] == done_m.split(" in ")[0]
    assert done_c.split(" | ")[1] == done_m.split(" | ")[1]


def run_on_terminal(args):
    """Runs varn with standard error on a pseudo-terminal; returns (code, stderr text)."""
    master, slave = pty.openpty()
    p = subprocess.Popen([VARN, *map(str, args)], stdout=subprocess.DEVNULL, stderr=slave)
    os.close(slave)
    chunks = []
    while True:
        try:
            data = os.read(master, 65536)
        except OSError:  # EIO once the child has closed the terminal
            break
        if not data:
            break
        chunks.append(data)
    os.close(master)
    return p.wait(), b"".join(chunks).decode()


def test_progress_bar_only_on_a_terminal(tmp_path):
    csv = tmp_path / "in.csv"
    csv.write_text("a,b\n" + "".join(f"{i},x\n" for i in range(140000)))
    code, err = run_on_terminal(["compress", csv, tmp_path / "o.varn"])
    assert code == 0
    assert "\r[" in err and " MB/s" in err and "M rows" in err and "\x1b[K" in err
    # The report lines come after the bar is cleared.
    assert "\r\x1b[Koutput   " in err and "140000 rows in 3 chunks" in err
    code, err = run_on_terminal(["compress", "--no-progress", csv, tmp_path / "p.varn"])
    assert code == 0 and "\r[" not in err and "140000 rows in 3 chunks" in err


def test_compress_failures(tmp_path):
    r = varn("compress", tmp_path / "missing.csv", tmp_path / "o.varn")
    assert r.returncode == 1
    assert r.stderr.decode().endswith(f"varn compress: CSV file does not exist: {tmp_path / 'missing.csv'}\n")
    empty = tmp_path / "empty.csv"
    empty.write_bytes(b"")
    r = varn("compress", empty, tmp_path / "o.varn")
    assert r.returncode == 1 and r.stderr.decode().endswith("varn compress: CSV file is empty\n")
    assert varn("compress", "only-one-argument").returncode == 2


# --- info ----------------------------------------------------------------

BLOCK_TAGS = ["Lz", "LzHuffman", "Stored", "Huffman", "Range", "LzRange"]  # by a block's first byte


def test_info_json_agrees_with_the_file(convert, read_varn):
    rows = [(f"k{i:06d}", ["zeta", "alpha", "\u00e9t\u00e9"][i % 3], "") for i in range(70000)]
    out = convert("key,word,empty\n" + "".join(",".join(r) + "\n" for r in rows))
    f = read_varn(out)
    r = varn("info", out, "--json")
    assert r.returncode == 0
    info = json.loads(r.stdout)
    assert info["file_size"] == len(f.data)
    assert (info["version"], info["created"], info["chunk_size"]) == (2, f.created, 65536)
    assert (info["total_rows"], info["chunk_count"]) == (70000, 2) == (f.total_rows, f.chunk_count)
    assert info["chunk_rows"] == [65536, 70000 - 65536]
    assert info["layout"] == {
        "schema_block": f.schema_len, "dictionary_block": f.dict_len,
        "records_offset": f.records_start, "index_offset": f.index_offset,
        "index_block": f.index_len}
    records = f.records()
    assert [c["name"] for c in info["columns"]] == ["key", "word", "empty"]
    all_tags = collections.Counter()
    for i, col in enumerate(info["columns"]):
        tags = collections.Counter(BLOCK_TAGS[b[0]] for k, (_, _, b) in enumerate(records) if k % 3 == i)
        assert col["blocks"] == dict(tags)
        all_tags += tags
        cells = [r[i].encode() for r in rows]
        assert col["type"] == "text" and col["type_code"] == 4 and col["encrypted"] is False
        assert col["encodings"] == {"Plain": 2}
        assert col["compressed_bytes"] == sum(len(b) for k, (_, _, b) in enumerate(records) if k % 3 == i)
        assert col["null_count"] == 0
        assert (col["min"].encode(), col["max"].encode()) == (min(cells), max(cells))
    assert info["blocks"] == dict(all_tags)
    assert len(all_tags) > 1  # the columns' blocks differ, so a mix-up shows


def test_info_table(convert):
    out = convert("id,name\n1,x\n")
    r = varn("info", out)
    assert r.returncode == 0
    text = r.stdout.decode()
    assert "rows      1 in 1 chunks of up to 65536 rows" in text
    # One stored block of 3 bytes (tag, length, x) for the column's one cell.
    assert text.splitlines()[-1].split() == ["1", "name", "text", "-", "Plain(1)", "3", "Stored(1)", "0", '"x"', '"x"']
    assert "blocks    2: Stored 2 (100%)" in text
    assert varn("info", out + ".missing").returncode == 1


# --- verify --------------------------------------------------------------


def test_verify_passes_a_sound_file_and_names_the_first_fault(convert, read_varn, tmp_path):
    out = convert("a,b\nx,yy\nz,w\n")
    r = varn("verify", out)
    assert r.returncode == 0
    assert r.stdout.decode().startswith(f"{out}: OK: 1 chunks, 2 rows, 2 columns; 2 records checked")
    assert varn("verify", out, "--quiet").stdout == b""

    f = read_varn(out)
    offset_b = f.records()[1][0]
    good = f.data
    damaged = tmp_path / "damaged.varn"

    def verify_with(change):
        data = bytearray(good)
        change(data)
        damaged.write_bytes(bytes(data))
        r = varn("verify", damaged)
        return r.returncode, r.stderr.decode()

    def flip(at):
        return lambda d: d.__setitem__(at, d[at] ^ 0x40)

    code, err = verify_with(flip(offset_b + 12))
    assert code == 1
    assert err.startswith(f"varn verify: {damaged}: chunk 0, column 1 'b', record at offset {offset_b}: CRC-32 mismatch")
    code, err = verify_with(flip(9))
    assert code == 1 and "header at offset 8: total rows" in err
    code, err = verify_with(lambda d: d.__delitem__(slice(len(d) - 3, len(d))))
    assert code == 1 and "trailer at offset" in err
    code, err = verify_with(lambda d: d.__setitem__(slice(0, 4), b"NOPE"))
    assert code == 1 and "header at offset 0: not a VARN file" in err
    r = varn("verify", tmp_path / "missing.varn")
    assert r.returncode == 1 and b"cannot open the file: No such file or directory (os error 2)" in r.stderr


def test_verify_accepts_an_independently_written_file(tmp_path):
    path = tmp_path / "hand.varn"
    path.write_bytes(build_text_varn([b"p", b"q"], [[b"1", b""], [b"22", b"\xc3\xa9"], [b"1", b"z"]]))
    r = varn("verify", path)
    assert r.returncode == 0, r.stderr
    assert varn("cat", path).stdout == "p,q\n1,\n22,\u00e9\n1,z\n".encode()


# --- cat -----------------------------------------------------------------


@pytest.mark.parametrize("rows, payload, fault", [
    (2, b"\x00", "fewer bytes than entries"),
    (2, b"\x01a\x80", "truncated length"),
    (2, b"\x01a\x05b", "entry longer than the bytes left"),
    (2, b"\x01a\x01bX", "bytes left over after the last entry"),
    # Past the first rows that cat writes out as a group.
    (700, b"\x01a" * 650 + b"\x09b", "entry longer than the bytes left"),
    (700, b"\x01a" * 700 + b"X", "bytes left over after the last entry"),
], ids=["short", "truncated", "too-long", "left-over", "too-long-late", "left-over-late"])
def test_cat_and_verify_name_a_malformed_entry_payload(tmp_path, rows, payload, fault):
    """Blocks with a good CRC whose entries do not add up."""
    path = tmp_path / "bad.varn"
    data = build_text_varn([b"p", b"q"], [[b"1", b"a"]] * rows, payloads={1: payload})
    path.write_bytes(data)
    offset = data.index(struct.pack("<IQ", crc32(b"\x02" + payload), len(payload) + 1))
    place = f"chunk 0, column 1 'q', record at offset {offset}"
    # The cells of q up to the fault (these payloads have one-byte lengths).
    cells, at = [], 0
    while len(cells) < rows and at < len(payload) and at + 1 + payload[at] <= len(payload):
        cells.append(payload[at + 1:at + 1 + payload[at]])
        at += 1 + payload[at]
    for args, whole in ((["cat", path], b"p,q\n" + b"".join(b"1," + c + b"\n" for c in cells)),
                        (["cat", path, "--columns", "q"], b"q\n" + b"".join(c + b"\n" for c in cells)),
                        (["verify", path], b"")):
        r = varn(*args)
        assert r.returncode == 1, args
        err = r.stderr.decode()
        assert f"{path}: {place}: payload does not decode: length-prefixed payload: {fault}" in err, (args, err)
        # What cat wrote before it stopped is written out (the header line
        # at least) and sound: whole rows, as the payload holds them.
        header = whole[:whole.find(b"\n") + 1]
        assert r.stdout.startswith(header) and whole.startswith(r.stdout), args
        assert r.stdout[-1:] in (b"", b"\n"), args


def test_cat_writes_the_cells_the_conversion_kept(convert):
    out = convert(" a ,b,\u00e9\r\n1, two ,3\n\n \t \nonly\n4,5,6,7,8\r\nx,\u6771\u4eac,\u00a0y\u3000\n")
    r = varn("cat", out)
    assert r.returncode == 0 and r.stderr == b""
    assert r.stdout.decode() == "a,b,\u00e9\n1,two,3\nonly,,\n4,5,6\nx,\u6771\u4eac,y\n"


def test_cat_selects_and_orders_columns(convert):
    out = convert("a,b,c\n1,2,3\n4,5,6\n")
    assert varn("cat", out, "--columns", "c, a").stdout == b"c,a\n3,1\n6,4\n"
    assert varn("cat", out, "--columns=b,b").stdout == b"b,b\n2,2\n5,5\n"
    r = varn("cat", out, "--columns", "a,nope")
    assert r.returncode == 2 and b"no column named 'nope'" in r.stderr


def test_cat_plain_writes_a_lone_empty_cell_as_a_comma(convert, tmp_path):
    out = convert("only\nx\n,\n \ty,z\n")
    text = varn("cat", "--plain", out).stdout
    assert text == b"only\nx\n,\ny\n"
    again = tmp_path / "again.csv"
    again.write_bytes(text)
    r = varn("compress", "--plain", again, tmp_path / "again.varn")
    assert r.returncode == 0
    assert same_but_creation_time(Path(out).read_bytes(), (tmp_path / "again.varn").read_bytes())


def test_cat_warns_about_cells_the_dialect_cannot_carry(tmp_path):
    path = tmp_path / "odd.varn"
    path.write_bytes(build_text_varn([b"a"], [[b"x,y"], [b" lead"], [b"ok"], [b"\xff"]]))
    r = varn("cat", "--plain", path)
    assert r.returncode == 0
    assert r.stdout == b"a\nx,y\n lead\nok\n\xff\n"
    assert r.stderr.decode() == (
        "varn cat: warning: 3 cells hold a comma, a line break, white space at an edge or bytes "
        "that are not UTF-8 (the first: chunk 0, row 0, column 'a'): the output does not read "
        "back as the same cells\n")
    # Quoted, only the bytes that are not UTF-8 stay unreadable.
    r = varn("cat", path)
    assert r.returncode == 0
    assert r.stdout == b'a\n"x,y"\n" lead"\nok\n\xff\n'
    assert r.stderr.decode() == (
        "varn cat: warning: 1 cells hold bytes that are not UTF-8 (the first: chunk 0, row 3, "
        "column 'a'): varn compress does not read the output back\n")


def rfc_field(cell: bytes, delimiter: bytes = b",") -> bytes:
    """A cell as varn cat quotes it: when it holds the delimiter, a quote, CR
    or LF, or white space at an edge."""
    try:
        text = cell.decode()  # Unicode White_Space, for these cells (none holds \x1c to \x1f)
    except UnicodeDecodeError:
        text = "".join(chr(b) if b < 0x80 else "x" for b in cell)
    edge = text[:1].isspace() or text[-1:].isspace()
    if any(c in cell for c in (delimiter, b'"', b"\r", b"\n")) or edge:
        return b'"' + cell.replace(b'"', b'""') + b'"'
    return cell


@pytest.mark.parametrize("quoted", [False, True], ids=["plain", "quoted"])
def test_cat_finds_separators_in_every_position_of_a_cell(tmp_path, quoted):
    # Cells of 1 to 17 bytes with a comma, quote, CR, line feed or non-UTF-8
    # byte at their start, middle or end, each beside a clean cell; the
    # clean cells' neighbours in the payload hold such bytes, which must not
    # count.
    rows, bad = [], 0
    for n in range(1, 18):
        for pos in sorted({0, n // 2, n - 1}):
            # White space counts only at an edge of the cell.
            edge = pos in (0, n - 1)
            seps = b',\n\xff\r"' + (b" \t\x0b\x0c" if edge else b"")
            for ch in seps:
                cell = bytearray(b"q" * n)
                cell[pos] = ch
                rows.append([b"c" * n, bytes(cell)])
                rows.append([bytes(cell), b"d" * (18 - n)])
                # Plain: a comma, LF, bytes that are not UTF-8 or white space
                # at an edge; quoted: the bytes that are not UTF-8.
                bad += 2 * (ch == 0xFF or (not quoted and (ch in b",\n" or (edge and ch in b"\r"))) or
                            (not quoted and edge and ch in b" \t\x0b\x0c"))
        rows.append([b"e" * n, b"f" * n])
    path = tmp_path / "sep.varn"
    path.write_bytes(build_text_varn([b"a", b"b"], rows))
    r = varn("cat", *([] if quoted else ["--plain"]), path)
    assert r.returncode == 0
    field = rfc_field if quoted else (lambda c: c)
    assert r.stdout == b"a,b\n" + b"".join(field(x) + b"," + field(y) + b"\n" for x, y in rows)
    assert r.stderr.decode().startswith(f"varn cat: warning: {bad} cells hold ")


@pytest.mark.parametrize("quoted, ch", [(False, c) for c in b",\n\xff \t\r\x0b\x0c"] +
                         [(True, c) for c in b',\n\xff \t\r\x0b\x0c";'])
def test_cat_finds_a_lone_separator_among_short_clean_cells(tmp_path, quoted, ch):
    # Only short cells (lengths 1 to 8, so no length byte looks like a
    # separator or white space) and one bad cell: the scan that lets clean
    # stretches of a column skip the per-cell look must still see it.
    rows = [[b"x" * (1 + i % 8), b"y" * (1 + (i * 3) % 8)] for i in range(300)]
    rows[123][1] = b"ab" + bytes([ch])
    path = tmp_path / "one.varn"
    path.write_bytes(build_text_varn([b"a", b"b"], rows))
    delimiter = b";" if ch == ord(";") else b","
    r = varn("cat", *(["--delimiter", delimiter.decode()] if quoted else ["--plain"]), path)
    assert r.returncode == 0
    field = (lambda c: rfc_field(c, delimiter)) if quoted else (lambda c: c)
    assert r.stdout == b"a" + delimiter + b"b\n" + b"".join(
        field(x) + delimiter + field(y) + b"\n" for x, y in rows)
    if not quoted:
        assert r.stderr.decode().startswith(
            "varn cat: warning: 1 cells hold a comma, a line break, white space at an edge or bytes "
            "that are not UTF-8 (the first: chunk 0, row 123, column 'b')")
    else:
        assert r.stderr == (b"" if ch != 0xFF else
                            b"varn cat: warning: 1 cells hold bytes that are not UTF-8 (the first: "
                            b"chunk 0, row 123, column 'b'): varn compress does not read the output back\n")


# Cells varn cat must quote (and one it must not) in the output of each
# delimiter, and plain ones around them.
QUOTING_CELLS = [
    ("delimiter", "x{d}y"),
    ("quote", 'say "hi"'),
    ("quote only", '"'),
    ("LF", "two\nlines"),
    ("CR", "two\rlines"),
    ("CR LF", "two\r\nlines"),
    ("leading space", " lead"),
    ("trailing tab", "trail\t"),
    ("no-break space", "\u00a0nbsp"),
    ("ideographic space", "cjk\u3000"),
    ("empty", ""),
    ("plain", "plain text"),
    ("other candidate", "a{o}b"),
    ("non-ASCII", "Gen\u00e8ve"),
]


@pytest.mark.parametrize("delimiter", [",", ";", "\t", "|"], ids=["comma", "semicolon", "tab", "bar"])
def test_cat_quotes_what_python_csv_and_compress_read_back(tmp_path, delimiter):
    other = "," if delimiter != "," else ";"
    cells = [c.format(d=delimiter, o=other) for _, c in QUOTING_CELLS]
    rows = [[name.encode(), c.encode()] for (name, _), c in zip(QUOTING_CELLS, cells)]
    path = tmp_path / "q.varn"
    path.write_bytes(build_text_varn([b"case", b"cell"], rows))
    option = "\\t" if delimiter == "\t" else delimiter
    r = varn("cat", "--delimiter", option, path)
    assert r.returncode == 0 and r.stderr == b"", r.stderr
    d = delimiter.encode()
    assert r.stdout == b"case" + d + b"cell\n" + b"".join(
        rfc_field(a, d) + d + rfc_field(b, d) + b"\n" for a, b in rows)
    back = list(csv_module.reader(io.StringIO(r.stdout.decode(), newline=""), delimiter=delimiter))
    assert back == [["case", "cell"]] + [[name, c] for (name, _), c in zip(QUOTING_CELLS, cells)]
    # varn compress (delimiter detected) gives the same cells again.
    again = tmp_path / "q.csv"
    again.write_bytes(r.stdout)
    r2 = varn("compress", "--no-progress", again, tmp_path / "q2.varn")
    assert r2.returncode == 0, r2.stderr
    assert varn("cat", "--delimiter", option, tmp_path / "q2.varn").stdout == r.stdout


@pytest.mark.parametrize("names, rows, expected", [
    # A lone empty cell would be a blank line: "" instead.
    ([b"only"], [[b"x"], [b""], [b" y"]], b'only\nx\n""\n" y"\n'),
    # Names are quoted like cells...
    ([b"a,b", b'q"'], [[b"1", b"2"]], b'"a,b","q"""\n1,2\n'),
    # ...and when another delimiter would win the detection in the header.
    ([b"a;b;c", b"d"], [[b"1", b"2"]], b'"a;b;c",d\n1,2\n'),
    ([b"x|y"], [[b"1"]], b'"x|y"\n1\n'),
    # A byte-order mark would be dropped at the start of the output.
    ([b"\xef\xbb\xbfid", b"v"], [[b"1", b"2"]], b'"\xef\xbb\xbfid",v\n1,2\n'),
    # Nothing to quote: the same bytes as --plain.
    ([b"a;b", b"c"], [[b"1", b"x;y"]], b"a;b,c\n1,x;y\n"),
], ids=["lone-empty", "names", "detection", "detection-one-column", "bom", "untouched"])
def test_cat_quotes_names_and_lone_empty_cells(tmp_path, names, rows, expected):
    path = tmp_path / "n.varn"
    path.write_bytes(build_text_varn(names, rows))
    r = varn("cat", path)
    assert r.returncode == 0 and r.stdout == expected
    again = tmp_path / "n.csv"
    again.write_bytes(r.stdout)
    r2 = varn("compress", "--no-progress", "--no-infer", again, tmp_path / "n2.varn")
    assert r2.returncode == 0, r2.stderr
    assert varn("cat", tmp_path / "n2.varn").stdout == expected


def test_cat_dialect_option_errors(tmp_path):
    path = tmp_path / "n.varn"
    path.write_bytes(build_text_varn([b"a"], [[b"1"]]))
    for args, message in ((["--plain", "--delimiter", ";"], "--plain writes commas"),
                          (["--delimiter", '"'], "--delimiter takes one character"),
                          (["--delimiter", "ab"], "--delimiter takes one character")):
        r = varn("cat", *args, path)
        assert r.returncode == 2 and message in r.stderr.decode(), args


def test_cat_round_trip_of_typed_columns_and_nulls(tmp_path):
    """int, float, bool, bytes, json and text cells, null ones among them:
    cat, compress of the output (types inferred), cat again: the same text."""
    csv_path = tmp_path / "typed.csv"
    csv_path.write_text(
        "n,f,b,h,j,t\n"
        '7,1.5,true,0aff,"{""k"": [""x,y"", 1]}","a, ""b"""\n'
        '-12,-2.5,false,,null," pad "\n'
        '0,3,true,00,"""s\\u002c""",\n')
    out = tmp_path / "typed.varn"
    r = varn("compress", "--no-progress", "--lossy", *TYPES, csv_path, out)
    assert r.returncode == 0, r.stderr
    first = varn("cat", out)
    assert first.returncode == 0, first.stderr
    assert first.stdout.decode() == (
        "n,f,b,h,j,t\n"
        '7,1.5,true,0aff,"{""k"":[""x\\u002cy"",1]}","a, ""b"""\n'
        '-12,-2.5,false,,," pad "\n'
        '0,3,true,00,"""s\\u002c""",\n')
    again = tmp_path / "again.csv"
    again.write_bytes(first.stdout)
    r = varn("compress", "--no-progress", again, tmp_path / "again.varn")
    assert r.returncode == 0, r.stderr
    assert varn("cat", tmp_path / "again.varn").stdout == first.stdout
    # And with the same types declared, the same file.
    r = varn("compress", "--no-progress", "--lossy", *TYPES, again, tmp_path / "same.varn")
    assert r.returncode == 0, r.stderr
    assert same_but_creation_time(out.read_bytes(), (tmp_path / "same.varn").read_bytes())


def test_cat_round_trip_of_the_sample_file(tmp_path):
    sample = Path(__file__).resolve().parents[2] / "data" / "trips.csv"
    first, second = tmp_path / "a.varn", tmp_path / "b.varn"
    assert varn("compress", "--no-progress", sample, first).returncode == 0
    text = varn("cat", first).stdout
    # No cell needs quotes: the same bytes as --plain.
    assert text == varn("cat", "--plain", first).stdout
    (tmp_path / "y.csv").write_bytes(text)
    assert varn("compress", "--no-progress", tmp_path / "y.csv", second).returncode == 0
    assert same_but_creation_time(first.read_bytes(), second.read_bytes())


@pytest.fixture(scope="module")
def three_chunks(tmp_path_factory):
    """Three full chunks: `seq` sorted, `tag` spanning a..z in every chunk with
    one m<chunk> value each, `uniq` distinct in every row (saturated filters)."""
    d = tmp_path_factory.mktemp("where")
    n = 3 * 65536
    lines = ["seq,tag,uniq"]
    for i in range(n):
        tag = f"m{i // 65536}" if i % 65536 == 100 else ("a" if i % 2 else "z")
        lines.append(f"{i:07d},{tag},u{i}")
    csv = d / "w.csv"
    csv.write_text("\n".join(lines) + "\n")
    out = d / "w.varn"
    vf.compress_csv(str(csv), str(out))
    return str(out)


@pytest.mark.parametrize("where, rows, stats", [
    ("seq=0100000", ["0100000,z,u100000"], "1 read, 2 skipped (2 by minimum/maximum, 0 by Bloom filter)"),
    ("tag=m2", ["0131172,m2,u131172"], "1 read, 2 skipped (0 by minimum/maximum, 2 by Bloom filter)"),
    ("tag=m9", [], "0 read, 3 skipped (0 by minimum/maximum, 3 by Bloom filter)"),
    ("tag=0", [], "0 read, 3 skipped (3 by minimum/maximum, 0 by Bloom filter)"),
    # Inside the range of chunks 0 and 1, whose filters are too full to rule it out.
    ("uniq=u1x", [], "2 read, 1 skipped (1 by minimum/maximum, 0 by Bloom filter)"),
    ("uniq=u7", ["0000007,a,u7"], "2 read, 1 skipped (1 by minimum/maximum, 0 by Bloom filter)"),
])
def test_cat_where_skips_the_chunks_the_index_rules_out(three_chunks, where, rows, stats):
    r = varn("cat", three_chunks, "--where", where, "--stats")
    assert r.returncode == 0
    assert r.stdout.decode().splitlines() == ["seq,tag,uniq"] + rows
    written = "1 row" if len(rows) == 1 else f"{len(rows)} rows"
    assert r.stderr.decode() == f"varn cat: 3 chunks: {stats}; {written} written\n"


def test_cat_where_needs_a_column(convert):
    out = convert("a,b=c\n1,2\n3,4\n")
    assert varn("cat", out, "--where", "b=c=4").stdout == b"a,b=c\n3,4\n"
    r = varn("cat", out, "--where", "z=1")
    assert r.returncode == 2 and b"'z=1' names no column followed by an operator" in r.stderr


def test_cat_reports_a_failed_write(convert):
    out = convert("a\n" + "x\n" * 1000)
    with open("/dev/full", "wb") as full:
        r = subprocess.run([VARN, "cat", out], stdout=full, stderr=subprocess.PIPE)
    assert r.returncode == 1
    assert r.stderr.decode() == "varn cat: cannot write the output: No space left on device (os error 28)\n"


# --- typed and encrypted columns ----------------------------------------

TYPES = ["--type", "n=int", "--type", "f=float", "--type", "b=bool", "--type", "h=bytes",
         "--type", "j=json"]


def test_typed_columns_print_canonically_and_convert_back(tmp_path):
    csv = tmp_path / "typed.csv"
    csv.write_text(
        "n,f,b,h,j,t\n"
        "+7,1.50,TRUE,0AfF,{ \"k\" : [ \"x\" ] },a\n"
        "-0012,-.25e1,0,,null,b\n"
        "9223372036854775807,3,false,00,\"s\\u002c\\n\",c\n")
    out = tmp_path / "typed.varn"
    r = varn("compress", "--plain", *TYPES, csv, out)
    assert r.returncode == 0, r.stderr
    info = json.loads(varn("info", out, "--json").stdout)
    assert [c["type"] for c in info["columns"]] == ["int", "float", "bool", "bytes", "json", "text"]
    assert varn("verify", out).returncode == 0
    r = varn("cat", "--plain", out)
    assert r.returncode == 0 and r.stderr == b""
    assert r.stdout.decode() == (
        "n,f,b,h,j,t\n"
        "7,1.5,true,0aff,{\"k\":[\"x\"]},a\n"
        "-12,-2.5,false,,,b\n"
        "9223372036854775807,3,false,00,\"s\\u002c\\n\",c\n")

    # Converting the output with the same types gives the same file.
    again = tmp_path / "again.csv"
    again.write_bytes(r.stdout)
    assert varn("compress", "--plain", *TYPES, again, tmp_path / "again.varn").returncode == 0
    assert same_but_creation_time(out.read_bytes(), (tmp_path / "again.varn").read_bytes())

    # --where on an int column uses the index minimum and maximum.
    r = varn("cat", out, "--where", "n=-13", "--stats")
    assert r.stdout == b"n,f,b,h,j,t\n"
    assert r.stderr == b"varn cat: 1 chunk: 0 read, 1 skipped (1 by minimum/maximum, 0 by Bloom filter); 0 rows written\n"
    r = varn("cat", out, "--where", "n=-12", "--columns", "t")
    assert r.stdout == b"t\nb\n"
    r = varn("cat", out, "--where", "b=false", "--columns", "n")
    assert r.stdout == b"n\n-12\n9223372036854775807\n"


def test_null_cells_of_typed_columns(tmp_path):
    csv = tmp_path / "nulls.csv"
    csv.write_text("n,f,b,h,j\n1,,,,\n,,,,\n")
    out = tmp_path / "nulls.varn"
    # Without --lossy an empty cell of an int, float or bool column is refused.
    r = varn("compress", *TYPES, csv, out)
    assert r.returncode == 1
    assert "line 2, column 'f': empty cell: a float column stores no empty value" in r.stderr.decode()
    assert varn("compress", "--lossy", *TYPES, csv, out).returncode == 0
    info = json.loads(varn("info", out, "--json").stdout)
    assert [c["null_count"] for c in info["columns"]] == [1, 2, 2, 2, 2]
    r = varn("cat", out)
    # Null cells print as empty fields: the int column's null is stored as
    # 0, and its one 0 is the one null its chunk counts.
    assert r.stdout == b"n,f,b,h,j\n1,,,,\n,,,,\n"
    assert r.stderr == b""


@pytest.mark.parametrize("text, message", [
    ("n\nx\n", "line 2, column 'n': 'x' is not an integer"),
    ("n\n1\n99999999999999999999\n", "line 3, column 'n': '99999999999999999999' is outside the 64-bit integer range"),
])
def test_unparsable_fields_stop_the_conversion(tmp_path, text, message):
    csv = tmp_path / "bad.csv"
    csv.write_text(text)
    r = varn("compress", "--type", "n=int", csv, tmp_path / "bad.varn")
    assert r.returncode == 1
    assert r.stderr.decode().endswith(f"varn compress: {message}\n")


@pytest.mark.parametrize("args, code, message", [
    (["--type", "n=integer"], 2, "unknown type 'integer'"),
    (["--type", "n"], 2, "--type takes NAME=TYPE"),
    (["--type", "n=int", "--type", "n=float"], 2, "column 'n' is given two types"),
    (["--encrypt", "n"], 2, "--encrypt needs --key-file"),
    (["--type", "zz=int"], 1, "No column named 'zz'"),
])
def test_compress_option_errors(tmp_path, args, code, message):
    csv = tmp_path / "in.csv"
    csv.write_text("n\n1\n")
    r = varn("compress", *args, csv, tmp_path / "o.varn")
    assert r.returncode == code and message in r.stderr.decode()


def test_encrypted_columns(tmp_path):
    csv = tmp_path / "in.csv"
    csv.write_text("id,secret\n" + "".join(f"{i},s{i * 7}\n" for i in range(70000)))
    hex_key, raw_key, wrong, bad = (tmp_path / n for n in ("hex.key", "raw.key", "wrong.key", "bad.key"))
    key = bytes(range(1, 33))
    hex_key.write_text(key.hex() + "\n")
    raw_key.write_bytes(key)
    wrong.write_text(bytes(range(2, 34)).hex())
    bad.write_text("not a key")
    plain, sealed = tmp_path / "plain.varn", tmp_path / "sealed.varn"
    assert varn("compress", csv, plain).returncode == 0
    assert varn("compress", "--encrypt", "secret", "--key-file", hex_key, csv, sealed).returncode == 0
    assert plain.read_bytes()[32:] != sealed.read_bytes()[32:]
    info = json.loads(varn("info", sealed, "--json").stdout)
    assert [c["encrypted"] for c in info["columns"]] == [False, True]

    expected = varn("cat", plain).stdout
    for key_file in (hex_key, raw_key):
        r = varn("cat", sealed, "--key-file", key_file)
        assert r.returncode == 0 and r.stdout == expected
    r = varn("cat", sealed)
    assert r.returncode == 1 and b"column 'secret' is encrypted: give its key with --key-file" in r.stderr
    assert varn("cat", sealed, "--columns", "id").stdout == varn("cat", plain, "--columns", "id").stdout

    r = varn("verify", sealed)
    assert r.returncode == 0 and b"note: the payloads of 2 records of encrypted columns" in r.stdout
    assert varn("verify", sealed, "--key-file", hex_key).returncode == 0
    r = varn("verify", sealed, "--key-file", wrong)
    assert r.returncode == 1 and b"column 'secret' does not decrypt it (wrong key?)" in r.stderr
    # A file written before the key check value (bytes 48..63 zero): its records tell.
    old = tmp_path / "old.varn"
    old.write_bytes(sealed.read_bytes()[:48] + bytes(16) + sealed.read_bytes()[64:])
    r = varn("verify", old, "--key-file", wrong)
    assert r.returncode == 1 and b"column 1 'secret'" in r.stderr and b"is the key right?" in r.stderr
    r = varn("verify", sealed, "--key-file", bad)
    assert r.returncode == 1 and b"holds neither 32 raw bytes nor 64 hex digits" in r.stderr


def test_a_wrong_key_is_refused_before_any_data(tmp_path):
    # A bool column of whole bytes and a constant-step int column decode to
    # plausible values under any key: the header's key check value tells.
    csv = tmp_path / "in.csv"
    csv.write_text("flag,step\n" + "".join(f"{'true' if i % 3 else 'false'},{1000 + 7 * i}\n" for i in range(64)))
    key, wrong = tmp_path / "k", tmp_path / "w"
    key.write_bytes(bytes(range(1, 33)))
    wrong.write_bytes(bytes(range(7, 39)))
    out = tmp_path / "o.varn"
    r = varn("compress", "--type", "flag=bool", "--type", "step=int", "--encrypt", "flag", "--encrypt", "step",
             "--key-file", key, csv, out)
    assert r.returncode == 0, r.stderr
    assert b"flag  bool  encrypt  BitPacked" in varn("info", out).stdout
    assert varn("cat", out, "--key-file", key).stdout == csv.read_bytes()
    for cmd in (["cat"], ["cat", "--columns", "step"], ["verify"]):
        r = varn(*cmd, out, "--key-file", wrong)
        assert (r.returncode, r.stdout) == (1, b""), (cmd, r)
        assert b"column 'flag' does not decrypt it (wrong key?)" in r.stderr, (cmd, r.stderr)
