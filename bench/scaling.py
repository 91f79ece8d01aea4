#!/usr/bin/env python3
"""Thread scaling of the conversion: `varn compress --threads N` on CSV files,
N = 1 and every other count given, runs alternating between the counts, the
median wall and CPU seconds of each (and the best wall time: on a shared
machine the best run is the least disturbed), and a check that every count writes the
same bytes (creation time aside). With --perf, a CPU profile of the one-thread
run splits its time into the reading stage (the calling thread: reading,
UTF-8 check, splitting into cells) and the column stage (the workers:
analysis, LZ, entropy coders, checksums), and models the speedup on more
cores: the reader is one thread, the column stage spreads over the workers,
and all the work shares the cores, so N cores take max(R, (R + W) / N) of
the one-thread time R + W.

  bench/scaling.py --varn build/dev/varn [--threads 1,2] [--repeat 3] [--perf] [--infer] FILE.csv...

Prints a Markdown report on standard output.
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

READER = re.compile(r"append_row|find_commas|memchr|utf8_scan|LineReader|blank_line|trim_space|"
                    r"TextBatch::grow|compress_csv|new_segment|typed_rows|parse_field|"
                    r"_copy_to_iter|filemap_read|ksys_read")
WORKER = re.compile(r"lz_encode|analyze_text_column|analyze_column|huffman|byte_histogram|range_|"
                    r"Bloom|crc32|compress_with_scratch|ChunkPipeline|prefix_key|encode_|"
                    r"write_bytes|append_record|copy_folio_from_iter|aes|AES|EVP")


def run(cmd):
    """Wall and CPU seconds of one child process."""
    t0 = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, ru = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - t0
    if status != 0:
        sys.exit(f"failed: {' '.join(cmd)}")
    return wall, ru.ru_utime + ru.ru_stime


# compress_csv's dialect unless --infer is given.
DIALECT = ["--plain"]


def content(path):
    with open(path, "rb") as f:
        data = f.read()
    return data[:24] + data[32:]


def stages(varn, csv, out):
    """(reader %, column stage %, other %) of a one-thread run, from perf samples."""
    with tempfile.NamedTemporaryFile(suffix=".data") as data:
        subprocess.run(["perf", "record", "-q", "-e", "cpu-clock", "-o", data.name, varn, "compress",
                        *DIALECT, "--no-progress", "--threads", "1", csv, out],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        rep = subprocess.run(["perf", "report", "-i", data.name, "--stdio", "--sort", "symbol"],
                             capture_output=True, text=True, check=True).stdout
    r = w = o = 0.0
    for line in rep.splitlines():
        m = re.match(r"\s*([\d.]+)%\s+\[.\]\s+(.*)", line)
        if not m:
            continue
        p, sym = float(m.group(1)), m.group(2)
        if READER.search(sym):
            r += p
        elif WORKER.search(sym):
            w += p
        else:
            o += p
    return r, w, o


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--varn", required=True)
    ap.add_argument("--threads", default="1,2")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--perf", action="store_true")
    ap.add_argument("--infer", action="store_true",
                    help="varn compress in its default dialect (RFC 4180, inferred types) "
                         "instead of compress_csv's (--plain)")
    ap.add_argument("files", nargs="+")
    args = ap.parse_args()
    if args.infer:
        DIALECT.clear()
    counts = [int(t) for t in args.threads.split(",")]
    if counts[0] != 1:
        counts.insert(0, 1)
    out_dir = tempfile.mkdtemp(prefix="varn_scaling_")
    print("| file | MB | threads | wall s | best wall s | CPU s | MB/s | speedup vs 1 thread "
          "| best-run speedup | same bytes |")
    print("|---|--:|--:|--:|--:|--:|--:|--:|--:|---|")
    profiles = []
    for csv in args.files:
        mb = os.path.getsize(csv) / 1e6
        name = os.path.basename(csv)
        walls = {t: [] for t in counts}
        cpus = {t: [] for t in counts}
        outs = {t: os.path.join(out_dir, f"t{t}.varn") for t in counts}
        for _ in range(args.repeat):
            for t in counts:
                wall, cpu = run([args.varn, "compress", *DIALECT, "--no-progress", "--threads", str(t), csv,
                                 outs[t]])
                walls[t].append(wall)
                cpus[t].append(cpu)
        one = content(outs[1])
        base, best_base = statistics.median(walls[1]), min(walls[1])
        for t in counts:
            wall, cpu, best = statistics.median(walls[t]), statistics.median(cpus[t]), min(walls[t])
            same = "yes" if content(outs[t]) == one else "NO"
            print(f"| {name} | {mb:.0f} | {t} | {wall:.2f} | {best:.2f} | {cpu:.2f} | {mb / wall:.1f} | "
                  f"{base / wall:.2f} | {best_base / best:.2f} | {same} |")
        if args.perf:
            profiles.append((name, statistics.median(cpus[1])) + stages(args.varn, csv, outs[1]))
        for p in outs.values():
            os.remove(p)
    os.rmdir(out_dir)
    if profiles:
        print()
        print("Model from the one-thread profile: R = reading stage, W = column stage, the rest "
              "(kernel, memcpy, page faults) split between them in proportion. The reader is one thread and all the work "
              "shares the cores, so N cores take max(R, (R + W) / N): a speedup of min(N, (R + W) / R), "
              "and reading becomes the limit from N = (R + W) / R cores on.")
        print()
        print("| file | CPU s (1 thread) | reading % | columns % | other % | 2 cores | 8 cores | 32 cores "
              "| reader-bound from |")
        print("|---|--:|--:|--:|--:|--:|--:|--:|--:|")
        for name, cpu, r, w, o in profiles:
            total = r + w
            rr = r / total
            sp = {n: 1 / max(rr, 1 / n) for n in (2, 8, 32)}
            print(f"| {name} | {cpu:.2f} | {r:.1f} | {w:.1f} | {o:.1f} | {sp[2]:.2f} | {sp[8]:.2f} | "
                  f"{sp[32]:.2f} | {1 / rr:.1f} cores |")


if __name__ == "__main__":
    main()
