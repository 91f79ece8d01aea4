"""varn.dask on a local cluster against one process, in the same run.

Generates SHARDS CSV files of SIZE bytes each with bench/gen/csvgen (seed,
seed+1, ...; cached in bench/data/dask/), then times on the same files:

  convert   `varn compress` of every shard, one after the other, in one process
            each (the single-process peer), against varn.dask.convert of all
            shards on a distributed.LocalCluster (one task per shard)
  read      varn.read_pandas of every file in one process, against
            varn.dask.read_varn(...) with every partition read on the workers
  read-1col the same with one column

The cluster is started before the clock runs. Reads count the rows on the
workers (map_partitions(len)), so no table travels to the client. Prints MB/s
of CSV input and the ratio cluster / one process; writes
bench/results/dask.{json,md}. Run it through bench/dask_run.sh.
"""

import argparse
import hashlib
import json
import os
import platform
import subprocess
import sys
import time

BENCH = os.path.dirname(os.path.abspath(__file__))


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def parse_size(text):
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    t = text.strip().upper()
    if t and t[-1] in units:
        return int(float(t[:-1]) * units[t[-1]])
    return int(t)


def ensure_shards(args):
    d = os.path.join(args.data_dir, f"{args.dataset}-{args.size}")
    os.makedirs(d, exist_ok=True)
    # Shards of an older generator are made again.
    with open(os.path.join(BENCH, "gen", "csvgen.cpp"), "rb") as f:
        gid = hashlib.sha256(f.read()).hexdigest()[:16]
    stamp = os.path.join(d, "generator")
    if not os.path.exists(stamp) or open(stamp).read() != gid:
        for name in os.listdir(d):
            if name.endswith(".csv"):
                os.unlink(os.path.join(d, name))
        with open(stamp, "w") as f:
            f.write(gid)
    paths = []
    for i in range(args.shards):
        path = os.path.join(d, f"shard{i:02d}-s{args.seed + i}.csv")
        if not os.path.exists(path) or os.path.getsize(path) < args.size_bytes:
            log(f"  generating {path} ...")
            tmp = path + ".tmp"
            subprocess.run([args.generator, args.dataset, str(args.size_bytes), str(args.seed + i), tmp],
                           check=True, stderr=subprocess.DEVNULL)
            os.replace(tmp, path)
        paths.append(path)
    return paths


def timed(fn):
    t0 = time.perf_counter()
    out = fn()
    return time.perf_counter() - t0, out


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--generator", required=True, help="the csvgen binary (dask_run.sh passes it)")
    p.add_argument("--varn", default="varn", help="the varn command (default: on PATH)")
    p.add_argument("--shards", type=int, default=8)
    p.add_argument("--size", default="100M", help="bytes per shard (K, M, G suffixes; default 100M)")
    p.add_argument("--dataset", default="trips", choices=["trips", "weblog", "wide", "text"])
    p.add_argument("--seed", type=int, default=42)
    p.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                   help="worker processes of the local cluster (one thread each; default: every core)")
    p.add_argument("--data-dir", default=os.path.join(BENCH, "data", "dask"))
    p.add_argument("--out-dir", default=None, help="where the VARN files go (default: DATA_DIR/out)")
    p.add_argument("--results", default=os.path.join(BENCH, "results"))
    args = p.parse_args(argv)
    args.size_bytes = parse_size(args.size)

    import distributed
    import varn
    import varn.dask as vd

    shards = ensure_shards(args)
    csv_bytes = sum(os.path.getsize(s) for s in shards)
    out_single = os.path.join(args.out_dir or os.path.join(args.data_dir, "out"), "single")
    out_cluster = os.path.join(args.out_dir or os.path.join(args.data_dir, "out"), "cluster")
    for d in (out_single, out_cluster):
        os.makedirs(d, exist_ok=True)
        for name in os.listdir(d):
            os.unlink(os.path.join(d, name))
    for s in shards:  # page cache warm for both sides
        with open(s, "rb", buffering=0) as f:
            while f.read(16 << 20):
                pass
    log(f"{args.shards} shards of {args.dataset}, {csv_bytes / 1e6:.0f} MB of CSV; "
        f"cluster: {args.workers} worker processes x 1 thread; {os.cpu_count()} cores")

    def single_convert():
        for s in shards:
            out = os.path.join(out_single, os.path.basename(s)[:-4] + ".varn")
            subprocess.run([args.varn, "compress", "--no-progress", s, out], check=True,
                           stderr=subprocess.DEVNULL)

    rows = {}
    results = {}
    with distributed.LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        t_single, _ = timed(single_convert)
        t_cluster, conv = timed(lambda: vd.convert(shards, out_cluster, client=client))
        results["convert"] = (t_single, t_cluster)
        single_files = sorted(os.path.join(out_single, n) for n in os.listdir(out_single))
        for a, b in zip(single_files, sorted(r[1] for r in conv)):
            if os.path.getsize(a) != os.path.getsize(b):
                raise SystemExit(f"{a} and {b} differ in size: the two conversions disagree")

        first = varn.open(single_files[0])
        one_col = first.columns[0]
        for name, cols in (("read", None), ("read-1col", [one_col])):
            t1, n1 = timed(lambda: sum(len(varn.read_pandas(f, columns=cols)) for f in single_files))
            ddf = vd.read_varn(out_cluster, columns=cols)
            t2, n2 = timed(lambda: int(ddf.map_partitions(len).compute().sum()))
            if n1 != n2:
                raise SystemExit(f"{name}: {n1} rows in one process, {n2} on the cluster")
            rows[name] = n1
            results[name] = (t1, t2)

    lines = [
        f"# varn.dask: {args.shards} shards x {args.size} ({args.dataset}), "
        f"{args.workers} workers, {os.cpu_count()} cores",
        "",
        "| step | one process s | MB/s | cluster s | MB/s | cluster / one process |",
        "|---|---|---|---|---|---|",
    ]
    for name, (t1, t2) in results.items():
        lines.append(f"| {name} | {t1:.2f} | {csv_bytes / 1e6 / t1:.0f} | {t2:.2f} | "
                     f"{csv_bytes / 1e6 / t2:.0f} | {t1 / t2:.2f}x |")
    lines += ["", "MB/s counts the CSV input bytes. One process: `varn compress` per shard in turn; "
              "`varn.read_pandas` per file in turn. Cluster: `varn.dask.convert`, "
              "`varn.dask.read_varn(...).map_partitions(len)`."]
    text = "\n".join(lines)
    print(text)
    os.makedirs(args.results, exist_ok=True)
    with open(os.path.join(args.results, "dask.md"), "w") as f:
        f.write(text + "\n")
    with open(os.path.join(args.results, "dask.json"), "w") as f:
        json.dump({"shards": args.shards, "size": args.size_bytes, "dataset": args.dataset,
                   "workers": args.workers, "cores": os.cpu_count(), "csv_bytes": csv_bytes,
                   "machine": platform.platform(), "rows": rows,
                   "seconds": {k: {"one_process": a, "cluster": b} for k, (a, b) in results.items()}},
                  f, indent=1)


if __name__ == "__main__":
    main()
