#!/usr/bin/env bash
# Installs what is missing, builds Trawlbox and runs every test: the whole
# suite in a normal build and again under AddressSanitizer and
# UndefinedBehaviorSanitizer, the concurrency tests under ThreadSanitizer,
# the fuzz targets for a bounded time, and the format check.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

"$root/scripts/install-deps.sh" test

configure() {  # build-dir build-type [cmake args...]
    local dir="$root/$1" type=$2
    shift 2
    echo "== $type build =="
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE="$type" "$@" >/dev/null
}

# The whole suite, benchmarks built too so that they keep compiling.
configure build-test RelWithDebInfo
cmake --build "$root/build-test" -j"$jobs"
(cd "$root/build-test" && ctest --output-on-failure -j"$jobs")

# The whole suite again under the address and undefined-behaviour sanitizers.
configure build-asan Asan -DTRAWLBOX_BENCH=OFF
cmake --build "$root/build-asan" -j"$jobs"
(cd "$root/build-asan" && ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j"$jobs")

# The programs whose tests start threads, under the thread sanitizer.
configure build-tsan Tsan -DTRAWLBOX_BENCH=OFF
cmake --build "$root/build-tsan" -j"$jobs" \
    --target test_core test_filter test_net test_app test_pop3 test_nntp
(cd "$root/build-tsan" && TSAN_OPTIONS=halt_on_error=1 \
    ctest --output-on-failure -j"$jobs" -L concurrency)

if [ -x "$root/scripts/run-fuzzers.sh" ]; then
    echo "== fuzz targets =="
    "$root/scripts/run-fuzzers.sh"
fi

echo "== format =="
cd "$root"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
echo "all test stages passed"
