"""get_varn_info, PyVarnReader and PyVarnWriter."""
import pytest

import varn_fileformat as vf


def _os_error(call, prefix):
    with pytest.raises(OSError) as info:
        call()
    e = info.value
    assert type(e) is OSError and len(e.args) == 1 and e.errno is None
    assert e.args[0].startswith(prefix)
    return e.args[0]


@pytest.mark.parametrize("size", [0, 1234])
def test_info_reports_file_size(tmp_path, size):
    p = tmp_path / "f.bin"
    p.write_bytes(b"z" * size)
    assert vf.get_varn_info(str(p)) == (size, "1.1.2", 0)
    assert vf.PyVarnReader(str(p)).read_file() == (size, "1.1.2")
    assert vf.PyVarnWriter(str(p)).get_info() == (size, "1.1.2", 0)


def test_missing_file_messages(tmp_path):
    missing = str(tmp_path / "missing.varn")
    reader = vf.PyVarnReader(missing)  # constructing touches no file
    msg = _os_error(reader.read_file, "Failed to open file: ")
    assert msg == "Failed to open file: No such file or directory (os error 2)"
    _os_error(reader.get_compression_stats, "Failed to open file: ")
    _os_error(lambda: vf.get_varn_info(missing), "Failed to open VARN file: ")
    _os_error(vf.PyVarnWriter(missing).get_info, "Failed to open VARN file: ")


def test_writer_converts_into_its_own_path(tmp_path):
    csv = tmp_path / "in.csv"
    csv.write_text("a,b\n1,2\n3,4\n")
    out = tmp_path / "out.varn"
    writer = vf.PyVarnWriter(str(out))
    with pytest.raises(OSError):
        writer.get_info()
    result = writer.write_csv(str(csv))
    assert result[0] == csv.stat().st_size and result[1] == out.stat().st_size
    assert writer.get_info() == (out.stat().st_size, "1.1.2", 0)
    assert writer.write_csv(csv_path=str(csv))[1] == out.stat().st_size


def test_writer_errors_propagate(tmp_path):
    missing = str(tmp_path / "none.csv")
    with pytest.raises(OSError) as info:
        vf.PyVarnWriter(str(tmp_path / "o.varn")).write_csv(missing)
    assert info.value.args == (f"CSV file does not exist: {missing}",)
