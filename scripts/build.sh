#!/usr/bin/env bash
# Configures and builds one build folder: scripts/build.sh BUILD_DIR [extra cmake options...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$1"
shift
# A compiler cache makes the second build of a tree (another clone, another
# run of the test command) take minutes instead of a quarter of an hour.
# Paths are hashed relative to the clone, so every clone shares the cache.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true
fi
cmake -G Ninja -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="${LENTORA_BUILD_TYPE:-RelWithDebInfo}" "${launcher[@]}" "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"
