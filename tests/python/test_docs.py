"""Every example in README.md and docs/*.md runs.

Each fenced ```python and ```sh block runs, except one whose fence follows a
line `<!-- not run: REASON -->`. A page's blocks run in their order in one
fresh directory holding a copy of data/: its python blocks in one namespace,
its sh blocks in one bash session (so variables and files carry over), with
the interpreter running the tests and its `varn` command first on PATH.
"""
import os
import re
import select
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md"] + sorted((ROOT / "docs").glob("*.md"))
FENCE = re.compile(r"^```(\w*)\s*$")
NOT_RUN = re.compile(r"^<!--\s*not run:\s*\S.*-->\s*$")
# Optional packages a page may need; where one is missing the page is skipped.
OPTIONAL = {"pyarrow", "pandas", "polars", "duckdb", "dask", "distributed", "fsspec", "s3fs", "moto"}
BLOCK_SECONDS = 120


def blocks(page: Path):
    """[(line, language, code)] of the page's runnable blocks; the fences must be closed."""
    lines = page.read_text(encoding="utf-8").split("\n")
    out = []
    i = 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        lang, start = m.group(1), i
        j = i + 1
        while j < len(lines) and lines[j].rstrip() != "```":
            j += 1
        assert j < len(lines), f"{page.name}:{start + 1}: a code fence is not closed"
        skipped = start > 0 and NOT_RUN.match(lines[start - 1])
        if lang in ("python", "sh") and not skipped:
            out.append((start + 1, lang, "\n".join(lines[start + 1 : j]) + "\n"))
        i = j + 1
    return out


def test_the_block_finder_honours_the_not_run_mark(tmp_path):
    page = tmp_path / "p.md"
    page.write_text(
        "```sh\necho one\n```\n<!-- not run: needs a cloud account -->\n```sh\necho two\n```\n"
        "```python\nprint(3)\n```\n```text\nnot code\n```\n<!-- not run: -->\n```python\nx = 1\n```\n"
    )
    # An empty reason does not count: that block runs.
    assert [(n, lang) for n, lang, _ in blocks(page)] == [(1, "sh"), (8, "python"), (15, "python")]


class Shell:
    """One bash session fed block after block; a block fails the session when a command fails."""

    def __init__(self, cwd, env):
        self.p = subprocess.Popen(
            ["bash", "--noprofile", "--norc"], cwd=cwd, env=env, stdin=subprocess.PIPE,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        )
        self.send("set -eo pipefail\n")

    def send(self, text):
        self.p.stdin.write(text.encode())
        self.p.stdin.flush()

    def run(self, code, where):
        mark = f"__docs_block_done_{time.monotonic_ns()}__"
        self.send(code + f"\necho {mark}\n")
        out = b""
        deadline = time.monotonic() + BLOCK_SECONDS
        fd = self.p.stdout.fileno()
        while mark.encode() not in out:
            left = deadline - time.monotonic()
            if left <= 0:
                self.p.kill()
                pytest.fail(f"{where}: the block did not finish in {BLOCK_SECONDS} s\n{out.decode(errors='replace')}")
            ready, _, _ = select.select([fd], [], [], left)
            if not ready:
                continue
            chunk = os.read(fd, 65536)
            if not chunk:
                code = self.p.wait()
                pytest.fail(f"{where}: the block failed (exit {code}):\n{out.decode(errors='replace')}")
            out += chunk
        return out.decode(errors="replace")

    def close(self):
        if self.p.poll() is None:
            self.p.stdin.close()
            self.p.wait()


@pytest.mark.parametrize("page", PAGES, ids=lambda p: str(p.relative_to(ROOT)))
def test_the_examples_run(page, tmp_path, monkeypatch):
    found = blocks(page)
    if not found:
        pytest.skip("no runnable example")
    if sys.version_info < (3, 10):
        pytest.skip("the examples use the Arrow consumers, installed on CPython 3.10 and newer only")
    shutil.copytree(ROOT / "data", tmp_path / "data")
    bin_dir = str(Path(sys.executable).parent)
    env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ.get("PATH", ""))
    if not shutil.which("varn", path=env["PATH"]):
        pytest.skip("the varn command is not installed beside this interpreter")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("PATH", env["PATH"])
    namespace = {"__name__": "__docs__"}
    shell = None
    try:
        for line, lang, code in found:
            where = f"{page.name}:{line}"
            if lang == "sh":
                shell = shell or Shell(tmp_path, env)
                shell.run(code, where)
                continue
            try:
                exec(compile(code, where, "exec"), namespace)
            except ModuleNotFoundError as exc:
                if exc.name and exc.name.split(".")[0] in OPTIONAL:
                    pytest.skip(f"{where} needs {exc.name}, which is not installed")
                raise
    finally:
        if shell:
            shell.close()
