#!/usr/bin/env bash
# Runs every test: the C++ core tests (plain, under ASan+UBSan, and the
# threaded monitor tests under TSan), then the Python tests against the
# installed module on CPython 3.8 and on the newest CPython on the machine.
source "$(dirname "$0")/lib.sh"
cd "$ROOT"
JOBS="${JOBS:-2}"

ensure_system_packages g++ make zlib1g-dev libzstd-dev libbz2-dev liblzma-dev libssl-dev libgtest-dev
command -v cmake >/dev/null 2>&1 || ensure_system_packages cmake

cmake_build() {  # dir, extra cmake args...
    local dir="$1"
    shift
    cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARN_BUILD_TESTS=ON \
        -DVARN_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j "$JOBS" --target varn_tests
}

log "C++ core tests"
cmake_build build/cpp
(cd build/cpp && ctest --output-on-failure -j "$JOBS")

# Warnings are errors in the plain build above; gcc's sanitizer builds raise
# false positives (-Wstringop-overflow, -Wmaybe-uninitialized), so not there.
log "C++ core tests under ASan and UBSan"
cmake_build build/cpp-asan -DVARN_SANITIZE=ON -DVARN_BUILD_CLI=OFF -DVARN_WERROR=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 build/cpp-asan/varn_tests --gtest_brief=1

log "threaded monitor tests under TSan"
cmake_build build/cpp-tsan -DVARN_TSAN=ON -DVARN_BUILD_CLI=OFF -DVARN_WERROR=OFF
TSAN_OPTIONS=halt_on_error=1 build/cpp-tsan/varn_tests --gtest_filter='*Thread*' --gtest_brief=1

PY38="$(find_python 3.8)"
PYNEW="$(find_newest_python)"
[ -n "$PY38" ] || { echo "CPython 3.8 not found" >&2; exit 1; }
for py in "$PY38" "$PYNEW"; do
    ver="$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
    venv="$ROOT/.venv/py$ver"
    # The newest interpreter also gets Dask, for the tests of varn.dask.
    extras="[test]"
    [ "$py" != "$PYNEW" ] || extras="[test,dask]"
    venv_with_project "$venv" "$py" "$extras" --config-settings=cmake.define.VARN_WERROR=ON
    log "Python tests on CPython $ver"
    (cd "$ROOT/tests/python" && "$venv/bin/python" -m pytest -q -p no:cacheprovider .)
done
log "Python tests against a module built with ASan and UBSan (CPython $ver)"
venv_with_project "$ROOT/.venv/asan" "$PYNEW" "[test]" --config-settings=cmake.define.VARN_SANITIZE=ON \
    --config-settings=build-dir=build/asan-{wheel_tag}
(cd "$ROOT/tests/python" &&
    LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 VARN_SANITIZED=1 \
    "$ROOT/.venv/asan/bin/python" -m pytest -q -p no:cacheprovider .)
log "a short fuzz run: every committed input replayed, then ${FUZZ_SECONDS:-60} s per target"
ensure_system_packages clang libclang-rt-14-dev
command -v ninja >/dev/null 2>&1 || ensure_system_packages ninja-build
bash "$ROOT/fuzz/run.sh" "${FUZZ_SECONDS:-60}"
log "all tests passed"
