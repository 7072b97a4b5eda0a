#!/usr/bin/env bash
# Configures and builds one build folder: scripts/build.sh BUILD_DIR [extra cmake options...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$1"
shift
cmake -G Ninja -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="${LENTORA_BUILD_TYPE:-RelWithDebInfo}" "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"
