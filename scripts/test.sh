#!/usr/bin/env bash
# Builds Quellmark and runs every test: once in a normal build with warnings
# as errors, once more under AddressSanitizer + UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

# Runs CTest in a build folder; when a test fails, the output ends with the
# name and first failed assertion of each failed test, and the script stops.
run_tests() {
    local dir=$1 status=0
    shift
    ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$jobs" "$@" || status=$?
    if [ "$status" -ne 0 ]; then
        bash scripts/failed-tests.sh "$dir" || true
        echo "FAILED: tests in $dir (ctest exit $status)"
        exit "$status"
    fi
}

if [ -x scripts/setup-node.sh ]; then bash scripts/setup-node.sh build/node || true; fi

# The source follows .clang-format.
bash scripts/check-format.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELLMARK_WERROR=ON
cmake --build build -j "$jobs"
run_tests build

if [ "${QUELLMARK_SKIP_SANITIZERS:-0}" != "1" ]; then
    cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUELLMARK_SANITIZE=ON
    cmake --build build-asan -j "$jobs"
    # intercept_tls_get_addr=0: LeakSanitizer's record of dynamic TLS blocks
    # goes wrong for the libraries the ODBC driver manager loads once
    # libsystemd's TLS is in the process ("Tracer caught signal 11" at exit);
    # leaks are still checked, dynamic TLS is no longer a root.
    export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:intercept_tls_get_addr=0"
    export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    # The package is built and tried from the first round's build only.
    run_tests build-asan -E "^smoke_package$"
fi
