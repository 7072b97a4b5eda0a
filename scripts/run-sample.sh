#!/usr/bin/env bash
# Installs what is missing, builds Lentora and opens the workbench on the
# bundled sample workspace, its first camera selected: one press of
# "Calibrate" calibrates it. Without a display it prints the workspace summary.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
LENTORA_BUILD_TYPE=Release "$root/scripts/build.sh" "$root/build/release" -DLENTORA_BUILD_BENCH=OFF
cd "$root/build/release/cli"
exec ./lentora "$root/samples/workspace.txt"
