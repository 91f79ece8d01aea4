"""The demo's own check, run against the installed package (the demo script
builds and installs first; this runs the part after that)."""
import subprocess
import sys
from pathlib import Path

import pytest

from test_cli import VARN

ROOT = Path(__file__).resolve().parents[2]


@pytest.mark.skipif(VARN is None, reason="the varn command is not built")
def test_the_demo_says_every_cell_came_back(tmp_path):
    r = subprocess.run([sys.executable, str(ROOT / "scripts" / "demo.py"), str(ROOT / "data" / "sample.csv"),
                        str(tmp_path / "sample.varn")], capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "every cell came back: 30010 cells in 3000 rows and the header" in r.stdout
    # The comma-only dialect beside it loses cells of this file, and says so.
    assert "its comma-only dialect" in r.stdout and "changed" in r.stdout
    assert "varn verify" not in r.stderr


def test_the_sample_is_what_its_script_makes(tmp_path):
    out = tmp_path / "sample.csv"
    subprocess.run([sys.executable, str(ROOT / "scripts" / "make_sample.py"), str(out)], check=True)
    assert out.read_bytes() == (ROOT / "data" / "sample.csv").read_bytes()
