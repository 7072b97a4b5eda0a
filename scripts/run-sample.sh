#!/usr/bin/env bash
# Installs what is missing, builds Lentora (the program alone: no tests, no
# benchmarks) and opens the workbench on the bundled sample workspace, its
# first camera selected: one press of "Calibrate" calibrates it. Without a
# display it calibrates the sample and prints the results beside the camera
# the sample was rendered with (samples/ground_truth.json).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
build="$root/build/release"
cmake -G Ninja -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLENTORA_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target lentora
lentora="$build/cli/lentora"
workspace="$root/samples/workspace.txt"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-}" ]; then
  cd "$build/cli"
  exec ./lentora "$workspace"
fi

# No display: the same calibration the workbench's "Calibrate" runs, as text.
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
export LENTORA_OUTPUT_DIR="$scratch"  # the run's point dump goes there, not into the tree
echo "No display: calibrating the sample workspace ($workspace) headless."
echo
"$lentora" calibrate "$workspace" --camera 0
"$lentora" calibrate "$workspace" --camera 0 --json >"$scratch/result.json"
python3 - "$scratch/result.json" "$root/samples/ground_truth.json" <<'PYTHON'
import json, sys
result = json.load(open(sys.argv[1]))["cameras"][0]
truth = json.load(open(sys.argv[2]))["cameras"][0]
names = ["fx", "fy", "cx", "cy", "k1", "k2", "p1", "p2"]
found = [result["fx"], result["fy"], result["cx"], result["cy"]] + result["distortion"]
true = [truth["fx"], truth["fy"], truth["cx"], truth["cy"]] + truth["distortion"]
print()
print("Beside the camera the sample was rendered with (samples/ground_truth.json):")
print(f"{'':8}{'calibrated':>14}{'true':>14}{'difference':>14}")
for name, a, b in zip(names, found, true):
    unit = " (px)" if name in ("fx", "fy", "cx", "cy") else ""
    print(f"{name + unit:8}{a:14.4f}{b:14.4f}{a - b:14.4f}")
error = result["reprojectionError"]
print(f"RMS reprojection error {error['rms']:.4f} px, mean distance {error['meanDistance']:.4f} px, "
      f"over {len(result['usedViews'])} of {result['views']} views")
PYTHON
echo
echo "With a display, scripts/run-sample.sh opens the workbench on this workspace instead."
