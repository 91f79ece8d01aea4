"""Benchmark of varn_fileformat.compress_csv against the tools people would
otherwise use on a large CSV file: pyarrow, DuckDB and Polars writing Parquet
(zstd), gzip -6 and zstd -3 as plain compressors, and `cat FILE > /dev/null`
as the floor (reading the file once). After each compress_csv run, the
`varn` tool installed next to the module reads its output back twice
(`varn verify OUT`, `varn cat OUT > /dev/null`), and the run prints how many
times less CPU time each decode takes than the conversion, against a 3x target.

Run it through bench/run.sh, which prepares the venv and the data generator.
Modes:
  (default)         every tool on every dataset and size; writes
                    bench/results/results.{md,json,png}
  --growth          compress_csv alone on the trip records at growing sizes;
                    time per GB and peak RSS; bench/results/growth.{md,json}
  --profile         perf (or callgrind) profile of compress_csv on the trip
                    records; bench/results/profile.txt

Every measurement runs in its own process (bench/jobs.py for the Python
tools, the program itself for the others). Wall and CPU seconds are those of
the conversion (for the Python tools measured inside the child around the
call, so interpreter start and imports are left out); peak RSS is the whole
child process's, from wait4 (through bench/gen/runner.cpp, since a
process forked straight from Python inherits Python's RSS mark). Inputs are read from the page cache (they are
read once before the first measurement). MB = 10^6 bytes, MiB = 2^20.
"""

import argparse
import datetime
import hashlib
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time
from importlib import metadata, util

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
DATASETS = ["trips", "weblog", "wide", "text"]
DATASET_TEXT = {
    "trips": "taxi trip records, 20 mixed numeric and categorical columns",
    "weblog": "web access log, 9 columns (addresses, paths, agents)",
    "wide": "100 columns of small integers",
    "text": "short posts in 8 languages, multi-byte UTF-8",
}
PY_JOBS = ["compress_csv", "pyarrow-1t", "pyarrow", "duckdb-1t", "duckdb", "polars-1t", "polars"]
CMD_JOBS = ["cat", "gzip-6", "zstd-3", "varn-compress-plain", "varn-compress-text", "varn-compress",
            "varn-compress-typed", "varn-compress-fast", "varn-compress-small"]
# varn compress in its modes: compress_csv's dialect, the RFC 4180 reader
# with every column text, with types inferred (an extra parse), and with the
# same types given by --type (no inference pass; the types are those
# varn-compress chose for the file earlier in the same run); and the fast and
# small levels of the block compressor in compress_csv's dialect, so that
# against compress_csv (the default level) only the level differs.
VARN_COMPRESS = {"varn-compress-plain": ["--plain"], "varn-compress-text": ["--no-infer"],
                 "varn-compress": [], "varn-compress-typed": ["--no-infer"],
                 "varn-compress-fast": ["--plain", "--level", "fast"],
                 "varn-compress-small": ["--plain", "--level", "small"]}
TOOLS = ["cat", "compress_csv", "pyarrow-1t", "pyarrow", "duckdb-1t", "duckdb",
         "polars-1t", "polars", "gzip-6", "zstd-3", "varn-compress-plain", "varn-compress-text",
         "varn-compress", "varn-compress-typed", "varn-compress-fast", "varn-compress-small"]
TOOL_TEXT = {
    "cat": "cat FILE > /dev/null (floor)",
    "compress_csv": "varn_fileformat.compress_csv",
    "pyarrow-1t": "pyarrow open_csv -> ParquetWriter, 1 thread",
    "pyarrow": "pyarrow open_csv -> ParquetWriter, default threads",
    "duckdb-1t": "DuckDB COPY TO parquet, threads=1",
    "duckdb": "DuckDB COPY TO parquet, default threads",
    "polars-1t": "Polars scan_csv().sink_parquet(), 1 thread",
    "polars": "Polars scan_csv().sink_parquet(), default threads",
    "gzip-6": "gzip -6",
    "zstd-3": "zstd -3 -T1",
    "varn-compress-plain": "varn compress --plain (compress_csv's dialect, text)",
    "varn-compress-text": "varn compress --no-infer (RFC 4180 reader, text)",
    "varn-compress": "varn compress (RFC 4180 reader, lossless types inferred)",
    "varn-compress-typed": "varn compress --no-infer --type NAME=TYPE... (the inferred types, given)",
    "varn-compress-fast": "varn compress --plain --level fast",
    "varn-compress-small": "varn compress --plain --level small",
}
PEER_MODULE = {"pyarrow": "pyarrow", "duckdb": "duckdb", "polars": "polars",
               "compress_csv": "varn_fileformat"}
CREATION_TIME = slice(24, 32)  # the header's creation time, zeroed for digests
# Decoding compress_csv's output with the command-line tool; measured after
# every compress_csv run on the file it just wrote, not chosen with --tools.
DECODE_JOBS = ["varn-verify", "varn-cat"]
TOOL_TEXT.update({
    "varn-verify": "varn verify OUT.varn (compress_csv's output)",
    "varn-cat": "varn cat OUT.varn > /dev/null (compress_csv's output)",
})
DECODE_TARGET = 3.0  # compress_csv CPU over decode CPU, at least
# compress_csv, varn verify and varn cat use every CPU of their affinity mask.
SINGLE_THREAD = ("cat", "gzip-6", "zstd-3")


def log(msg):
    print(msg, flush=True)


# ---- sizes and data --------------------------------------------------------

def parse_size(text):
    """'100M' -> 100_000_000, '1G' -> 10^9, '1.5G', '500K', or plain bytes."""
    t = text.strip().upper().rstrip("B")
    mult = {"K": 10**3, "M": 10**6, "G": 10**9, "T": 10**12}.get(t[-1:], 1)
    if mult != 1:
        t = t[:-1]
    value = int(float(t) * mult)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"bad size {text!r}")
    return value


def size_label(n):
    for unit, m in (("T", 10**12), ("G", 10**9), ("M", 10**6), ("K", 10**3)):
        if n >= m and n % (m // 10) == 0:
            v = n / m
            return f"{v:g}{unit}"
    return str(n)


def sha256_file(path, zero=None):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        if zero is not None:
            head = bytearray(f.read(zero.stop))
            head[zero] = bytes(len(head[zero]))
            h.update(head)
        while True:
            block = f.read(16 << 20)
            if not block:
                break
            h.update(block)
    return h.hexdigest()


def generator_id():
    with open(os.path.join(BENCH, "gen", "csvgen.cpp"), "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()[:16]


def ensure_csv(args, dataset, size):
    """The cached CSV for (dataset, size, seed), generated when missing or
    when the generator's source changed. Returns (path, meta)."""
    os.makedirs(args.data_dir, exist_ok=True)
    base = os.path.join(args.data_dir, f"{dataset}-{size_label(size)}-s{args.seed}")
    path, meta_path = base + ".csv", base + ".json"
    gid = generator_id()
    if os.path.exists(path) and os.path.exists(meta_path):
        with open(meta_path) as f:
            meta = json.load(f)
        if meta.get("generator") == gid and meta.get("bytes") == os.path.getsize(path):
            return path, meta
    log(f"  generating {os.path.basename(path)} ...")
    t0 = time.perf_counter()
    tmp = path + ".tmp"
    proc = subprocess.run([args.generator, dataset, str(size), str(args.seed), tmp],
                          stderr=subprocess.PIPE, text=True, check=True)
    os.replace(tmp, path)
    gen_s = time.perf_counter() - t0
    meta = {"dataset": dataset, "target": size, "seed": args.seed, "generator": gid,
            "rows": int(proc.stderr.strip().splitlines()[-1]),
            "bytes": os.path.getsize(path), "sha256": sha256_file(path)}
    with open(meta_path, "w") as f:
        json.dump(meta, f, indent=1)
    log(f"  generated {meta['bytes'] / 1e6:.0f} MB, {meta['rows']:,} rows in {gen_s:.1f} s "
        f"({meta['bytes'] / 1e6 / gen_s:.0f} MB/s)")
    return path, meta


def warm(path):
    """Reads the file once so every tool starts from the page cache."""
    with open(path, "rb", buffering=0) as f:
        while f.read(16 << 20):
            pass


# ---- running one measurement -----------------------------------------------

def availability(tool):
    """None when the tool can run here, else the reason it is skipped."""
    if tool in VARN_COMPRESS:
        return None  # the varn command is found (or built) before the run
    if tool in PY_JOBS:
        mod = PEER_MODULE[tool.split("-")[0]]
        return None if util.find_spec(mod) else f"python module {mod} not installed"
    prog = tool.split("-")[0]
    return None if shutil.which(prog) else f"{prog} not found on PATH"


def find_varn(args):
    """The `varn` executable to time: --varn, else the one `pip install .` put
    next to this interpreter (the bench venv's bin), so that the tool and the
    module come from the same build. Returns (path, None) or (None, reason)."""
    path = args.varn or os.path.join(os.path.dirname(sys.executable), "varn")
    if os.path.isfile(path) and os.access(path, os.X_OK):
        return os.path.abspath(path), None
    if args.varn:
        return None, f"--varn {path} is not an executable file"
    return None, f"no varn in the venv at {path}: let run.sh install it, or give --varn PATH"


def run_child(args, argv, stdout_path):
    """Runs argv through the measuring launcher (bench/gen/runner.cpp), which
    forks it from a small process and reports wait4's figures for it alone.
    Returns (exit code, figures, standard error text)."""
    fd, result = tempfile.mkstemp(suffix=".json")
    os.close(fd)
    try:
        with tempfile.TemporaryFile() as err:
            cmd = [args.runner, result, str(int(args.timeout)), stdout_path or "-", "--"] + argv
            launcher = subprocess.run(cmd, stdin=subprocess.DEVNULL, stderr=err)
            err.seek(0)
            err_text = err.read().decode("utf-8", "replace")
        if launcher.returncode != 0:
            return launcher.returncode, None, err_text
        with open(result) as f:
            figures = json.load(f)
    finally:
        os.remove(result)
    code = figures["exit"] if not figures["signal"] else -figures["signal"]
    return code, figures, err_text


def declared_types(args, varn_file):
    """--type options for the columns of `varn_file` that are not text."""
    varn = args.varn_path or find_varn(args)[0]
    r = subprocess.run([varn, "info", "--json", varn_file], capture_output=True, text=True, check=True)
    out = []
    for c in json.loads(r.stdout)["columns"]:
        if c["type"] != "text":
            out += ["--type", f"{c['name']}={c['type']}"]
    return out


def measure(args, tool, csv, csv_bytes, out_dir, varn_file=None, extra=()):
    """One run of `tool` on `csv` (for the decode jobs, on `varn_file`, the
    compress_csv output of `csv`; `extra`: more options of varn compress).
    Returns a dict of figures or an error."""
    ext = {"compress_csv": ".varn", "varn-compress-plain": ".varn", "varn-compress-text": ".varn",
           "varn-compress": ".varn", "varn-compress-typed": ".varn", "varn-compress-fast": ".varn",
           "varn-compress-small": ".varn", "gzip-6": ".gz", "zstd-3": ".zst", "cat": "",
           "varn-verify": "", "varn-cat": ""}.get(tool, ".parquet")
    writes = ext != ""
    out = os.path.join(out_dir, f"{os.path.splitext(os.path.basename(csv))[0]}.{tool}{ext}")
    if writes and os.path.exists(out):
        os.remove(out)
    result_json = None
    if tool == "cat":
        argv, stdout_path = ["cat", csv], None
    elif tool == "varn-verify":
        argv, stdout_path = [args.varn_path, "verify", "--quiet", varn_file], None
    elif tool == "varn-cat":
        argv, stdout_path = [args.varn_path, "cat", varn_file], None
    elif tool in VARN_COMPRESS:
        varn, why = (args.varn_path, None) if args.varn_path else find_varn(args)
        if why:
            return {"tool": tool, "error": why}, None
        argv, stdout_path = [varn, "compress", "--no-progress", *VARN_COMPRESS[tool], *extra, csv, out], None
    elif tool == "gzip-6":
        argv, stdout_path = ["gzip", "-6", "-c", csv], out
    elif tool == "zstd-3":
        argv, stdout_path = ["zstd", "-3", "-T1", "-q", "-c", csv], out
    else:
        fd, result_json = tempfile.mkstemp(suffix=".json", dir=out_dir)
        os.close(fd)
        argv, stdout_path = [sys.executable, os.path.join(BENCH, "jobs.py"), tool, csv, out,
                             result_json], None
    code, fig, err_text = run_child(args, argv, stdout_path)
    rec = {"tool": tool}
    if fig:
        rec.update(proc_wall=fig["wall"], proc_cpu=fig["user"] + fig["sys"],
                   peak_rss_mib=fig["maxrss_kib"] / 1024.0)
    if code != 0:
        for leftover in (result_json, out if writes else None):
            if leftover and os.path.exists(leftover):
                os.remove(leftover)
        tail = err_text.strip().splitlines()[-3:]
        rec["error"] = (f"exit {code}" if code >= 0 else f"killed by signal {-code}") + \
            (": " + " | ".join(tail) if tail else "")
        return rec, None
    if result_json:
        with open(result_json) as f:
            inner = json.load(f)
        os.remove(result_json)
        rec.update(wall=inner.pop("wall"), cpu=inner.pop("cpu"), info=inner)
    else:
        rec.update(wall=rec["proc_wall"], cpu=rec["proc_cpu"])
    rec["csv_bytes"] = csv_bytes
    rec["mb_s"] = csv_bytes / 1e6 / rec["wall"]
    rec["out_bytes"] = os.path.getsize(out) if writes else None
    return rec, (out if writes else None)


def median_run(runs):
    """The run with the median wall time (the lower middle for even counts)."""
    ok = sorted((r for r in runs if "error" not in r), key=lambda r: r["wall"])
    if not ok:
        return runs[-1]
    best = dict(ok[(len(ok) - 1) // 2])
    if len(ok) > 1:
        best["wall_all"] = [round(r["wall"], 3) for r in ok]
    return best


# ---- digests ---------------------------------------------------------------

class Digests:
    """SHA-256 of every compress_csv output with the creation time zeroed,
    recorded in bench/results/digests.json or checked against it."""

    def __init__(self, args):
        self.path = os.path.join(args.results_dir, "digests.json")
        self.record = args.record_digests
        self.check = args.check_digests
        self.known = {}
        if os.path.exists(self.path):
            with open(self.path) as f:
                self.known = json.load(f)
        self.seen = {}
        self.problems = []
        self.lines = []

    def add(self, key, csv_meta, varn_path):
        digest = sha256_file(varn_path, zero=CREATION_TIME)
        entry = {"csv_sha256": csv_meta["sha256"], "varn_sha256": digest,
                 "varn_bytes": os.path.getsize(varn_path)}
        if key in self.seen:  # a repeat must write the same bytes
            if self.seen[key]["varn_sha256"] != digest:
                self.problems.append(f"{key}: repeated runs wrote different bytes")
            return
        self.seen[key] = entry
        if self.check:
            old = self.known.get(key)
            if old is None:
                self.lines.append(f"{key}: no recorded digest (run with --record-digests first)")
                self.problems.append(f"{key}: not recorded")
            elif old["csv_sha256"] != entry["csv_sha256"]:
                self.lines.append(f"{key}: INPUT CHANGED since recording; cannot compare")
                self.problems.append(f"{key}: input changed")
            elif old["varn_sha256"] == digest:
                self.lines.append(f"{key}: same bytes ({entry['varn_bytes']:,} bytes, sha256 {digest[:16]}…)")
            else:
                self.lines.append(f"{key}: DIFFERENT bytes (recorded {old['varn_bytes']:,} bytes "
                                  f"{old['varn_sha256'][:16]}…, now {entry['varn_bytes']:,} "
                                  f"bytes {digest[:16]}…)")
                self.problems.append(f"{key}: different output")

    def finish(self, revision):
        if self.record and self.seen:
            os.makedirs(os.path.dirname(self.path), exist_ok=True)
            for key, entry in self.seen.items():
                self.known[key] = dict(entry, revision=revision,
                                       recorded=datetime.datetime.now().isoformat(timespec="seconds"))
            with open(self.path, "w") as f:
                json.dump(dict(sorted(self.known.items())), f, indent=1)
            log(f"recorded {len(self.seen)} digest(s) in {os.path.relpath(self.path, ROOT)}")
        if self.check:
            log("\nDigest check against " + os.path.relpath(self.path, ROOT) + ":")
            if not self.seen:
                log("  nothing to check: no compress_csv output in this run")
            for line in self.lines:
                log("  " + line)
        for p in self.problems:
            if "repeated" in p:
                log("  NONDETERMINISTIC: " + p)
        if self.check or any("repeated" in p for p in self.problems):
            return not self.problems
        return True


# ---- machine and versions --------------------------------------------------

def machine_info(args):
    info = {"date": datetime.datetime.now().isoformat(timespec="seconds"),
            "command": "./bench/run.sh " + " ".join(args.argv),
            "python": platform.python_version(), "kernel": platform.release(),
            "cores": os.cpu_count()}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    info["cpu"] = line.split(":", 1)[1].strip()
                    break
        with open("/proc/meminfo") as f:
            info["memory_gib"] = round(int(f.readline().split()[1]) / 2**20, 1)
        info["loadavg_start"] = os.getloadavg()[0]
    except OSError:
        pass
    versions = {}
    for mod in ("varn_fileformat", "pyarrow", "duckdb", "polars"):
        try:
            versions[mod] = metadata.version(mod)
        except metadata.PackageNotFoundError:
            pass
    for prog in ("gzip", "zstd"):
        if shutil.which(prog):
            first = subprocess.run([prog, "--version"], capture_output=True, text=True).stdout
            words = [w.strip(",") for w in (first.splitlines() or ["?"])[0].split()]
            versions[prog] = next((w.lstrip("v") for w in words if w[:1].isdigit() or
                                   (w[:1] == "v" and w[1:2].isdigit())), "?")
    info["versions"] = versions
    try:
        info["revision"] = subprocess.run(["git", "-C", ROOT, "describe", "--always", "--dirty"],
                                          capture_output=True, text=True).stdout.strip()
    except OSError:
        info["revision"] = "?"
    return info


def machine_text(info):
    v = info["versions"]
    lines = [
        f"- Date: {info['date']}; revision {info.get('revision', '?')}",
        f"- Command: `{info['command']}`",
        f"- Machine: {info.get('cpu', '?')}, {info['cores']} cores, "
        f"{info.get('memory_gib', '?')} GiB, Linux {info['kernel']}, Python {info['python']}",
        f"- Load average (1 min) at start {info.get('loadavg_start', 0):.2f}"
        + (f", at end {info['loadavg_end']:.2f}" if "loadavg_end" in info else ""),
        "- Versions: " + ", ".join(f"{k} {val}" for k, val in v.items()),
    ]
    return "\n".join(lines)


# ---- the comparison run ----------------------------------------------------

def fmt(v, digits=2):
    return "–" if v is None else f"{v:,.{digits}f}"


def cpu_mb_s(r):
    """Throughput per CPU second: steadier than wall time on a busy machine
    for the single-thread tools."""
    return r["csv_bytes"] / 1e6 / r["cpu"] if r.get("cpu") else None


def table(rows, csv_bytes):
    varn = next((r for r in rows if r["tool"] == "compress_csv" and "error" not in r), None)
    out = ["| tool | threads | wall s | CPU s | MB/s | MB per CPU s | speed vs compress_csv "
           "| peak RSS MiB | output MB | output % of CSV | output vs compress_csv |",
           "|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|"]
    for r in rows:
        threads = "1" if r["tool"] in SINGLE_THREAD or \
            r["tool"].endswith("-1t") else f"default ({r.get('info', {}).get('threads', os.cpu_count())})"
        if "skipped" in r or "error" in r:
            why = r.get("skipped") or r["error"]
            out.append(f"| {r['tool']} | {threads} | {'skipped' if 'skipped' in r else 'failed'}: "
                       f"{why} | | | | | | | | |")
            continue
        speed = f"{r['mb_s'] / varn['mb_s']:.2f}×" if varn else "–"
        ob = r.get("out_bytes")
        size_vs = f"{ob / varn['out_bytes']:.2f}×" if (varn and ob) else "–"
        out.append(f"| {r['tool']} | {threads} | {fmt(r['wall'])} | {fmt(r['cpu'])} | "
                   f"{fmt(r['mb_s'], 1)} | {fmt(cpu_mb_s(r), 1)} | {speed} | "
                   f"{fmt(r['peak_rss_mib'], 0)} | "
                   f"{fmt(ob / 1e6 if ob else None, 1)} | "
                   f"{fmt(100 * ob / csv_bytes if ob else None, 1)} | {size_vs} |")
    return "\n".join(out)


def decode_ratios(rows):
    """compress_csv's CPU (and wall) seconds over each decode job's, from the
    median runs of one file: {"varn-verify": {"cpu": x, "wall": y, "met": b}}.
    Both clocks, but the target is judged on CPU time, which other work on
    the machine disturbs far less than wall time."""
    varn = next((r for r in rows if r["tool"] == "compress_csv" and "error" not in r), None)
    if not varn:
        return {}
    out = {}
    for r in rows:
        if r["tool"] in DECODE_JOBS and "mb_s" in r:
            cpu = varn["cpu"] / r["cpu"] if r["cpu"] > 0 else None
            out[r["tool"]] = {"cpu": cpu, "wall": varn["wall"] / r["wall"],
                              "met": cpu is not None and cpu >= DECODE_TARGET}
    return out


def decode_text(ratios):
    """One line per decode job: 'compress_csv CPU / varn verify CPU 4.2x ...'."""
    lines = []
    for tool, q in ratios.items():
        verdict = "met" if q["met"] else "NOT met"
        lines.append(f"compress_csv CPU / {tool.replace('-', ' ')} CPU {fmt(q['cpu'])}× "
                     f"(wall {fmt(q['wall'])}×; target {DECODE_TARGET:g}×: {verdict})")
    return lines


def print_ratios(rows):
    varn = next((r for r in rows if r["tool"] == "compress_csv" and "error" not in r), None)
    if not varn:
        return
    lines = []
    for r in rows:
        if r["tool"] == "compress_csv" or r["tool"] in DECODE_JOBS or "mb_s" not in r:
            continue
        size = f", output {r['out_bytes'] / varn['out_bytes']:.2f}× as large" if r.get("out_bytes") else ""
        per_cpu = cpu_mb_s(r)
        cpu = f" ({per_cpu / cpu_mb_s(varn):.2f}× per CPU s)" if per_cpu else ""
        lines.append(f"      {r['tool']:<13} {r['mb_s'] / varn['mb_s']:6.2f}× the speed{cpu}{size}")
    if lines:
        log(f"    against compress_csv ({varn['mb_s']:.1f} MB/s, {cpu_mb_s(varn):.1f} MB per CPU s, "
            f"{varn['out_bytes'] / 1e6:.1f} MB out):")
        log("\n".join(lines))
    for line in decode_text(decode_ratios(rows)):
        log("    decode: " + line)


def chart(results, path, title):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        log("matplotlib not installed; no chart")
        return False
    sizes = sorted({r["size"] for r in results})
    datasets = [d for d in DATASETS if any(r["dataset"] == d for r in results)]
    fig, axes = plt.subplots(len(sizes), len(datasets), squeeze=False,
                             figsize=(4.6 * len(datasets),
                                      0.45 * (len(TOOLS) + len(DECODE_JOBS)) * len(sizes) + 1.5))
    colour = {"cat": "#9e9e9e", "compress_csv": "#d62728", "gzip-6": "#8c564b", "zstd-3": "#8c564b",
              "varn-verify": "#ff9896", "varn-cat": "#ff9896"}
    for i, size in enumerate(sizes):
        for j, ds in enumerate(datasets):
            ax = axes[i][j]
            entry = next((r for r in results if r["size"] == size and r["dataset"] == ds), None)
            rows = [r for r in (entry["runs"] if entry else []) if "mb_s" in r]
            names = [r["tool"] for r in rows]
            vals = [r["mb_s"] for r in rows]
            cols = [colour.get(n, "#1f77b4" if n.endswith("-1t") else "#aec7e8") for n in names]
            y = range(len(rows))
            ax.barh(list(y), vals, color=cols)
            ax.set_yticks(list(y), names, fontsize=8)
            ax.invert_yaxis()
            ax.set_xscale("log")
            ax.set_title(f"{ds}, {size_label(size)}B", fontsize=10)
            ax.tick_params(axis="x", labelsize=8)
            for k, v in enumerate(vals):
                ax.text(v, k, f" {v:.0f}", va="center", fontsize=7)
            if i == len(sizes) - 1:
                ax.set_xlabel("MB/s (log scale; higher is faster)", fontsize=8)
    from matplotlib.patches import Patch
    legend = [Patch(color="#d62728", label="compress_csv"),
              Patch(color="#ff9896", label="varn verify / cat of its output"),
              Patch(color="#1f77b4", label="Parquet writer, 1 thread"),
              Patch(color="#aec7e8", label="Parquet writer, default threads"),
              Patch(color="#8c564b", label="plain compressor, 1 thread"),
              Patch(color="#9e9e9e", label="read the file once (floor)")]
    fig.legend(handles=legend, loc="lower center", ncol=len(legend), fontsize=8, frameon=False)
    fig.suptitle(title, fontsize=11)
    fig.tight_layout(rect=(0, 0.04, 1, 1))
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return True


def log_run(tool, rec):
    if "error" in rec:
        log(f"  {tool:<13} FAILED {rec['error']}")
        return
    log(f"  {tool:<13} {rec['wall']:8.2f} s {rec['mb_s']:8.1f} MB/s  "
        f"cpu {rec['cpu']:7.2f} s  rss {rec['peak_rss_mib']:6.0f} MiB"
        + (f"  out {rec['out_bytes'] / 1e6:8.1f} MB" if rec.get("out_bytes") else ""))


def run_comparison(args, info, digests):
    tools = args.tools
    out_dir = os.path.join(args.data_dir, "out")
    os.makedirs(out_dir, exist_ok=True)
    skipped = {t: availability(t) for t in tools}
    for t, why in skipped.items():
        if why:
            log(f"note: {t} skipped ({why})")
    decode = decode_jobs(args, skipped)
    if args.varn_path:
        info["varn"] = os.path.relpath(args.varn_path, ROOT)
    row_tools = []
    for t in tools:
        row_tools += [t] + (list(decode) if t == "compress_csv" else [])
    results = []
    for size in args.sizes:
        for ds in args.datasets:
            log(f"\n== {ds} {size_label(size)}B")
            csv, meta = ensure_csv(args, ds, size)
            warm(csv)
            runs = {t: [] for t in row_tools}
            typed = None  # the --type options of the inferred schema
            for rep in range(args.repeat):
                for t in tools:
                    if skipped[t]:
                        continue
                    if t == "varn-compress-typed" and typed is None:
                        rec = {"tool": t, "error": "needs a varn-compress run before it in the same run"}
                        runs[t].append(rec)
                        log_run(t, rec)
                        continue
                    rec, out = measure(args, t, csv, meta["bytes"], out_dir,
                                       extra=typed if t == "varn-compress-typed" else ())
                    runs[t].append(rec)
                    log_run(t, rec)
                    if "error" in rec:
                        continue
                    if t == "varn-compress":
                        typed = declared_types(args, out)
                    if t == "compress_csv":
                        digests.add(f"{ds}-{size_label(size)}", meta, out)
                        # Read back the file just written, while it is in the page cache.
                        for d in decode:
                            if decode[d]:
                                continue
                            drec, _ = measure(args, d, csv, meta["bytes"], out_dir, varn_file=out)
                            runs[d].append(drec)
                            log_run(d, drec)
                    if out and not args.keep_outputs:
                        os.remove(out)
            rows = [median_run(runs[t]) if runs[t] else
                    {"tool": t, "skipped": skipped.get(t) or decode.get(t) or "no compress_csv output"}
                    for t in row_tools]
            print_ratios(rows)
            results.append({"dataset": ds, "size": size, "csv_bytes": meta["bytes"],
                            "rows": meta["rows"], "runs": rows, "decode": decode_ratios(rows)})
    return results


def decode_jobs(args, skipped):
    """The decode jobs of this run: {job: None} when they run, {job: reason}
    when they are skipped, {} when compress_csv is not measured at all."""
    if "compress_csv" not in args.tools or skipped.get("compress_csv"):
        return {}
    if args.no_decode:
        return {}
    args.varn_path, why = find_varn(args)
    if why:
        log(f"note: {', '.join(DECODE_JOBS)} skipped ({why})")
    else:
        log(f"decode: {args.varn_path}")
    return {d: why for d in DECODE_JOBS}


def decode_summary(results):
    """File-by-decode-job matrix of compress_csv CPU over decode CPU, with the
    seconds it comes from; empty when no decode job ran."""
    if not any(r.get("decode") for r in results) and \
            not any(x["tool"] in DECODE_JOBS for r in results for x in r["runs"]):
        return []
    out = [f"### Summary: decode against the conversion (target: {DECODE_TARGET:g}× less CPU time)", "",
           "compress_csv CPU s / decode CPU s on the same file; wall-time ratios in brackets.", "",
           "| file | compress_csv CPU s | varn verify CPU s | compress_csv / verify "
           "| varn cat CPU s | compress_csv / cat | target met |",
           "|---|--:|--:|--:|--:|--:|---|"]
    for r in results:
        cells = []
        by_tool = {x["tool"]: x for x in r["runs"]}
        varn = by_tool.get("compress_csv", {})
        cells.append(fmt(varn.get("cpu") if "mb_s" in varn else None))
        met = []
        for d in DECODE_JOBS:
            run, q = by_tool.get(d, {}), r.get("decode", {}).get(d)
            cells.append(fmt(run.get("cpu") if "mb_s" in run else None))
            cells.append(f"{fmt(q['cpu'])}× ({fmt(q['wall'])}×)" if q else "–")
            if q:
                met.append(q["met"])
        verdict = "–" if len(met) < len(DECODE_JOBS) else ("yes" if all(met) else "NO")
        out.append(f"| {r['dataset']} {size_label(r['size'])}B | " + " | ".join(cells) + f" | {verdict} |")
    return out + [""]


def summary(results, tools):
    """Three tool-by-file matrices: MB/s by wall time, MB per CPU second and
    output size as a share of the CSV, then the decode ratios."""
    cols = [f"{r['dataset']} {size_label(r['size'])}B" for r in results]
    out = []
    for title, value, digits in (
            ("MB/s by wall time", lambda x: x.get("mb_s"), 1),
            ("MB per CPU second", cpu_mb_s, 1),
            ("Output size, % of the CSV", lambda x: 100 * x["out_bytes"] / x["csv_bytes"]
             if x.get("out_bytes") else None, 1)):
        out += [f"### Summary: {title}", "", "| tool | " + " | ".join(cols) + " |",
                "|---|" + "--:|" * len(cols)]
        for t in tools:
            if title.startswith("Output") and t in DECODE_JOBS:
                continue  # they write nothing
            cells = []
            for r in results:
                run = next((x for x in r["runs"] if x["tool"] == t), {})
                v = value(run) if "mb_s" in run else None
                cells.append(fmt(v, digits))
            out.append(f"| {t} | " + " | ".join(cells) + " |")
        out.append("")
    return out + decode_summary(results)


def write_comparison(args, info, results):
    os.makedirs(args.results_dir, exist_ok=True)
    # The decode jobs appear as rows right after compress_csv.
    shown = [x["tool"] for x in results[0]["runs"]] if results else list(args.tools)
    decode_note = []
    if any(t in DECODE_JOBS for t in shown):
        decode_note = [
            f"After every compress_csv run, `{info.get('varn', 'varn')}` reads its output back: "
            "`varn-verify` and `varn-cat` are measured like the other tools (whole process, "
            "from the launcher), their MB/s are of the CSV's size, and each file's "
            "compress_csv CPU s / decode CPU s is given against the "
            f"{DECODE_TARGET:g}× target.", ""]
    md = ["# compress_csv against CSV-to-Parquet converters and compressors", "",
          machine_text(info), "",
          "The machine is shared with other work, so single figures are noisy; "
          "the ratios within one run are what to compare.",
          f"Each figure is the median of {args.repeat} run(s), each in its own process.",
          "Wall and CPU seconds cover the conversion only (imports and interpreter start "
          "excluded); peak RSS is the whole process's. Inputs come from the page cache. "
          "MB = 10^6 bytes, MiB = 2^20 bytes. compress_csv forces its output to disk "
          "(fsync) before returning; the other tools do not.", "",
          "Tools: " + "; ".join(f"`{t}`: {TOOL_TEXT[t]}" for t in shown) + ".", "",
          *decode_note,
          *summary(results, shown)]
    for r in results:
        md += [f"## {r['dataset']}, {size_label(r['size'])}B: {DATASET_TEXT[r['dataset']]}", "",
               f"{r['csv_bytes']:,} bytes, {r['rows']:,} rows.", "",
               table(r["runs"], r["csv_bytes"]), ""]
        md += [f"- Decode: {line}" for line in decode_text(r.get("decode", {}))]
        if r.get("decode"):
            md.append("")
    # A run of some of the tools (a digest check, say) keeps the full results.
    name = "results" if set(args.tools) == set(TOOLS) else "results-" + "-".join(args.tools)
    base = os.path.join(args.results_dir, name)
    with open(base + ".md", "w") as f:
        f.write("\n".join(md))
    with open(base + ".json", "w") as f:
        json.dump({"machine": info, "results": results}, f, indent=1)
    runs = "one run" if args.repeat == 1 else f"median of {args.repeat} runs"
    drew = chart(results, base + ".png",
                 f"CSV conversion throughput, {runs} on a shared {info['cores']}-core machine "
                 f"({info['date'][:10]})")
    log(f"\nwrote {os.path.relpath(base, ROOT)}.md, .json" + (", .png" if drew else ""))


# ---- growth ----------------------------------------------------------------

def run_growth(args, info, digests):
    out_dir = os.path.join(args.data_dir, "out")
    os.makedirs(out_dir, exist_ok=True)
    rows = []
    for size in args.growth_sizes:
        log(f"\n== growth: trips {size_label(size)}B")
        csv, meta = ensure_csv(args, "trips", size)
        warm(csv)
        runs = []
        for _ in range(args.repeat):
            rec, out = measure(args, "compress_csv", csv, meta["bytes"], out_dir)
            if "error" in rec:
                log(f"  FAILED {rec['error']}")
                runs.append(rec)
                continue
            digests.add(f"trips-{size_label(size)}", meta, out)
            if not args.keep_outputs:
                os.remove(out)
            log(f"  {rec['wall']:8.2f} s  {rec['wall'] / (meta['bytes'] / 1e9):6.2f} s/GB  "
                f"cpu {rec['cpu'] / (meta['bytes'] / 1e9):6.2f} s/GB  "
                f"{rec['mb_s']:6.1f} MB/s  rss {rec['peak_rss_mib']:6.1f} MiB")
            runs.append(rec)
        rec = median_run(runs)
        rec.update(size=size, csv_bytes=meta["bytes"], rows=meta["rows"])
        if "error" not in rec:
            rec["s_per_gb"] = rec["wall"] / (meta["bytes"] / 1e9)
            rec["cpu_s_per_gb"] = rec["cpu"] / (meta["bytes"] / 1e9)
        rows.append(rec)
        if args.growth_delete_inputs and size >= 2 * 10**9:
            os.remove(csv)
    info["loadavg_end"] = os.getloadavg()[0]
    write_growth(args, info, rows)


def write_growth(args, info, rows):
    ok = [r for r in rows if "s_per_gb" in r]
    lines = ["| CSV | rows | wall s | s per GB | CPU s | CPU s per GB | wall / CPU | MB/s | peak RSS MiB |",
             "|--:|--:|--:|--:|--:|--:|--:|--:|--:|"]
    for r in rows:
        if "s_per_gb" not in r:
            lines.append(f"| {size_label(r['size'])}B | | failed: {r.get('error')} | | | | | | |")
            continue
        lines.append(f"| {size_label(r['size'])}B ({r['csv_bytes']:,} bytes) | {r['rows']:,} | "
                     f"{r['wall']:.2f} | {r['s_per_gb']:.2f} | {r['cpu']:.2f} | {r['cpu_s_per_gb']:.2f} | "
                     f"{r['wall'] / r['cpu']:.2f} | {r['mb_s']:.1f} | {r['peak_rss_mib']:.1f} |")
    verdict = []
    if len(ok) >= 2:
        def spread(key):
            v = [r[key] for r in ok]
            return min(v), max(v), max(v) / min(v) - 1

        def within(x):
            return "within" if x <= 0.10 else "NOT within"

        t0, t1, ts = spread("s_per_gb")
        c0, c1, cs = spread("cpu_s_per_gb")
        m0, m1, ms = spread("peak_rss_mib")
        busy = [r["wall"] / r["cpu"] for r in ok]
        verdict = [
            f"- Wall time per GB: {t0:.2f} to {t1:.2f} s, spread {100 * ts:.1f}% ({within(ts)} 10%)",
            f"- CPU time per GB: {c0:.2f} to {c1:.2f} s, spread {100 * cs:.1f}% ({within(cs)} 10%)",
            f"- Peak RSS: {m0:.1f} to {m1:.1f} MiB, spread {100 * ms:.1f}% ({within(ms)} 10%)",
            f"- Wall over CPU time per run: {min(busy):.2f} to {max(busy):.2f} (1.0 on an idle machine; "
            "more means the conversion waited for a core, and its wall time carries other work's load)",
        ]
    text = "\n".join(["# compress_csv cost growth (trip records)", "", machine_text(info), "",
                      "Spread = largest / smallest - 1. Each figure is the median of "
                      f"{args.repeat} run(s). compress_csv runs on one thread; on a shared "
                      "machine its CPU time per GB is the steadier measure of linear cost.", "",
                      *lines, "", *verdict, ""])
    log("\n" + "\n".join(lines + [""] + verdict))
    os.makedirs(args.results_dir, exist_ok=True)
    with open(os.path.join(args.results_dir, "growth.md"), "w") as f:
        f.write(text)
    with open(os.path.join(args.results_dir, "growth.json"), "w") as f:
        json.dump({"machine": info, "repeat": args.repeat, "growth": rows}, f, indent=1)
    log(f"wrote {os.path.relpath(os.path.join(args.results_dir, 'growth.md'), ROOT)}, growth.json")


# ---- profile ---------------------------------------------------------------

def profile_build(args):
    """An unstripped build of the module with debug information, in its own
    directory, for symbol names in the profile. Same optimisation as the
    installed one (Release)."""
    build = os.path.join(ROOT, "build-bench", "profile")
    cmd = ["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
           "-DVARN_BUILD_MODULE=ON", "-DVARN_BUILD_CLI=OFF", "-DVARN_BUILD_TESTS=OFF",
           "-DCMAKE_CXX_FLAGS=-g", f"-DPython_EXECUTABLE={sys.executable}"]
    if shutil.which("ninja"):
        cmd += ["-G", "Ninja"]
    for step in (cmd, ["cmake", "--build", build, "-j2", "--target", "varn_fileformat"]):
        done = subprocess.run(step, capture_output=True, text=True)
        if done.returncode != 0:
            sys.exit("profile build failed:\n" + "\n".join(
                (done.stdout + done.stderr).strip().splitlines()[-25:]))
    return build


def run_profile(args, info):
    build = profile_build(args)
    env = dict(os.environ, PYTHONPATH=build)
    out_dir = os.path.join(args.data_dir, "out")
    os.makedirs(out_dir, exist_ok=True)
    perf = shutil.which("perf")
    use_perf = False
    if perf:
        probe = subprocess.run([perf, "record", "-e", "cpu-clock", "-o", os.devnull, "--", "true"],
                               capture_output=True)
        use_perf = probe.returncode == 0
    size = args.profile_size or (100 * 10**6 if use_perf else 20 * 10**6)
    csv, meta = ensure_csv(args, "trips", size)
    warm(csv)
    out = os.path.join(out_dir, "profile.varn")
    fd, result_json = tempfile.mkstemp(suffix=".json", dir=out_dir)
    os.close(fd)
    job = [sys.executable, os.path.join(BENCH, "jobs.py"), "compress_csv", csv, out, result_json]
    report_path = os.path.join(args.results_dir, "profile.txt")
    os.makedirs(args.results_dir, exist_ok=True)
    header = [f"compress_csv on trips {size_label(size)}B ({meta['bytes']:,} bytes, "
              f"{meta['rows']:,} rows)", machine_text(info), ""]
    if use_perf:
        data = os.path.join(ROOT, "build-bench", "perf.data")
        log(f"perf record on {os.path.basename(csv)} ...")
        subprocess.run([perf, "record", "-q", "-e", "cpu-clock", "-F", "1999",
                        "--call-graph", "dwarf,16384", "-o", data, "--"] + job,
                       env=env, check=True, stderr=subprocess.DEVNULL)

        def report(*extra):
            return subprocess.run([perf, "report", "-i", data, "--stdio", *extra],
                                  capture_output=True, text=True, check=True).stdout

        flat = report("--no-children", "--sort", "symbol,dso",
                      "-g", "none", "--percent-limit", "0.3")
        # Inclusive time of the module's own functions (and the kernel's page
        # fault path), to see which stage the self time above belongs to.
        incl = report("--children", "--sort", "symbol",
                      "-g", "none", "--percent-limit", "1")
        incl_lines = [l for l in incl.splitlines()
                      if "varn::" in l or "page_fault" in l or l.startswith("#")]
        rep = ("== Self time (perf report --no-children)\n" + flat +
               "\n== Inclusive time of the module's functions and of page faults "
               "(perf report --children; first column inclusive, second self)\n" +
               "\n".join(incl_lines) + "\n")
        tool_line = ("perf record -e cpu-clock -F 1999 --call-graph dwarf; "
                     "perf report --no-children / --children")
    else:
        data = os.path.join(ROOT, "build-bench", "callgrind.out")
        log(f"callgrind on {os.path.basename(csv)} (perf unavailable) ...")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={data}"] + job,
                       env=env, check=True, stderr=subprocess.DEVNULL)
        rep = subprocess.run(["callgrind_annotate", data], capture_output=True, text=True,
                             check=True).stdout
        tool_line = "valgrind --tool=callgrind; callgrind_annotate (instruction counts)"
    with open(result_json) as f:
        r = json.load(f)
    os.remove(result_json)
    os.remove(out)
    info["loadavg_end"] = os.getloadavg()[0]
    header[1] = machine_text(info)
    header.insert(1, f"Profiler: {tool_line}. Module: {r.get('module')}. "
                     f"Conversion wall {r['wall']:.2f} s under the profiler.")
    with open(report_path, "w") as f:
        f.write("\n".join(header) + "\n" + rep)
    top = [l for l in rep.splitlines() if l.strip() and not l.startswith("#")][:15]
    log("\n".join(top))
    log(f"wrote {os.path.relpath(report_path, ROOT)}")


# ---- main ------------------------------------------------------------------

def main(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--sizes", default="100M,1G", help="CSV sizes to measure (default 100M,1G)")
    p.add_argument("--datasets", default=",".join(DATASETS),
                   help=f"datasets (default {','.join(DATASETS)})")
    p.add_argument("--tools", default=",".join(TOOLS), help=f"tools (default all: {','.join(TOOLS)})")
    p.add_argument("--repeat", type=int, default=1, help="runs per measurement; the median is kept")
    p.add_argument("--record-digests", action="store_true",
                   help="record the SHA-256 of every compress_csv output in bench/results/digests.json")
    p.add_argument("--check-digests", action="store_true",
                   help="compare every compress_csv output with bench/results/digests.json; "
                        "exit 1 on any difference")
    p.add_argument("--growth", action="store_true",
                   help="cost growth mode: compress_csv on the trip records at --growth-sizes")
    p.add_argument("--growth-sizes", default="100M,1G,2G,4G")
    p.add_argument("--growth-delete-inputs", action="store_true",
                   help="delete the generated trip files of 2 GB and more after use")
    p.add_argument("--profile", action="store_true", help="profile compress_csv on the trip records")
    p.add_argument("--profile-size", type=parse_size, default=None,
                   help="trip file size for --profile (default 100M with perf, 20M with callgrind)")
    p.add_argument("--varn", default=None,
                   help="the varn executable whose verify and cat are timed on compress_csv's "
                        "output (default: the one installed in this interpreter's venv)")
    p.add_argument("--no-decode", action="store_true",
                   help="do not time varn verify / varn cat after compress_csv")
    p.add_argument("--seed", type=int, default=42)
    p.add_argument("--timeout", type=float, default=3600, help="seconds before a run is killed")
    p.add_argument("--keep-outputs", action="store_true", help="keep the converted files in bench/data/out")
    p.add_argument("--data-dir", default=os.path.join(BENCH, "data"))
    p.add_argument("--results-dir", default=os.path.join(BENCH, "results"))
    p.add_argument("--generator", required=True, help="path of the csvgen binary (run.sh passes it)")
    p.add_argument("--runner", required=True, help="path of the runner binary (run.sh passes it)")
    args = p.parse_args(argv)
    args.argv = [a for a in argv if a not in ("--generator", args.generator, "--runner", args.runner)]
    args.varn_path = None
    args.sizes = [parse_size(s) for s in args.sizes.split(",") if s]
    args.growth_sizes = [parse_size(s) for s in args.growth_sizes.split(",") if s]
    args.datasets = [d for d in args.datasets.split(",") if d]
    args.tools = [t for t in args.tools.split(",") if t]
    for d in args.datasets:
        if d not in DATASETS:
            p.error(f"unknown dataset {d}")
    for t in args.tools:
        if t not in TOOLS:
            p.error(f"unknown tool {t}")
    if args.record_digests and args.check_digests:
        p.error("--record-digests and --check-digests exclude each other")

    info = machine_info(args)
    log(machine_text(info))
    if args.profile:
        run_profile(args, info)
        return 0
    digests = Digests(args)
    if args.growth:
        run_growth(args, info, digests)
    else:
        results = run_comparison(args, info, digests)
        info["loadavg_end"] = os.getloadavg()[0]
        write_comparison(args, info, results)
    return 0 if digests.finish(info.get("revision")) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
