#!/usr/bin/env bash
# Installs what is missing, builds Trawlbox and runs every test: the whole
# suite in a normal build and again under AddressSanitizer and
# UndefinedBehaviorSanitizer, the concurrency tests under ThreadSanitizer,
# the fuzz targets for a bounded time, and the format check.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

"$root/scripts/install-deps.sh" test

run_suite() {  # build-dir build-type [ctest args...]
    local dir="$root/$1" type=$2
    shift 2
    echo "== $type build =="
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE="$type" >/dev/null
    cmake --build "$dir" -j"$jobs"
    (cd "$dir" && ctest --output-on-failure -j"$jobs" "$@")
}

run_suite build-test RelWithDebInfo
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_suite build-asan Asan
TSAN_OPTIONS=halt_on_error=1 run_suite build-tsan Tsan -L concurrency

if [ -x "$root/scripts/run-fuzzers.sh" ]; then
    echo "== fuzz targets =="
    "$root/scripts/run-fuzzers.sh"
fi

echo "== format =="
cd "$root"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
echo "all test stages passed"
