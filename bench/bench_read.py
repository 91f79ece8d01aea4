"""Reading back into Arrow: varn.read_arrow of a whole VARN file and of one
column, against pyarrow reading the same CSV (all cores) and the Parquet
file (zstd) pyarrow writes from it, all measured in this one process and
run, on the benchmark's generated data sets.

    python bench/bench_read.py [--sizes 100M] [--datasets trips,weblog,wide,text]
                               [--repeat 3] [--generator PATH]

Needs pyarrow and the varn package in the running interpreter (the bench
venv has both: .venv/bench/bin/python). The CSV files are the cached ones of
bench/run.sh in bench/data/ (generated with bench/gen/csvgen when missing;
--generator gives the binary, else it is compiled into build-bench/gen/).
The VARN file is what compress_csv writes (every column text), the Parquet
file what pyarrow writes from the CSV with its inferred types.

Each measurement is the median of --repeat runs, wall seconds, with the
inputs in the page cache. Printed ratios:
  csv/varn      pyarrow.csv.read_csv (all cores) over varn.read_arrow, all columns
                (target: above 1)
  all/one       varn.read_arrow of all columns over one column (target: 5 or more)
  parquet/varn  pyarrow.parquet.read_table over varn.read_arrow, all columns and one
"""

import argparse
import os
import statistics
import subprocess
import sys
import time
import types

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
sys.path.insert(0, BENCH)

import bench as harness  # noqa: E402  (the cached data sets and their generator)


def timed(fn, repeat):
    times = []
    result = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
        del result
    return statistics.median(times)


def ensure_generator(path):
    if path:
        return path
    out = os.path.join(ROOT, "build-bench", "gen", "csvgen")
    src = os.path.join(BENCH, "gen", "csvgen.cpp")
    if not os.path.exists(out) or os.path.getmtime(src) > os.path.getmtime(out):
        os.makedirs(os.path.dirname(out), exist_ok=True)
        subprocess.run(["g++", "-std=c++20", "-O2", "-o", out, src], check=True)
    return out


def main(argv):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--sizes", default="100M")
    p.add_argument("--datasets", default=",".join(harness.DATASETS))
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--seed", type=int, default=42)
    p.add_argument("--generator", default=None)
    p.add_argument("--data-dir", default=os.path.join(BENCH, "data"))
    args = p.parse_args(argv)

    import pyarrow as pa
    import pyarrow.csv as pcsv
    import pyarrow.parquet as pq

    import varn
    import varn_fileformat

    gen_args = types.SimpleNamespace(data_dir=args.data_dir, seed=args.seed,
                                     generator=ensure_generator(args.generator))
    out_dir = os.path.join(args.data_dir, "read")
    os.makedirs(out_dir, exist_ok=True)
    print(f"pyarrow {pa.__version__}, {pa.cpu_count()} cores for pyarrow, median of {args.repeat}, "
          f"wall seconds")
    header = (f"{'file':<14}{'csv MB':>8}{'csv all':>9}{'pq all':>8}{'pq one':>8}{'varn all':>9}"
              f"{'varn one':>9}{'csv/varn':>9}{'all/one':>8}{'pq/varn':>8}{'pq1/varn1':>10}")
    rows = []
    for size in map(harness.parse_size, args.sizes.split(",")):
        for dataset in args.datasets.split(","):
            csv, meta = harness.ensure_csv(gen_args, dataset, size)
            base = os.path.join(out_dir, os.path.basename(csv)[:-4])
            vpath, ppath = base + ".varn", base + ".parquet"
            if not os.path.exists(vpath) or os.path.getmtime(vpath) < os.path.getmtime(csv):
                varn_fileformat.compress_csv(csv, vpath)
            if not os.path.exists(ppath) or os.path.getmtime(ppath) < os.path.getmtime(csv):
                pq.write_table(pcsv.read_csv(csv), ppath, compression="zstd")
            for path in (csv, vpath, ppath):
                harness.warm(path)
            col = varn.open(vpath).columns[0]
            r = {
                "file": f"{dataset}-{harness.size_label(size)}",
                "mb": meta["bytes"] / 1e6,
                "csv": timed(lambda: pcsv.read_csv(csv), args.repeat),
                "pq": timed(lambda: pq.read_table(ppath), args.repeat),
                "pq1": timed(lambda: pq.read_table(ppath, columns=[col]), args.repeat),
                "varn": timed(lambda: varn.read_arrow(vpath), args.repeat),
                "varn1": timed(lambda: varn.read_arrow(vpath, columns=[col]), args.repeat),
            }
            rows.append(r)
            if len(rows) == 1:
                print(header)
            print(f"{r['file']:<14}{r['mb']:>8.0f}{r['csv']:>9.3f}{r['pq']:>8.3f}{r['pq1']:>8.3f}"
                  f"{r['varn']:>9.3f}{r['varn1']:>9.3f}{r['csv'] / r['varn']:>9.2f}"
                  f"{r['varn'] / r['varn1']:>8.1f}{r['pq'] / r['varn']:>8.2f}{r['pq1'] / r['varn1']:>10.2f}",
                  flush=True)
    ok_csv = all(r["csv"] > r["varn"] for r in rows)
    ok_one = all(r["varn"] >= 5 * r["varn1"] for r in rows)
    print(f"targets: all columns faster than pyarrow's CSV reader: {'met' if ok_csv else 'NOT met'}; "
          f"one column at least 5x faster than all: {'met' if ok_one else 'NOT met'}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
