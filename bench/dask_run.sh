#!/usr/bin/env bash
# varn.dask on a local cluster against one process (bench/dask_bench.py):
# sets up a venv in .venv/bench-dask with this project and its dask extra
# (`pip install .[dask]`, with the `varn` tool), builds the data generator
# bench/gen/csvgen.cpp, and passes every argument on (--shards, --size,
# --dataset, --workers; see --help). Default: 8 shards of 100 MB.
#
# Environment: VARN_BENCH_PYTHON picks the interpreter (default: the newest
# CPython on the machine); VARN_BENCH_NO_INSTALL=1 keeps the build already in
# the venv.
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"
BENCH="$ROOT/bench"
VENV="$ROOT/.venv/bench-dask"
BUILD="$ROOT/build-bench"

ensure_system_packages g++ zlib1g-dev libssl-dev
command -v cmake >/dev/null 2>&1 || ensure_system_packages cmake

PY="${VARN_BENCH_PYTHON:-$(find_newest_python)}"
if [ ! -x "$VENV/bin/python" ] || [ "${VARN_BENCH_NO_INSTALL:-0}" != 1 ]; then
    # Two compile jobs at most: the machine is shared.
    CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" \
    venv_with_project "$VENV" "$PY" "[dask]" \
        --config-settings=build-dir="$BUILD/{wheel_tag}" \
        --config-settings=cmake.define.VARN_BUILD_CLI=ON
fi

mkdir -p "$BUILD/gen"
if [ ! -x "$BUILD/gen/csvgen" ] || [ "$BENCH/gen/csvgen.cpp" -nt "$BUILD/gen/csvgen" ]; then
    log "building bench/gen/csvgen.cpp"
    g++ -std=c++20 -O2 -o "$BUILD/gen/csvgen.tmp" "$BENCH/gen/csvgen.cpp"
    mv "$BUILD/gen/csvgen.tmp" "$BUILD/gen/csvgen"
fi

exec "$VENV/bin/python" "$BENCH/dask_bench.py" --generator "$BUILD/gen/csvgen" --varn "$VENV/bin/varn" "$@"
