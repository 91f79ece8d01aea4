"""One benchmark job in its own process: `python jobs.py JOB CSV OUT RESULT_JSON`.

bench.py starts this script once per measurement so that every job pays its
own imports, has its own peak RSS and cannot warm up the next one. The job
times only the conversion itself (wall and CPU of this process, all threads),
not the interpreter start or the imports, and writes those two figures to
RESULT_JSON; bench.py adds the whole process's peak RSS from wait4.

Thread settings have to be made before the peer is imported or started, so
the single-thread variants set them first thing.
"""

import json
import os
import resource
import sys
import time


def _cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def job_compress_csv(csv, out, single):
    import varn_fileformat as vf

    def run():
        vf.compress_csv(csv, out)

    return run, {"module": getattr(vf, "__file__", "?")}


def job_pyarrow(csv, out, single):
    import pyarrow as pa
    import pyarrow.csv as pacsv
    import pyarrow.parquet as pq

    if single:
        pa.set_cpu_count(1)
        pa.set_io_thread_count(1)

    def run():
        # 16 MiB blocks: each becomes one row group of roughly VARN's batch size
        # (the 1 MiB default gives row groups of a few thousand rows).
        ro = pacsv.ReadOptions(use_threads=not single, block_size=16 << 20)
        reader = pacsv.open_csv(csv, read_options=ro)
        with pq.ParquetWriter(out, reader.schema, compression="zstd") as writer:
            for batch in reader:
                writer.write_batch(batch)

    return run, {}


def job_duckdb(csv, out, single):
    import duckdb

    con = duckdb.connect()
    if single:
        con.execute("SET threads = 1")
    threads = con.execute("SELECT current_setting('threads')").fetchone()[0]

    def quoted(path):
        return "'" + path.replace("'", "''") + "'"

    def run():
        con.execute(
            f"COPY (SELECT * FROM read_csv({quoted(csv)}, header = true)) "
            f"TO {quoted(out)} (FORMAT parquet, COMPRESSION zstd)"
        )

    return run, {"threads": threads}


def job_polars(csv, out, single):
    if single:
        os.environ["POLARS_MAX_THREADS"] = "1"
    import polars as pl

    def run():
        pl.scan_csv(csv).sink_parquet(out)  # zstd is polars' default

    return run, {"threads": pl.thread_pool_size()}


JOBS = {
    "compress_csv": (job_compress_csv, False),
    "pyarrow-1t": (job_pyarrow, True),
    "pyarrow": (job_pyarrow, False),
    "duckdb-1t": (job_duckdb, True),
    "duckdb": (job_duckdb, False),
    "polars-1t": (job_polars, True),
    "polars": (job_polars, False),
}


def main():
    name, csv, out, result_path = sys.argv[1:5]
    make, single = JOBS[name]
    run, info = make(csv, out, single)
    c0, t0 = _cpu(), time.perf_counter()
    run()
    t1, c1 = time.perf_counter(), _cpu()
    info.update({"wall": t1 - t0, "cpu": c1 - c0})
    with open(result_path, "w") as f:
        json.dump(info, f)


if __name__ == "__main__":
    main()
