#!/usr/bin/env bash
# One-command benchmark of compress_csv against CSV-to-Parquet converters and
# plain compressors. Sets itself up on a fresh machine: Debian packages for the
# build and the compressor peers, a venv in .venv/bench with the peers from
# bench/requirements.txt and this project built by `pip install .` (in its own
# build directory, build-bench/; the install puts the module and the `varn`
# tool, whose `verify` and `cat` the benchmark times on compress_csv's output,
# into the venv), and two small C++ helpers from bench/gen/: the data
# generator and the launcher that measures each run.
# Every argument goes to bench/bench.py (see bench/README.md or --help); with
# --read first, the others go to bench/bench_read.py, the read benchmark.
#
# Environment: VARN_BENCH_PYTHON picks the interpreter for the venv (default:
# the newest CPython on the machine); VARN_BENCH_NO_INSTALL=1 keeps the module
# and `varn` already installed in the venv (e.g. to re-measure one build).
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"
BENCH="$ROOT/bench"
VENV="$ROOT/.venv/bench"
BUILD="$ROOT/build-bench"

ensure_system_packages g++ zlib1g-dev libzstd-dev libbz2-dev liblzma-dev libssl-dev gzip
command -v cmake >/dev/null 2>&1 || ensure_system_packages cmake
# zstd is an optional peer: the benchmark notes its absence and goes on.
command -v zstd >/dev/null 2>&1 || ensure_system_packages zstd || log "zstd not installable; it will be skipped"
for arg in "$@"; do
    if [ "$arg" = "--profile" ] && ! command -v perf >/dev/null 2>&1; then
        ensure_system_packages linux-perf || log "linux-perf not installable; --profile falls back to callgrind"
        command -v valgrind >/dev/null 2>&1 || ensure_system_packages valgrind || true
    fi
done

PY="${VARN_BENCH_PYTHON:-$(find_newest_python)}"
if [ ! -x "$VENV/bin/python" ]; then
    log "creating $VENV from $PY"
    "$PY" -m venv "$VENV"
    "$VENV/bin/python" -m pip install -q --upgrade pip
fi
# Peers: installed again only when the requirements file changes.
stamp="$VENV/.bench-requirements"
if ! cmp -s "$BENCH/requirements.txt" "$stamp"; then
    log "installing the benchmark's peers into $VENV"
    "$VENV/bin/python" -m pip install -q -r "$BENCH/requirements.txt"
    cp "$BENCH/requirements.txt" "$stamp"
fi
if [ "${VARN_BENCH_NO_INSTALL:-0}" != 1 ]; then
    log "building and installing varn_fileformat and varn into $VENV"
    # Two compile jobs at most: the machine is shared.
    CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}" \
    "$VENV/bin/python" -m pip install -q --force-reinstall --no-deps "$ROOT" \
        --config-settings=build-dir="$BUILD/{wheel_tag}" \
        --config-settings=cmake.define.VARN_BUILD_CLI=ON
fi

# The C++ helpers: the data generator and the measuring launcher, rebuilt
# when their source is newer than the binary.
mkdir -p "$BUILD/gen"
for tool in csvgen runner; do
    if [ ! -x "$BUILD/gen/$tool" ] || [ "$BENCH/gen/$tool.cpp" -nt "$BUILD/gen/$tool" ]; then
        log "building bench/gen/$tool.cpp"
        g++ -std=c++20 -O2 -o "$BUILD/gen/$tool.tmp" "$BENCH/gen/$tool.cpp"
        mv "$BUILD/gen/$tool.tmp" "$BUILD/gen/$tool"
    fi
done

# --read: the read benchmark (bench/bench_read.py) with the other arguments.
if [ "${1:-}" = "--read" ]; then
    shift
    exec "$VENV/bin/python" "$BENCH/bench_read.py" --generator "$BUILD/gen/csvgen" "$@"
fi
exec "$VENV/bin/python" "$BENCH/bench.py" --generator "$BUILD/gen/csvgen" --runner "$BUILD/gen/runner" "$@"
