"""A varn.open handle keeps the file it opened: replacing or removing the
path changes nothing it reads; close() and the context manager release it.
Special files are refused without waiting."""
import os
import signal

import pytest

import varn


@pytest.fixture
def pa():
    return pytest.importorskip("pyarrow")


def write_ints(write_csv, out, start, count, column="n"):
    csv = write_csv(f"{column},k\n" + "".join(f"{i},{i % 3}\n" for i in range(start, start + count)))
    varn.convert(csv, out, report=False)
    return out


def values(stream, column="n"):
    import pyarrow

    return pyarrow.table(stream).column(column).to_pylist()


@pytest.mark.parametrize("swap", ["replace", "replace with other columns", "remove"])
def test_a_handle_reads_the_file_it_opened(pa, write_csv, tmp_path, swap):
    p = str(tmp_path / "f.varn")
    write_ints(write_csv, p, 0, 200)
    f = varn.open(p)
    prepared = f.read(columns=["n"], filters=[("k", "==", 1)])
    if swap == "remove":
        os.remove(p)
    else:
        other = str(tmp_path / "g.varn")
        if swap == "replace":
            write_ints(write_csv, other, 1000, 340)
        else:
            csv = write_csv("n,k\n" + "".join(f"text{i},x\n" for i in range(340)))
            varn.convert(csv, other, report=False)
        os.replace(other, p)
    expected = [i for i in range(200) if i % 3 == 1]
    assert f.num_rows == 200
    # A read prepared before the swap, one prepared after, and the stats.
    assert values(prepared) == expected
    assert values(f.read(columns=["n"], filters=[("k", "==", 1)])) == expected
    assert values(f.read(columns=["n"], chunks=[0])) == list(range(200))
    assert f.matching_chunks([("n", ">=", 100)]) == [0]
    assert f.chunk_stats("n")[0]["max"] == 199
    f.close()


def test_close_and_context_manager(pa, write_csv, tmp_path):
    p = str(tmp_path / "f.varn")
    write_ints(write_csv, p, 0, 50)
    with varn.open(p) as f:
        assert not f.closed
        started = f.read(columns=["n"])
        batches = pa.RecordBatchReader.from_stream(f.read(columns=["n"]))
    assert f.closed and "(closed)" in repr(f)
    # A stream started before close reads to its end; anything else is refused.
    assert batches.read_all().column("n").to_pylist() == list(range(50))
    for call in (lambda: f.read(), lambda: started.__arrow_c_stream__(), lambda: f.chunk_stats("n"),
                 lambda: f.matching_chunks()):
        with pytest.raises(ValueError, match="closed"):
            call()
    f.close()  # twice is fine
    # The descriptor is gone with the handle's last stream.
    fd_dir = "/proc/self/fd"
    if os.path.isdir(fd_dir):
        del batches, started
        assert not any(os.path.realpath(os.path.join(fd_dir, n)) == os.path.realpath(p)
                       for n in os.listdir(fd_dir))


def test_keys_by_name_apply_to_the_opened_file(pa, write_csv, tmp_path):
    # The keys of a dict are given to the file opened, not to whatever the
    # path names by then.
    key = bytes(range(32))
    p = str(tmp_path / "f.varn")
    csv = write_csv("n,s\n1,a\n2,b\n")
    varn.convert(csv, p, encrypt=["s"], key=key, report=False)
    with varn.open(p, key={"s": key}) as f:
        assert pa.table(f.read(columns=["s"])).column("s").to_pylist() == ["a", "b"]


@pytest.mark.parametrize("kind", ["fifo", "directory", "missing"])
def test_special_paths_are_refused_without_waiting(tmp_path, kind):
    p = tmp_path / "x"
    if kind == "fifo":
        os.mkfifo(p)
    elif kind == "directory":
        p.mkdir()
    expected = {"fifo": varn.VarnError, "directory": IsADirectoryError, "missing": FileNotFoundError}
    # A call that blocked would be stopped here instead of hanging the run.
    signal.signal(signal.SIGALRM, lambda *a: (_ for _ in ()).throw(TimeoutError("blocked")))
    signal.alarm(20)
    try:
        with pytest.raises(expected[kind]) as info:
            varn.open(p)
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, signal.SIG_DFL)
    if kind == "fifo":
        assert "not a regular file" in str(info.value)
