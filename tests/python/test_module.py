"""The module object: attributes, __all__, signatures, docstrings, argument binding."""
import inspect
import subprocess
import sys

import pytest

import varn_fileformat as vf

COMPRESS_DOC = (
    "Compress CSV to VARN with true streaming \u2014 constant memory regardless of file size "
    "(v1.3.2).\n\nAlgorithm:\n  Pass 1 (scan): count rows only \u2014 O(1) memory\n  Pass 2 "
    "(write): stream CHUNK_SIZE rows at a time via StreamingVarnWriter\n  Memory usage = "
    "CHUNK_SIZE \u00d7 num_columns \u00d7 avg_value_size (constant, ~64MB)\n\nReturns: "
    "(csv_size, varn_size, compression_ratio)"
)


def test_attributes_and_all():
    assert vf.__all__ == [
        "__version__", "__doc__", "__author__", "compress_csv", "get_varn_info",
        "PyVarnWriter", "PyVarnReader", "PyPerformanceMonitor",
    ]
    assert vf.__version__ == "1.1.2"
    assert vf.__doc__ == (
        "Varn Binary Format - Complete 8-language ecosystem for efficient data storage and "
        "querying\n\nVersion 1.1.2: Full Python bindings with compression and reading support"
    )
    assert isinstance(vf.__author__, str) and vf.__author__
    names = [n for n in vars(vf) if not n.startswith("__") or n in vf.__all__]
    assert [n for n in names if n in vf.__all__ and not n.startswith("__")] == vf.__all__[3:]
    assert not any(isinstance(v, type) and issubclass(v, BaseException) for v in vars(vf).values())


@pytest.mark.parametrize(
    "obj, signature, doc",
    [
        (vf.compress_csv, "(csv_path, varn_path)", COMPRESS_DOC),
        (vf.get_varn_info, "(varn_path)", "Get VARN file information"),
        (vf.PyVarnWriter, "(path)", "VarnWriter Python wrapper"),
        (vf.PyVarnReader, "(path)", "VarnReader Python wrapper"),
        (vf.PyPerformanceMonitor, "()", "Performance Monitor Python wrapper"),
        (vf.PyVarnWriter.write_csv, "($self, csv_path)", None),
        (vf.PyVarnWriter.get_info, "($self)", None),
        (vf.PyVarnReader.read_file, "($self)", None),
        (vf.PyVarnReader.get_compression_stats, "($self)", None),
    ],
)
def test_signatures_and_docs(obj, signature, doc):
    assert obj.__text_signature__ == signature
    assert obj.__doc__ == doc


def test_inspect_signature_of_functions():
    assert str(inspect.signature(vf.compress_csv)) == "(csv_path, varn_path)"
    assert str(inspect.signature(vf.PyVarnReader)) == "(path)"


def test_method_tables_hold_only_the_listed_methods():
    def own(cls):
        return [n for n, v in vars(cls).items() if callable(v) and not n.startswith("__")]

    assert own(vf.PyVarnWriter) == ["write_csv", "get_info"]
    assert own(vf.PyVarnReader) == ["read_file", "get_compression_stats"]


@pytest.mark.parametrize(
    "call, exc, words",
    [
        (lambda: vf.compress_csv("a"), TypeError, ["compress_csv", "varn_path"]),
        (lambda: vf.compress_csv("a", "b", "c"), TypeError,
         ["compress_csv() takes 2 positional arguments but 3 were given"]),
        # Keyword arguments are not counted as positional ones.
        (lambda: vf.compress_csv("a", "b", "c", varn_path="x"), TypeError,
         ["compress_csv() takes 2 positional arguments but 3 were given"]),
        (lambda: vf.PyVarnReader("a", "b", path="c"), TypeError,
         ["PyVarnReader() takes 1 positional argument but 2 were given"]),
        (lambda: vf.get_varn_info("a", "b", varn_path="c"), TypeError,
         ["get_varn_info() takes 1 positional argument but 2 were given"]),
        (lambda: vf.compress_csv("a", varn_path="b", csv_path="c"), TypeError, ["compress_csv", "csv_path"]),
        (lambda: vf.compress_csv("a", "b", extra=1), TypeError, ["compress_csv", "extra"]),
        (lambda: vf.compress_csv(1, "b"), TypeError, ["compress_csv", "csv_path"]),
        (lambda: vf.compress_csv("a", b"b"), TypeError, ["compress_csv", "varn_path"]),
        (lambda: vf.get_varn_info(None), TypeError, ["get_varn_info", "varn_path"]),
        (lambda: vf.PyVarnReader(123), TypeError, ["PyVarnReader", "path"]),
        (lambda: vf.PyVarnReader(), TypeError, ["PyVarnReader", "path"]),
        (lambda: vf.PyVarnWriter(path=5), TypeError, ["PyVarnWriter", "path"]),
        (lambda: vf.PyVarnWriter("x").write_csv(), TypeError, ["PyVarnWriter.write_csv", "csv_path"]),
        (lambda: vf.PyVarnWriter("x").write_csv(3.0), TypeError, ["PyVarnWriter.write_csv", "csv_path"]),
    ],
)
def test_binding_errors_name_callable_and_parameter(call, exc, words):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    for word in words:
        assert word in str(info.value)


def test_keyword_binding(tmp_path):
    csv = tmp_path / "k.csv"
    csv.write_text("a\nx\n")
    out = tmp_path / "k.varn"
    result = vf.compress_csv(varn_path=str(out), csv_path=str(csv))
    assert result[1] == out.stat().st_size
    assert vf.get_varn_info(varn_path=str(out))[0] == out.stat().st_size


def test_lone_surrogate_raises_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        vf.get_varn_info("bad\udcffpath")
    with pytest.raises(UnicodeEncodeError):
        vf.PyVarnReader("\ud800")


def test_types_are_created_once_and_instances_are_independent(tmp_path):
    assert type(vf.PyVarnReader("a")) is vf.PyVarnReader
    there = tmp_path / "there.varn"
    there.write_bytes(b"12345")
    a, b = vf.PyVarnReader(str(there)), vf.PyVarnReader(str(tmp_path / "missing.varn"))
    assert a.read_file()[0] == 5
    with pytest.raises(OSError):
        b.read_file()
    assert a.read_file()[0] == 5


def test_second_entry_point_call_raises_import_error():
    code = (
        "import importlib.util, importlib.machinery, sys\n"
        "import varn_fileformat as m\n"
        "spec = importlib.util.spec_from_file_location('varn_fileformat', m.__file__)\n"
        "try:\n"
        "    importlib.util.module_from_spec(spec)\n"
        "except ImportError as e:\n"
        "    print('ImportError', e)\n"
        "else:\n"
        "    print('no error')\n"
        "import varn_fileformat as again\n"
        "print(again is m)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    lines = out.stdout.splitlines()
    assert lines[0].startswith("ImportError")
    assert "only be initialized once per interpreter process" in lines[0]
    assert lines[1] == "True"
