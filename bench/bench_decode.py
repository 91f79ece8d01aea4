#!/usr/bin/env python3
"""Decode speed against encode speed: generates a CSV (150 MB by default),
then times `varn compress`, `varn verify` and `varn cat > /dev/null` on it and
prints how many times faster than the conversion each decode runs.

Both wall-clock and CPU time (user + system of the child) are reported: on a
busy machine the wall clock measures the other processes as much as varn, and
the conversion's wall time also includes forcing the output to disk (fsync).
Each step runs --repeat times; the best time counts. The exit status is 1
when a decode runs less than 3 times as fast as the conversion (by either
clock), or when --check finds a difference.

This is the quick check on one file, needing nothing but a built `varn`. The
main benchmark (bench/run.sh) times the same two decodes after every
compress_csv run on its generated datasets and reports the same ratios.

usage: bench_decode.py [--size-mb N] [--varn PATH] [--csv PATH] [--dir DIR]
                       [--repeat N] [--check] [--keep]
"""
import argparse
import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TARGET = 3.0


def find_varn():
    candidates = [Path(sys.executable).parent / "varn"]
    on_path = shutil.which("varn")
    if on_path:
        candidates.append(Path(on_path))
    root = Path(__file__).resolve().parents[1]
    candidates.append(root / ".venv" / "bench" / "bin" / "varn")  # installed by bench/run.sh
    candidates += sorted(list(root.glob("build*/varn")) + list(root.glob("build/*/varn")),
                         key=lambda p: p.stat().st_mtime, reverse=True)
    for c in candidates:
        if c.is_file() and os.access(c, os.X_OK):
            return str(c)
    return None


def generate_csv(path, size_mb, seed=1):
    """Mixed columns like a typical export: ids, words, cities (multi-byte
    UTF-8), amounts, timestamps, flags and free text. The cells are already
    trimmed, so `varn cat` writes the file back byte for byte."""
    rng = random.Random(seed)
    words = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta", "iota",
             "kappa", "lambda", "mu", "nu", "xi", "omicron", "pi"]
    cities = ["Paris", "Z\u00fcrich", "M\u00fcnchen", "\u6771\u4eac", "New York",
              "S\u00e3o Paulo", "Oslo", "Lagos", "Lima", "Kyiv"]
    target = size_mb * 1024 * 1024
    rows = 0
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write("id,name,city,amount,ts,flag,comment\n")
        written = 0
        while written < target:
            block = []
            for _ in range(20000):
                rows += 1
                comment = " ".join(rng.choice(words) for _ in range(rng.randint(0, 6)))
                block.append(
                    f"{rows},{rng.choice(words)}_{rng.randint(0, 99999)},{rng.choice(cities)},"
                    f"{rng.randint(0, 10**6) / 100},2024-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}"
                    f"T{rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}:00,"
                    f"{rng.choice(('true', 'false'))},{comment}\n")
            text = "".join(block)
            f.write(text)
            written += len(text.encode("utf-8"))
    return rows


def timed(args, stdout=subprocess.DEVNULL):
    """Runs a command to completion; returns its wall-clock seconds."""
    start = time.perf_counter()
    p = subprocess.Popen(args, stdout=stdout, stderr=subprocess.PIPE)
    _, err = p.communicate()
    wall = time.perf_counter() - start
    if p.returncode != 0:
        sys.exit(f"{' '.join(map(str, args))} failed ({p.returncode}):\n{err.decode(errors='replace')}")
    return wall


def best_of(n, args, stdout=subprocess.DEVNULL):
    """Best wall and best CPU time of n runs; the CPU time is the kernel's
    account of the reaped child (user + system)."""
    walls, cpus = [], []
    for _ in range(n):
        before = os.times()
        walls.append(timed(args, stdout))
        after = os.times()
        cpus.append((after.children_user - before.children_user) +
                    (after.children_system - before.children_system))
    return min(walls), min(cpus)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size-mb", type=int, default=150, help="size of the generated CSV")
    ap.add_argument("--varn", default=None,
                    help="the varn executable (default: next to this interpreter, on PATH, "
                         "in the bench venv, or the newest build*/varn)")
    ap.add_argument("--csv", default=None, help="use this CSV instead of generating one")
    ap.add_argument("--dir", default=None, help="working directory (default: a temporary one)")
    ap.add_argument("--repeat", type=int, default=3, help="runs per step; the best counts")
    ap.add_argument("--check", action="store_true",
                    help="also check that cat gives the generated CSV back byte for byte")
    ap.add_argument("--keep", action="store_true", help="keep the working directory")
    args = ap.parse_args()

    varn = args.varn or find_varn()
    if not varn:
        sys.exit("varn not found: build it or give --varn")
    work = Path(args.dir or tempfile.mkdtemp(prefix="varn_bench_"))
    work.mkdir(parents=True, exist_ok=True)
    try:
        if args.csv:
            csv = Path(args.csv)
            rows = None
        else:
            csv = work / "bench.csv"
            t = time.perf_counter()
            rows = generate_csv(csv, args.size_mb)
            print(f"generated {csv} in {time.perf_counter() - t:.1f}s", file=sys.stderr)
        out = work / "bench.varn"
        size = csv.stat().st_size

        compress = best_of(args.repeat, [varn, "compress", "--no-progress", str(csv), str(out)])
        verify = best_of(args.repeat, [varn, "verify", "--quiet", str(out)])
        with open(os.devnull, "wb") as null:
            cat = best_of(args.repeat, [varn, "cat", str(out)], stdout=null)

        mb = size / 2**20
        print(f"varn: {varn}")
        print(f"input: {csv} ({mb:.1f} MB{'' if rows is None else f', {rows} rows'}), "
              f"output {out.stat().st_size / 2**20:.1f} MB, best of {args.repeat}")
        print(f"{'step':<18}{'wall s':>9}{'cpu s':>9}{'MB/s wall':>11}{'MB/s cpu':>10}")
        for name, (wall, cpu) in (("compress", compress), ("verify", verify), ("cat > /dev/null", cat)):
            print(f"{name:<18}{wall:>9.2f}{cpu:>9.2f}{mb / wall:>11.1f}{mb / max(cpu, 1e-9):>10.1f}")
        ok = True
        for name, (wall, cpu) in (("verify", verify), ("cat", cat)):
            rw, rc = compress[0] / wall, compress[1] / max(cpu, 1e-9)
            ok = ok and min(rw, rc) >= TARGET
            print(f"compress / {name:<7} wall {rw:4.1f}x   cpu {rc:4.1f}x   (target {TARGET:.0f}x)")

        if args.check:
            digest = hashlib.sha256()
            with subprocess.Popen([varn, "cat", str(out)], stdout=subprocess.PIPE) as p:
                for block in iter(lambda: p.stdout.read(1 << 20), b""):
                    digest.update(block)
            with open(csv, "rb") as f:
                want = hashlib.file_digest(f, "sha256") if hasattr(hashlib, "file_digest") else None
            if want is None:
                want = hashlib.sha256(csv.read_bytes())
            same = digest.hexdigest() == want.hexdigest()
            print(f"cat gives the CSV back byte for byte: {'yes' if same else 'NO'}")
            ok = ok and same
        return 0 if ok else 1
    finally:
        if not args.keep and not args.dir:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
