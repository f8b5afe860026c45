#!/usr/bin/env bash
# Builds the Debian package of Trawlbox into build-package/: a Release build
# without tests or benchmarks, installed below /usr by CPack's DEB generator.
# Prints the package's path. Install it with
#   apt-get install ./build-package/trawlbox_<version>_<arch>.deb
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-package"

"$root/scripts/install-deps.sh" build
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
      -DTRAWLBOX_TESTS=OFF -DTRAWLBOX_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
rm -f "$build"/trawlbox_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/trawlbox_*.deb
