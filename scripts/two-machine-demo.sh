#!/usr/bin/env bash
# The two-machine chain on one machine: the virtual rig's left camera records as
# the server and its right camera as the client, in step over UDP on loopback
# ports; frames matched from the two frame logs become a stereo workspace whose
# grids are detected and whose rig is calibrated and printed beside the truth.
#
#   scripts/two-machine-demo.sh [OUT_DIR]
#
# LENTORA (the executable, default build/dev/cli/lentora), RECORD_SECONDS (10),
# PAIRS (80 wanted), SERVER_PORT / CLIENT_PORT (47311 / 47312) and
# LENTORA_VIRTUAL_RIG (the rig's description) may be set.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
lentora=${LENTORA:-$root/build/dev/cli/lentora}
seconds=${RECORD_SECONDS:-10}
pairs=${PAIRS:-80}
server_port=${SERVER_PORT:-47311}
client_port=${CLIENT_PORT:-47312}
out=${1:-$(mktemp -d /tmp/lentora-two-machines.XXXXXX)}
mkdir -p "$out"
[ -x "$lentora" ] || { echo "no lentora at $lentora (build first, or set LENTORA)" >&2; exit 1; }
SECONDS=0

echo "== recording ${seconds} s: server = virtual-left :$server_port, client = virtual-right :$client_port"
"$lentora" capture --device virtual-right --seconds "$seconds" --out "$out/client.avi" \
  --sync client --local-port "$client_port" --peer-port "$server_port" --timeout $((seconds + 60)) &
client=$!
sleep 1  # the client listens before the server starts it
"$lentora" capture --device virtual-left --seconds "$seconds" --out "$out/server.avi" \
  --sync server --local-port "$server_port" --peer-port "$client_port"
wait "$client"

# Server frames spread over the middle of the recording, a few more than wanted:
# pairs whose frames lie more than 16 ms apart (half a frame period at 30 frames/s,
# about what the heartbeats leave of the clocks' offset) are left out.
lines=$(wc -l < "$out/serverSync.txt")
frames=$(awk -v n="$lines" -v k=$((pairs + 5)) 'BEGIN { for (i = 0; i < k; i++) printf "%s%d", (i ? "," : ""), int(n * (0.08 + 0.84 * i / (k - 1))) }')
echo "== matching server frames $frames"
"$lentora" sync-grab "$out/server.avi" "$out/serverSync.txt" "$out/client.avi" "$out/clientSync.txt" \
  --frames "$frames" --tolerance 16 --skip-unmatched --json --out "$out/rig/pairs.txt" > "$out/sync-grab.json"
"$lentora" detect "$out/rig/pairs.txt" --save "$out/rig/rig.txt" > "$out/detect.txt"
"$lentora" stereo "$out/rig/rig.txt" --json > "$out/stereo.json"

status=0
python3 - "$out" <<'PY' || status=$?
import json, math, sys
out = sys.argv[1]
grab = json.load(open(f"{out}/sync-grab.json"))
rig = json.load(open(f"{out}/stereo.json"))
truth = [json.load(open(f"{out}/{side}.avi.truth.json")) for side in ("server", "client")]
diffs = [round(p["tickDifference"], 1) for p in grab["pairs"]]
print(f"pairs: {len(grab['pairs'])} (skipped {len(grab['skipped'])}), frame period {grab['framePeriod']:.1f} ms, "
      f"clock offset {grab['clockOffset']:.1f} +- {grab['offsetUncertainty']:.1f} ms")
print("tick differences (ms):", diffs)
R, T = rig["R"], rig["T"]
Rt, Tt = truth[0]["rig"]["R"], truth[0]["rig"]["T"]
# Angle of R_truth^T R.
trace = sum(Rt[3 * k + i] * R[3 * k + i] for i in range(3) for k in range(3))
angle = math.degrees(math.acos(max(-1.0, min(1.0, (trace - 1) / 2))))
baseline, baseline_true = math.sqrt(sum(t * t for t in T)), math.sqrt(sum(t * t for t in Tt))
print(f"baseline {baseline:.3f} (truth {baseline_true:.3f}): {100 * (baseline / baseline_true - 1):+.3f} %")
print(f"rotation off the truth by {angle:.4f} deg")
print("T", [round(t, 3) for t in T], "truth", [round(t, 3) for t in Tt])
worst = 0.0
for name, cam, true in (("first", rig["intrinsics"]["first"], truth[0]), ("second", rig["intrinsics"]["second"], truth[1])):
    fx, fy = cam["K"][0], cam["K"][4]
    c = true["camera"]
    ex, ey = 100 * (fx / c["fx"] - 1), 100 * (fy / c["fy"] - 1)
    worst = max(worst, abs(ex), abs(ey))
    print(f"{name} camera: fx {fx:.2f} fy {fy:.2f} (truth {c['fx']:.2f} {c['fy']:.2f}): {ex:+.3f} % {ey:+.3f} %")
ok = abs(baseline / baseline_true - 1) < 0.0005 and angle < 0.05 and worst < 0.5 and \
     all(abs(d) <= grab["framePeriod"] for d in diffs)
print("within the limits (baseline 0.05 %, rotation 0.05 deg, focal lengths 0.5 %, pairs one frame period):",
      "yes" if ok else "NO")
sys.exit(0 if ok else 1)
PY
echo "== files in $out; ${SECONDS} s"
exit $status
