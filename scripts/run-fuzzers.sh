#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each for a
# bounded time, starting from the seed corpus under fuzz/corpus/<target>/.
# New inputs go to build-fuzz/corpus/<target>/, crash inputs to
# build-fuzz/crashes/. Exits non-zero when a target crashed or failed.
# Usage: scripts/run-fuzzers.sh [seconds per target]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"
seconds=${1:-20}
targets=(fuzz_kill_file fuzz_decode_header fuzz_base64 fuzz_match_pattern)
# Whole POP3 and NNTP sessions, fed as the client and as the server.
targets+=(fuzz_pop3_client fuzz_pop3_server fuzz_nntp_client fuzz_nntp_server)

mkdir -p "$build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
      -DTRAWLBOX_FUZZ=ON -DTRAWLBOX_BENCH=OFF > "$build/configure.log" 2>&1 || {
    cat "$build/configure.log" >&2
    exit 1
}
cmake --build "$build" --target "${targets[@]}" -j2

failed=()
for target in "${targets[@]}"; do
    mkdir -p "$build/corpus/$target" "$build/crashes"
    echo "== $target for ${seconds}s"
    if ! "$build/fuzz/$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=5 \
            -print_final_stats=1 -artifact_prefix="$build/crashes/$target-" \
            "$build/corpus/$target" "$root/fuzz/corpus/$target" 2> "$build/$target.log"; then
        tail -n 40 "$build/$target.log" >&2
        failed+=("$target")
    else
        grep -E '^(stat::number_of_executed_units|Done)' "$build/$target.log" || true
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz targets failed: ${failed[*]} (inputs in $build/crashes/)" >&2
    exit 1
fi
echo "all fuzz targets ran clean"
