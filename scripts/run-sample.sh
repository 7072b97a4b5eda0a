#!/usr/bin/env bash
# Installs what is missing, builds Lentora (the program alone: no tests, no
# benchmarks) and opens the workbench on the bundled sample workspace, its
# first camera selected: one press of "Calibrate" calibrates it. Without a
# display it prints the workspace summary.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
build="$root/build/release"
cmake -G Ninja -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLENTORA_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target lentora
cd "$build/cli"
exec ./lentora "$root/samples/workspace.txt"
