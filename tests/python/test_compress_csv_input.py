"""compress_csv on inputs the plain dialect used to lose rows or names on:
pipes and FIFOs, a byte-order mark, rows longer than the header; and every
path argument taken as an os.PathLike."""
import os
import pathlib
import subprocess
import sys
import threading

import pytest

import varn_fileformat as vf


def same_but_creation_time(a: bytes, b: bytes):
    return len(a) == len(b) and a[:24] == b[:24] and a[32:] == b[32:]


def rows_text(n):
    return "id,name,value\n" + "".join(f"{i},name {i % 97},{i * 3}\n" for i in range(n))


@pytest.mark.parametrize("rows", [2, 70000])
def test_fifo_input_converts_every_row(write_csv, tmp_path, rows, capfd):
    text = rows_text(rows)
    regular = str(tmp_path / "regular.varn")
    vf.compress_csv(write_csv(text), regular)
    fifo = tmp_path / "in.fifo"
    os.mkfifo(fifo)

    def feed():
        with open(fifo, "wb") as f:
            f.write(text.encode())

    writer = threading.Thread(target=feed)
    writer.start()
    piped = str(tmp_path / "piped.varn")
    csv_size, varn_size, _ = vf.compress_csv(str(fifo), piped)
    writer.join()
    a = open(regular, "rb").read()
    b = open(piped, "rb").read()
    assert same_but_creation_time(a, b)
    # A FIFO has no size of its own: the bytes read are reported instead.
    assert (csv_size, varn_size) == (len(text), len(b))


def test_dev_stdin_in_a_child_process(tmp_path, write_csv):
    text = rows_text(66000)
    regular = str(tmp_path / "regular.varn")
    vf.compress_csv(write_csv(text), regular)
    piped = str(tmp_path / "piped.varn")
    code = f"import varn_fileformat as vf; vf.compress_csv('/dev/stdin', {piped!r})"
    done = subprocess.run([sys.executable, "-c", code], input=text.encode(), capture_output=True)
    assert done.returncode == 0, done.stderr
    assert same_but_creation_time(open(regular, "rb").read(), open(piped, "rb").read())


def test_byte_order_mark_is_not_part_of_the_first_name(write_csv, tmp_path, capfd):
    plain = str(tmp_path / "plain.varn")
    marked = str(tmp_path / "marked.varn")
    vf.compress_csv(write_csv("period,value\n1,2\n"), plain)
    capfd.readouterr()
    vf.compress_csv(write_csv(b"\xef\xbb\xbfperiod,value\n1,2\n"), marked)
    assert ">>> Columns (2): period, value\n" in capfd.readouterr().err
    assert same_but_creation_time(open(plain, "rb").read(), open(marked, "rb").read())


@pytest.mark.parametrize(
    "text, warning",
    [
        ("a,b\n1,2\n", None),
        ("a,b\n1,2\n3,4,5\n\n6,7\n8,9,10,11\n",
         ">>> WARNING: 2 rows had more fields than the 2 columns of the header; "
         "the extra fields were dropped (first at line 3)\n"),
        ('a\n"x,y"\n', ">>> WARNING: 1 row had more fields than the 1 columns of the header; "
         "the extra fields were dropped (first at line 2)\n"),
    ],
)
def test_long_rows_are_reported_last(write_csv, tmp_path, capfd, text, warning):
    vf.compress_csv(write_csv(text), str(tmp_path / "o.varn"))
    err = capfd.readouterr().err
    last = err.splitlines(keepends=True)[-1]
    if warning is None:
        assert "WARNING" not in err and last.startswith(">>> DONE!")
    else:
        assert last == warning
        assert err.splitlines()[-2].startswith(">>> DONE!")


class FsPath:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


def test_path_arguments_take_path_like(write_csv, tmp_path):
    csv = pathlib.Path(write_csv("a,b\n1,2\n"))
    out = tmp_path / "p.varn"
    sizes = vf.compress_csv(csv, out)
    assert sizes[1] == out.stat().st_size
    assert vf.get_varn_info(FsPath(str(out)))[0] == out.stat().st_size
    writer = vf.PyVarnWriter(tmp_path / "w.varn")
    assert writer.write_csv(FsPath(str(csv)))[1] == (tmp_path / "w.varn").stat().st_size
    vf.PyVarnReader(out)


@pytest.mark.parametrize(
    "call",
    [
        lambda good, bad: vf.compress_csv(bad, good),
        lambda good, bad: vf.compress_csv(good, bad),
        lambda good, bad: vf.get_varn_info(bad),
        lambda good, bad: vf.PyVarnWriter(bad),
        lambda good, bad: vf.PyVarnReader(FsPath(bad)),
        lambda good, bad: vf.PyVarnWriter(good).write_csv(pathlib.Path(bad)),
    ],
)
def test_nul_in_a_path_is_refused(write_csv, tmp_path, call):
    good = write_csv("a\n1\n")
    with pytest.raises(ValueError, match="^embedded null character$"):
        call(good, str(tmp_path / "x\0y"))
    assert not (tmp_path / "x").exists()


@pytest.mark.parametrize("bad", [b"/tmp/x.csv", 3, FsPath(b"/tmp/x.csv")])
def test_other_path_types_are_refused(bad):
    with pytest.raises(TypeError):
        vf.compress_csv(bad, "/tmp/never.varn")
