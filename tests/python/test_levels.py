"""Compression levels: a file written at any level reads back to the same
cells as the default one, is the same for every thread count, and the small
level never gives a larger file; bad level names are refused."""
import random
import subprocess

import pytest

import varn
from test_cli import VARN, varn as run_varn

LEVELS = ["fast", "default", "small"]


@pytest.fixture(scope="module")
def mixed_csv(tmp_path_factory):
    """About 150,000 rows (three chunks): ints, floats, repetitive and random
    text, quoted fields with commas, multi-byte UTF-8 and empty cells."""
    rng = random.Random(7)
    words = ["north", "south", "east", "west", "ciudad", "Straße", "東京", "😀", ""]
    lines = ["id,price,city,note,blob"]
    for i in range(150_000):
        note = " ".join(rng.choice(words) for _ in range(rng.randrange(4)))
        blob = "".join(rng.choice("abcdef0123456789") for _ in range(rng.randrange(12)))
        lines.append(f'{i},{rng.randrange(100000) / 100},{rng.choice(words)},"{note}, {i % 7}",{blob}')
    path = tmp_path_factory.mktemp("levels") / "mixed.csv"
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return str(path)


def test_every_level_reads_back_the_same_cells(mixed_csv, tmp_path):
    sizes = {}
    for level in LEVELS:
        out = tmp_path / f"{level}.varn"
        varn.convert(mixed_csv, out, report=False, level=level)
        sizes[level] = out.stat().st_size
    assert sizes["small"] <= sizes["default"]
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        pass
    else:
        tables = {level: varn.read_arrow(tmp_path / f"{level}.varn") for level in LEVELS}
        assert tables["fast"].equals(tables["default"])
        assert tables["small"].equals(tables["default"])
        assert tables["default"].num_rows == 150_000
    if VARN is not None:
        # The command decodes them to the same text, and verify accepts them.
        cats = {level: run_varn("cat", tmp_path / f"{level}.varn", check=True).stdout for level in LEVELS}
        assert cats["fast"] == cats["default"] == cats["small"]
        for level in ("fast", "small"):
            assert run_varn("verify", "--quiet", tmp_path / f"{level}.varn").returncode == 0


@pytest.mark.parametrize("level", ["fast", "small"])
def test_a_level_gives_the_same_file_for_every_thread_count(mixed_csv, tmp_path, level):
    one, two = tmp_path / "one.varn", tmp_path / "two.varn"
    varn.convert(mixed_csv, one, report=False, level=level, threads=1)
    varn.convert(mixed_csv, two, report=False, level=level, threads=3)
    a, b = one.read_bytes(), two.read_bytes()
    assert a[:24] + a[32:] == b[:24] + b[32:]  # but for the creation time


def test_bad_level_names(write_csv, tmp_path):
    csv = write_csv("a\n1\n")
    out = tmp_path / "o.varn"
    for bad in ["max", "Fast", ""]:
        with pytest.raises(ValueError, match="level must be 'fast', 'default' or 'small'"):
            varn.convert(csv, out, report=False, level=bad)
    assert not out.exists()
    try:
        from varn import dask as varn_dask
    except ImportError:
        pass
    else:
        # Refused before a cluster is looked for.
        with pytest.raises(ValueError, match="level must be"):
            varn_dask.convert([csv], tmp_path / "shards", level="max")
    if VARN is None:
        pytest.skip("the varn command is not built")
    r = run_varn("compress", "--level", "max", csv, out, text=True)
    assert r.returncode == 2
    assert "--level takes fast, default or small, not 'max'" in r.stderr
    assert not out.exists()


def test_plain_dialect_takes_a_level(write_csv, tmp_path):
    """--plain keeps compress_csv's bytes at the default level and still
    decodes to the same cells at the others."""
    if VARN is None:
        pytest.skip("the varn command is not built")
    csv = write_csv("".join(f"{i},word{i % 13} and more text {i % 5}\n" for i in range(5000)))
    cells = None
    for level in LEVELS:
        out = tmp_path / f"{level}.varn"
        subprocess.run([VARN, "compress", "--no-progress", "--plain", "--level", level, csv, str(out)],
                       check=True, capture_output=True)
        got = run_varn("cat", out, check=True).stdout
        assert cells is None or got == cells
        cells = got
