#!/usr/bin/env bash
# Builds the Debian package: scripts/package.sh [BUILD_DIR]
# Installs what is missing, makes a Release build of the program (no tests, no
# benchmarks) and runs CPack; prints the package's path. Install it with
#   sudo apt-get install ./lentora_<version>_amd64.deb
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/package}"
"$root/scripts/install-deps.sh"
cmake -G Ninja -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLENTORA_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target lentora_installables
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/lentora_*_*.deb
