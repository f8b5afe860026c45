#!/usr/bin/env bash
# Installs what is missing, builds Trawlbox and starts it with the sample
# configuration from etc/ (placed beside the executable when none is there).
# Run as root on a fresh machine so that missing packages can be installed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-run"

"$root/scripts/install-deps.sh" build
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTRAWLBOX_BENCH=OFF >/dev/null
cmake --build "$build" --target trawlbox -j"$(nproc)"

for file in TRAWLBOX.CFG KILLFILE.CFG ACCESS.IP TRAWLBOX.RBL; do
    [ -e "$build/$file" ] || cp "$root/etc/$file" "$build/$file"
done
# The kill file is named relative to the working directory.
cd "$build"
exec ./trawlbox
