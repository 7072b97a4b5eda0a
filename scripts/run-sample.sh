#!/usr/bin/env bash
# Installs what is missing, builds Lentora and runs it on the bundled sample workspace.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
LENTORA_BUILD_TYPE=Release "$root/scripts/build.sh" "$root/build/release" -DLENTORA_BUILD_BENCH=OFF
exec "$root/build/release/cli/lentora" info "$root/samples/workspace.txt" "$@"
