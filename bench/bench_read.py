"""Reading back into Arrow: varn.read_arrow of whole VARN files written at
each compression level (and of one column of the default one), against
pyarrow reading the same CSV (all cores) and the Parquet files (zstd and
snappy) pyarrow writes from it, all measured in this one process and run,
on the benchmark's generated data sets.

    python bench/bench_read.py [--sizes 100M] [--datasets trips,weblog,wide,text]
                               [--levels fast,default,small] [--repeat 3] [--generator PATH]
    ./bench/run.sh --read [the same options]      # in the bench venv, after installing this build

Needs pyarrow and the varn package in the running interpreter (the bench
venv has both: .venv/bench/bin/python). The CSV files are the cached ones of
bench/run.sh in bench/data/ (generated with bench/gen/csvgen when missing;
--generator gives the binary, else it is compiled into build-bench/gen/).
The default VARN file is what compress_csv writes (every column text), the
others what varn.convert writes in the same dialect at the fast and small
levels; the Parquet files are what pyarrow writes from the CSV with its
inferred types.

Each measurement is the median of --repeat runs, wall seconds and CPU
seconds of this process (all threads), with the inputs in the page cache.
Printed ratios:
  csv/varn      pyarrow.csv.read_csv (all cores) over varn.read_arrow, all columns
                (target: above 1)
  all/one       varn.read_arrow of all columns over one column (target: 5 or more)
  zstd/L        pyarrow.parquet.read_table of the zstd file over varn.read_arrow
                of the level-L file, all columns (above 1: varn is faster), by
                wall time and [by CPU time]
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
    """Median wall seconds and median CPU seconds of `repeat` calls."""
    walls, cpus = [], []
    result = None
    for _ in range(repeat):
        c0, t0 = time.process_time(), time.perf_counter()
        result = fn()
        walls.append(time.perf_counter() - t0)
        cpus.append(time.process_time() - c0)
        del result
    return statistics.median(walls), statistics.median(cpus)


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
    p.add_argument("--levels", default="fast,default,small")
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--seed", type=int, default=42)
    p.add_argument("--generator", default=None)
    p.add_argument("--data-dir", default=os.path.join(BENCH, "data"))
    args = p.parse_args(argv)
    levels = args.levels.split(",")
    if "default" not in levels or not set(levels) <= {"fast", "default", "small"}:
        p.error("--levels takes fast, default and small (default among them)")

    import pyarrow as pa
    import pyarrow.csv as pcsv
    import pyarrow.parquet as pq

    import varn
    import varn_fileformat

    gen_args = types.SimpleNamespace(data_dir=args.data_dir, seed=args.seed,
                                     generator=ensure_generator(args.generator))
    out_dir = os.path.join(args.data_dir, "read")
    os.makedirs(out_dir, exist_ok=True)
    try:
        load = os.getloadavg()[0]
    except OSError:
        load = float("nan")
    print(f"pyarrow {pa.__version__}, {pa.cpu_count()} cores for pyarrow, median of {args.repeat}, "
          f"wall seconds [CPU seconds]; load average {load:.2f}")
    rows = []
    for size in map(harness.parse_size, args.sizes.split(",")):
        for dataset in args.datasets.split(","):
            csv, meta = harness.ensure_csv(gen_args, dataset, size)
            base = os.path.join(out_dir, os.path.basename(csv)[:-4])

            def stale(path):
                return not os.path.exists(path) or os.path.getmtime(path) < os.path.getmtime(csv)

            vpaths = {level: f"{base}.{level}.varn" for level in levels}
            for level, path in vpaths.items():
                if stale(path):
                    if level == "default":
                        varn_fileformat.compress_csv(csv, path)
                    else:
                        varn.convert(csv, path, dialect="plain", level=level, report=False)
            ppaths = {codec: f"{base}.{codec}.parquet" for codec in ("zstd", "snappy")}
            if any(stale(p) for p in ppaths.values()):
                table = pcsv.read_csv(csv)
                for codec, path in ppaths.items():
                    pq.write_table(table, path, compression=codec)
                del table
            for path in (csv, *vpaths.values(), *ppaths.values()):
                harness.warm(path)
            col = varn.open(vpaths["default"]).columns[0]
            r = {"file": f"{dataset}-{harness.size_label(size)}", "mb": meta["bytes"] / 1e6,
                 "csv": timed(lambda: pcsv.read_csv(csv), args.repeat)}
            for codec, path in ppaths.items():
                r[codec] = timed(lambda: pq.read_table(path), args.repeat)
                r[codec + "_mb"] = os.path.getsize(path) / 1e6
            r["zstd1"] = timed(lambda: pq.read_table(ppaths["zstd"], columns=[col]), args.repeat)
            for level, path in vpaths.items():
                r[level] = timed(lambda: varn.read_arrow(path), args.repeat)
                r[level + "_mb"] = os.path.getsize(path) / 1e6
            r["one"] = timed(lambda: varn.read_arrow(vpaths["default"], columns=[col]), args.repeat)
            rows.append(r)
            print(f"\n{r['file']} ({r['mb']:.0f} MB of CSV)", flush=True)
            for name, key in [("pyarrow.csv.read_csv", "csv"), ("parquet zstd", "zstd"),
                              ("parquet snappy", "snappy"), ("parquet zstd, one column", "zstd1"),
                              *[(f"varn {level}", level) for level in levels],
                              ("varn default, one column", "one")]:
                wall, cpu = r[key]
                size_mb = r.get(key + "_mb")
                print(f"  {name:<26}{wall:8.3f} s [{cpu:7.3f}]" +
                      (f"  {size_mb:8.1f} MB" if size_mb else ""), flush=True)
            print(f"  csv/varn {r['csv'][0] / r['default'][0]:.2f}  all/one {r['default'][0] / r['one'][0]:.1f}  " +
                  "  ".join(f"zstd/{level} {r['zstd'][0] / r[level][0]:.2f} [{r['zstd'][1] / r[level][1]:.2f}]"
                            for level in levels), flush=True)
    ok_csv = all(r["csv"][0] > r["default"][0] for r in rows)
    ok_one = all(r["default"][0] >= 5 * r["one"][0] for r in rows)
    print(f"\ntargets: all columns faster than pyarrow's CSV reader: {'met' if ok_csv else 'NOT met'}; "
          f"one column at least 5x faster than all: {'met' if ok_one else 'NOT met'}")
    for level in levels:
        faster = [r["file"] for r in rows if r[level][0] < r["zstd"][0]]
        print(f"varn {level} read faster than zstd Parquet (wall): {len(faster)} of {len(rows)} "
              f"({', '.join(faster) or 'none'})")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
