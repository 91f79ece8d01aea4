#!/usr/bin/env bash
# Builds the fuzz targets (libFuzzer with AddressSanitizer and UndefinedBehavior-
# Sanitizer), replays every committed input of fuzz/corpus/<target>/, then
# fuzzes each target for a while on a working copy of its corpus. Exits
# non-zero when any replayed input or any fuzzing run fails; a reproducer of a
# known fault (fuzz/corpus/<target>/crash-*) fails the replay until the fault
# is fixed, and is left out of fuzzing so that the search goes on past it.
# Needs cmake, clang++ with libFuzzer (libclang-rt-dev), zlib, libzstd, libbz2, liblzma and libcrypto.
#
#   fuzz/run.sh [seconds-per-target]   default 60; 0 builds and replays only
#   fuzz/run.sh --seeds                rebuilds the seed files of fuzz/corpus/ (make_seeds.cpp)
#
# Environment: FUZZ_TARGETS (space-separated subset of the targets),
# FUZZ_BUILD_DIR (default build/fuzz), CXX (default clang++), FUZZ_JOBS
# (parallel compiles, default 2), FUZZ_ARGS (extra libFuzzer flags).
#
# The targets are the project's CMake build with -DVARN_BUILD_FUZZ=ON, so only
# changed sources recompile. Working corpora grow in fuzz/corpus-work/<target>/
# and failing inputs land in fuzz/corpus-artifacts/<target>/ (both
# git-ignored); logs go to <build dir>/logs/.
set -u -o pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${FUZZ_BUILD_DIR:-$root/build/fuzz}
all_targets="block_decode block_round_trip file_reader csv_round_trip"
targets=${FUZZ_TARGETS:-$all_targets}
jobs=${FUZZ_JOBS:-2}
# Small inputs keep every execution fast; the targets expand where they need size.
max_len=4096

make_seeds=0
seconds=60
case "${1:-}" in
    --seeds) make_seeds=1 ;;
    "") ;;
    *[!0-9]*) echo "usage: $0 [seconds-per-target] | --seeds" >&2; exit 2 ;;
    *) seconds=$1 ;;
esac

mkdir -p "$build/logs" || exit 1

# ---- build -----------------------------------------------------------------
# -O1 with assertions on: fast enough to fuzz, and every internal check holds.
# The core's warnings under clang are shown but do not stop the run (the
# harnesses themselves are built with -Werror).
generator=()
if [ ! -f "$build/CMakeCache.txt" ] && command -v ninja >/dev/null 2>&1; then
    generator=(-G Ninja)
fi
CXX=${CXX:-clang++} cmake -S "$root" -B "$build" "${generator[@]}" -DVARN_BUILD_FUZZ=ON \
    -DVARN_BUILD_CLI=OFF -DVARN_WERROR=OFF -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
    > "$build/logs/configure.log" 2>&1 || { cat "$build/logs/configure.log" >&2; echo "configure failed" >&2; exit 1; }

if [ "$make_seeds" = 1 ]; then
    cmake --build "$build" -j "$jobs" --target fuzz_make_seeds || exit 1
    exec "$build/fuzz/make_seeds" "$here/corpus"
fi

build_targets=()
for t in $targets; do build_targets+=("fuzz_$t"); done
cmake --build "$build" -j "$jobs" --target "${build_targets[@]}" || { echo "build failed" >&2; exit 1; }
bin="$build/fuzz"

status=0
summary=""

# The targets that go through files work in a directory of this run, in
# memory when /dev/shm is there; removed at the end with whatever crashed
# processes left in it.
shm=/dev/shm
[ -w "$shm" ] || shm=${TMPDIR:-/tmp}
scratch=$(mktemp -d "$shm/varn-fuzz-run.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT
export VARN_FUZZ_SCRATCH="$scratch"

# ---- replay ----------------------------------------------------------------
# Every committed input, the known-crash reproducers (crash-*) included: a
# reproducer keeps failing here until its bug is fixed.
for t in $targets; do
    dir="$here/corpus/$t"
    files=()
    for f in "$dir"/*; do [ -f "$f" ] && files+=("$f"); done
    log="$build/logs/$t.replay.log"
    if [ ${#files[@]} -eq 0 ]; then
        echo "replay $t: no corpus in $dir"
        continue
    fi
    failed=()
    rm -f "$log.each"
    # One process for the lot; on a failure, find every failing file one by one.
    if "$bin/$t" -runs=1 -rss_limit_mb=2048 -timeout=20 "${files[@]}" > "$log" 2>&1; then
        echo "replay $t: ${#files[@]} inputs, all passed"
    else
        for f in "${files[@]}"; do
            "$bin/$t" -runs=1 -rss_limit_mb=2048 -timeout=20 "$f" >> "$log.each" 2>&1 || failed+=("${f#"$root"/}")
        done
        echo "replay $t: ${#files[@]} inputs, ${#failed[@]} FAILED (log: $log, $log.each):"
        printf '    %s\n' "${failed[@]}"
        status=1
    fi
done

# ---- fuzz ------------------------------------------------------------------
if [ "$seconds" -gt 0 ]; then
    for t in $targets; do
        work="$here/corpus-work/$t"
        artifacts="$here/corpus-artifacts/$t"
        mkdir -p "$work" "$artifacts" || exit 1
        # The working corpus starts as a copy of the seeds; known-crash
        # reproducers stay out so that fuzzing gets past them.
        for f in "$here/corpus/$t"/*; do
            [ -f "$f" ] || continue
            case "$(basename "$f")" in crash-*) continue ;; esac
            cp -n "$f" "$work/" 2>/dev/null
        done
        log="$build/logs/$t.fuzz.log"
        : > "$log"
        echo "fuzz $t: ${seconds}s (log: $log)"
        # A failure ends a libFuzzer run; the target is started again for the
        # time left, so that one known fault does not stop the search for
        # others. Every failing input is kept in $artifacts/.
        deadline=$((SECONDS + seconds))
        started=$SECONDS
        failures=0
        execs=0
        rss=0
        while left=$((deadline - SECONDS)); [ $left -gt 0 ]; do
            run_log="$build/logs/$t.fuzz.run.log"
            # shellcheck disable=SC2086
            "$bin/$t" -max_total_time=$left -max_len=$max_len -timeout=20 -rss_limit_mb=2048 \
                -print_final_stats=1 -artifact_prefix="$artifacts/" ${FUZZ_ARGS:-} "$work" > "$run_log" 2>&1
            rc=$?
            cat "$run_log" >> "$log"
            n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run_log")
            execs=$((execs + ${n:-0}))
            r=$(sed -n 's/^stat::peak_rss_mb: *//p' "$run_log")
            [ "${r:-0}" -gt "$rss" ] && rss=$r
            [ $rc -eq 0 ] && break
            failures=$((failures + 1))
            status=1
            echo "fuzz $t: failure $failures (exit $rc):" >&2
            grep -m1 -E 'ERROR|check failed' "$run_log" >&2
            grep -E '^    #[0-9]+ .* in varn::' "$run_log" | head -3 | sed 's/ (\/[^)]*)//; s/^ */      /' | cut -c1-200 >&2
            grep -m1 'Test unit written to' "$run_log" | sed 's/.*Test unit written to /      input: /' >&2
            # A fault hit at start-up (an input of the working corpus) would
            # only repeat itself.
            [ $failures -ge 20 ] && break
        done
        elapsed=$((SECONDS - started))
        rate=$((execs / (elapsed > 0 ? elapsed : 1)))
        last=$(grep -E '^#[0-9]+' "$log" | tail -1)
        cov=$(echo "$last" | sed -n 's/.*cov: \([0-9]*\).*/\1/p')
        ft=$(echo "$last" | sed -n 's/.*ft: \([0-9]*\).*/\1/p')
        corp=$(echo "$last" | sed -n 's/.*corp: \([0-9]*\/[0-9a-zA-Z]*\).*/\1/p')
        line=$(printf '%-17s execs %-10s exec/s %-6s cov %-6s ft %-7s corpus %-12s rss %sMB' \
            "$t" "$execs" "$rate" "${cov:-?}" "${ft:-?}" "${corp:-?}" "$rss")
        [ $failures -gt 0 ] && line="$line  FAILED $failures time(s), inputs in ${artifacts#"$root"/}/"
        summary="$summary$line"$'\n'
    done
    echo
    echo "$summary"
fi
exit $status
