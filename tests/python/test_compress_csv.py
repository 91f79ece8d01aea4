"""compress_csv end to end: the file layout, the CSV dialect, the report and every failure."""
import os
import re
import struct

import pytest

import varn_fileformat as vf
from conftest import crc32

ARROW = "\u2192"


def report_lines(capfd):
    return capfd.readouterr().err


def test_one_column_one_row_file_bytes(write_csv, tmp_path, read_varn, capfd):
    csv = write_csv("a\nx\n")
    out = str(tmp_path / "ax.varn")
    csv_size, varn_size, ratio = vf.compress_csv(csv, out)
    data = open(out, "rb").read()
    assert (csv_size, varn_size, ratio) == (4, len(data), 0.0)
    assert data[0:8] == bytes.fromhex("5641524E02000100")
    assert struct.unpack_from("<QII", data, 8) == (1, 1, 65536)
    assert data[32:64] == bytes(32)
    assert data[64:68] == struct.pack("<I", 5)
    assert data[68:73] == bytes.fromhex("0201610400")
    assert data[73:81] == struct.pack("<Q", 2)
    assert data[81:83] == bytes.fromhex("0200")
    block = bytes.fromhex("020178")
    assert data[83:98] == struct.pack("<IQ", crc32(block), 3) + block
    f = read_varn(out)
    assert f.index_offset == 98
    assert len(data) == 98 + f.index_len + 16
    err = report_lines(capfd)
    assert err.startswith(
        f"\n>>> compress_csv v1.3.2 STREAMING MODE\n>>> File: {csv} (0MB)\n"
        ">>> Columns (1): a\n>>> Streaming 65536 rows at a time (~1MB memory constant)...\n"
    )
    done = err.splitlines()[-1]
    assert re.fullmatch(
        rf">>> DONE! 0MB {ARROW} 0\.0MB \(0\.0% saved\) in \d+s \((\d+\.\d|inf)GB/sec\) \| "
        r"VARN v2 \(streaming\): 1 rows \u00d7 1 cols \| 1 chunks \| dict: 0 entries",
        done,
    ), done


def test_creation_time_is_seconds(write_csv, tmp_path, read_varn):
    import time

    out = str(tmp_path / "t.varn")
    before = int(time.time())
    vf.compress_csv(write_csv("a\nx\n"), out)
    assert before <= read_varn(out).created <= int(time.time()) + 1


def test_header_only_file(write_csv, tmp_path, read_varn, capfd):
    out = str(tmp_path / "h.varn")
    csv = write_csv("x,y,z\n")
    csv_size, varn_size, ratio = vf.compress_csv(csv, out)
    f = read_varn(out)
    assert (f.columns, f.total_rows, f.chunk_count) == (3, 0, 0)
    assert f.dict_len == 2 and f.dict_block == b"\x02\x00"
    assert f.index_offset == 76 + f.schema_len + 2 == f.records_start
    assert f.records() == []
    assert varn_size == os.path.getsize(out) and ratio == 0.0
    err = report_lines(capfd)
    assert ">>> Columns (3): x, y, z\n" in err
    assert "| VARN v2 (streaming): 0 rows \u00d7 3 cols | 0 chunks | dict: 0 entries\n" in err


def test_records_are_framed_and_checksummed(write_csv, tmp_path, read_varn):
    rows = "\n".join(f"{i},name{i % 7},{i * 3.5}" for i in range(70000))
    out = str(tmp_path / "r.varn")
    vf.compress_csv(write_csv("id,name,value\n" + rows + "\n"), out)
    f = read_varn(out)
    assert (f.total_rows, f.chunk_count, f.columns) == (70000, 2, 3)
    records = f.records()
    assert len(records) == 6
    for offset, crc, block in records:
        assert crc == crc32(block)
        assert block[0] in range(6)


@pytest.mark.parametrize(
    "text, columns_line, expected_rows",
    [
        # Header names are trimmed; empty names are columns too.
        (" a , b ,,c\n1,2,3,4\n", ">>> Columns (4): a, b, , c\n", 1),
        # Blank and white-space-only lines are skipped, CR LF is a line end.
        ("a,b\r\n1,2\r\n\r\n \t \r\n3,4\r\n", ">>> Columns (2): a, b\n", 2),
        # No trailing newline on the last line.
        ("a\nx\ny", ">>> Columns (1): a\n", 2),
        # A single comma under a one-column header is a row with one empty cell.
        ("a\n,\n", ">>> Columns (1): a\n", 1),
        # Unicode white space around names and cells.
        ("\u3000a\u00a0,\u2003b\u205f\n\u2028x\u2029,y\n", ">>> Columns (2): a, b\n", 1),
        # A line of only the header gives a 1-column file named by the empty string.
        ("\n", ">>> Columns (1): \n", 0),
    ],
)
def test_dialect(write_csv, tmp_path, read_varn, capfd, text, columns_line, expected_rows):
    out = str(tmp_path / "d.varn")
    vf.compress_csv(write_csv(text), out)
    assert columns_line in report_lines(capfd)
    assert read_varn(out).total_rows == expected_rows


def _stored_cells(block):
    """Cells of a text column record whose block is in stored form (small inputs)."""
    assert block[0] == 2
    payload, cells, p = block[1:], [], 0
    while p < len(payload):
        n = payload[p]
        assert n < 0x80
        cells.append(payload[p + 1 : p + 1 + n].decode())
        p += 1 + n
    return cells


def test_cells_are_split_trimmed_padded_and_truncated(write_csv, tmp_path, read_varn):
    out = str(tmp_path / "c.varn")
    vf.compress_csv(write_csv('a,b,c\n a , b ,c \nonly\n1,2,3,4\n"q,1",z\n'), out)
    records = read_varn(out).records()
    columns = [_stored_cells(block) for _, _, block in records]
    assert columns == [
        ["a", "only", "1", '"q'],
        ["b", "", "2", '1"'],
        ["c", "", "3", "z"],
    ]


@pytest.mark.parametrize("rows, chunks, last", [(65536, 1, 65536), (65537, 2, 1)])
def test_batch_boundaries(write_csv, tmp_path, read_varn, rows, chunks, last):
    out = str(tmp_path / "b.varn")
    vf.compress_csv(write_csv("n\n" + "1\n" * rows), out)
    f = read_varn(out)
    assert (f.total_rows, f.chunk_count) == (rows, chunks)


def test_ratio_is_percentage_saved(write_csv, tmp_path):
    out = str(tmp_path / "p.varn")
    csv = write_csv("v\n" + "same value here\n" * 50000)
    csv_size, varn_size, ratio = vf.compress_csv(csv, out)
    assert csv_size == os.path.getsize(csv)
    assert ratio == pytest.approx((csv_size - varn_size) / csv_size * 100)
    assert 90 < ratio < 100


def test_size_text_in_megabytes(write_csv, tmp_path, capfd):
    csv = write_csv("v\n" + "x" * (3 * 1048576) + "\n")
    vf.compress_csv(csv, str(tmp_path / "m.varn"))
    assert f">>> File: {csv} (3MB)\n" in report_lines(capfd)


# --- failures ---------------------------------------------------------------


def _raises(exc_type, message, fn, *args):
    with pytest.raises(exc_type) as info:
        fn(*args)
    assert type(info.value) is exc_type
    assert info.value.args == (message,)
    if exc_type is OSError:
        assert info.value.errno is None and info.value.filename is None
    return info.value


def test_missing_input(tmp_path, capfd):
    missing = str(tmp_path / "nope.csv")
    out = tmp_path / "o.varn"
    _raises(OSError, f"CSV file does not exist: {missing}", vf.compress_csv, missing, str(out))
    assert report_lines(capfd) == ""
    assert not out.exists()


def test_empty_input(write_csv, tmp_path, capfd):
    csv = write_csv(b"")
    out = tmp_path / "o.varn"
    _raises(ValueError, "CSV file is empty", vf.compress_csv, csv, str(out))
    assert report_lines(capfd) == f"\n>>> compress_csv v1.3.2 STREAMING MODE\n>>> File: {csv} (0MB)\n"
    assert not out.exists()


def test_input_is_a_directory(tmp_path):
    _raises(OSError, "Is a directory (os error 21)", vf.compress_csv, str(tmp_path), str(tmp_path / "o.varn"))


def test_output_in_missing_directory(write_csv, tmp_path):
    out = str(tmp_path / "no" / "such" / "o.varn")
    _raises(OSError, f"Cannot create {out}: No such file or directory (os error 2)",
            vf.compress_csv, write_csv("a\nx\n"), out)


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_output_on_full_device(write_csv):
    _raises(OSError, "No space left on device (os error 28)", vf.compress_csv, write_csv("a\nx\n"), "/dev/full")


def test_invalid_utf8_in_header(write_csv, tmp_path):
    out = tmp_path / "o.varn"
    _raises(OSError, "stream did not contain valid UTF-8", vf.compress_csv, write_csv(b"a\xff\nx\n"), str(out))
    assert not out.exists()


@pytest.mark.parametrize("before", [None, b"the old file"], ids=["new", "existing"])
@pytest.mark.parametrize("how", ["function", "write_csv"])
def test_a_failure_after_a_full_batch_leaves_the_output_as_it_was(write_csv, tmp_path, before, how):
    out = tmp_path / "o.varn"
    if before is not None:
        out.write_bytes(before)
    csv = write_csv(b"v\n" + b"row\n" * 200_000 + b"ok\nbad\xc3\x28\n")
    call = vf.compress_csv if how == "function" else (lambda c, o: vf.PyVarnWriter(o).write_csv(c))
    _raises(OSError, "stream did not contain valid UTF-8", call, csv, str(out))
    assert (out.read_bytes() if out.exists() else None) == before
    # No temporary file is left beside it.
    assert sorted(p.name for p in tmp_path.iterdir() if p.suffix != ".csv") == (["o.varn"] if before else [])


def test_a_finished_conversion_replaces_the_old_file(write_csv, tmp_path, read_varn):
    out = tmp_path / "o.varn"
    out.write_bytes(b"x" * 100_000)
    vf.compress_csv(write_csv("a\nx\n"), str(out))
    assert read_varn(str(out)).total_rows == 1
    assert sorted(p.name for p in tmp_path.iterdir() if p.suffix != ".csv") == ["o.varn"]


def test_converting_a_file_onto_itself_is_refused(write_csv, tmp_path):
    csv = write_csv("a\nx\n")
    before = open(csv, "rb").read()
    with pytest.raises(OSError) as info:
        vf.compress_csv(csv, csv)
    assert "onto itself" in info.value.args[0]
    link = str(tmp_path / "link.varn")
    os.link(csv, link)
    with pytest.raises(OSError):
        vf.compress_csv(csv, link)
    assert open(csv, "rb").read() == before


def test_too_many_columns_is_refused(write_csv, tmp_path):
    out = tmp_path / "wide.varn"
    header = ",".join(f"c{i}" for i in range(70000))
    with pytest.raises(OSError) as info:
        vf.compress_csv(write_csv(header + "\n"), str(out))
    assert "Too many columns: 70000" in info.value.args[0]
    assert not out.exists()
