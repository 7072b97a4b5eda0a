#!/usr/bin/env bash
# Regenerates samples/, the bundled sample workspace: ten 640x480 views of a
# 9x6 chequerboard (30 mm squares) through a camera with mild distortion,
# grid points with 0.1 px of noise, and its ground truth (ground_truth.json).
# Uses the lentora executable named by LENTORA, else that of a build tree
# (build/release, then build).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
lentora="${LENTORA:-}"
if [ -z "$lentora" ]; then
  for candidate in "$root/build/release/cli/lentora" "$root/build/cli/lentora"; do
    if [ -x "$candidate" ]; then lentora="$candidate"; break; fi
  done
fi
if [ -z "$lentora" ] || [ ! -x "$lentora" ]; then
  echo "make_sample.sh: no lentora executable; build first or set LENTORA" >&2
  exit 1
fi
out="$root/samples"
rm -rf "$out"
mkdir -p "$out"
"$lentora" synth "$out/workspace.txt" --views 10 --size 640x480 --grid 9x6 --square 30 \
  --camera 800,800,319.5,239.5,-0.12,0.04,0.0005,-0.0003 --noise 0.1 --seed 1 --blur 0.6 --image-noise 2
du -sh "$out"
