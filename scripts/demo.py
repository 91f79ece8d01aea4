"""The demo: convert a real CSV file losslessly, show the file, read it back
and check that every cell came back; then the same file through the exact
`varn_fileformat.compress_csv` surface, for comparison.

    python scripts/demo.py [FILE.csv [OUT.varn]]   (default: data/sample.csv)

Needs the project installed in this interpreter's environment (the `varn`
command beside it); pandas and pyarrow are used when present.
"""
import csv
import io
import os
import shutil
import subprocess
import sys
import tempfile

import varn
import varn_fileformat

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def find_varn():
    here = os.path.dirname(sys.executable)
    tool = shutil.which("varn", path=here + os.pathsep + os.environ.get("PATH", ""))
    if not tool:
        sys.exit("demo: the varn command is not installed beside " + sys.executable)
    return tool


def heading(text):
    print(f"\n== {text}", flush=True)


def rows_of(text, delimiter=","):
    return list(csv.reader(io.StringIO(text, newline=""), delimiter=delimiter))


def header_delimiter(text):
    """The delimiter varn compress detects: the most frequent of , ; TAB | in the first line."""
    first = text.split("\n", 1)[0]
    return max(",;\t|", key=lambda d: (first.count(d), d == ","))


def cells_differing(want, got):
    """How many cells of `want` are not in the same place in `got`."""
    bad = 0
    for i, row in enumerate(want):
        other = got[i] if i < len(got) else []
        bad += sum(1 for j, cell in enumerate(row) if j >= len(other) or other[j] != cell)
    return bad


def main() -> int:
    csv_path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "data", "sample.csv")
    out_dir = tempfile.mkdtemp(prefix="varn-demo-")
    if len(sys.argv) > 2:
        varn_path = sys.argv[2]
    else:
        varn_path = os.path.join(out_dir, os.path.splitext(os.path.basename(csv_path))[0] + ".varn")
    tool = find_varn()

    heading(f"varn compress {csv_path} {varn_path}")
    r = subprocess.run([tool, "compress", "--no-progress", csv_path, varn_path])
    if r.returncode != 0:
        return r.returncode

    heading(f"varn info {varn_path}")
    subprocess.run([tool, "info", varn_path], check=True)

    heading("reading it back")
    try:
        df = varn.read_pandas(varn_path)
    except ImportError:
        print("(pandas and pyarrow are not installed: pip install 'varn_fileformat[pandas]')")
    else:
        print(df.dtypes.to_string())
        print(df.head(3).to_string(max_colwidth=28))
    # The check: every cell `varn cat` writes back is the cell Python's csv
    # module reads from the input.
    try:
        with open(csv_path, encoding="utf-8-sig", newline="") as f:
            text = f.read()
    except (UnicodeDecodeError, OSError) as exc:
        print(f"(no cell check: Python cannot read {csv_path} as UTF-8 text: {exc})")
        return 0
    want = rows_of(text, header_delimiter(text))
    back = subprocess.run([tool, "cat", varn_path], capture_output=True, check=True).stdout.decode("utf-8")
    got = rows_of(back)
    wrong = cells_differing(want, got)
    cells = sum(len(row) for row in want)
    if wrong == 0 and len(got) == len(want):
        print(f"every cell came back: {cells} cells in {len(want) - 1} rows and the header, "
              "compared with what Python's csv module reads")
    else:
        print(f"MISMATCH: {wrong} of {cells} cells differ ({len(got)} rows back, {len(want)} in the file)")
        return 1

    heading("the same file through varn_fileformat.compress_csv (the exact module surface)")
    plain_path = os.path.join(out_dir, "compress_csv.varn")
    sys.stdout.flush()
    try:
        csv_size, varn_size, saved = varn_fileformat.compress_csv(csv_path, plain_path)
    except (OSError, ValueError) as exc:
        print(f"compress_csv refused it: {exc}")
        return 0
    print(f"compress_csv returned ({csv_size}, {varn_size}, {saved:.1f})")
    plain_back = rows_of(
        subprocess.run([tool, "cat", "--plain", plain_path], capture_output=True, check=True).stdout.decode("utf-8"))
    lost = cells_differing(want, plain_back)
    if lost:
        print(f"its comma-only dialect (no quoting; every field trimmed, every column text) changed {lost} of "
              f"{cells} cells here; varn compress above kept them all (docs/varn_fileformat.md)")
    else:
        print("its comma-only dialect kept every cell of this file too")
    return 0


if __name__ == "__main__":
    sys.exit(main())
