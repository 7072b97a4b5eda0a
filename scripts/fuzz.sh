#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (AddressSanitizer +
# UndefinedBehaviorSanitizer) in their own build folder and runs each one from
# its seed corpus for a bounded time. Any finding (crash, sanitizer report,
# leak, timeout, broken invariant) fails the script; the input that caused it
# is left in the build folder as <target>-crash-* (or leak-, timeout-, oom-).
#   LENTORA_FUZZ_SECONDS  time per file-reader target (default 20; the datagram
#                         target, whose input is 12 bytes, gets at most 5)
#   LENTORA_FUZZ_BUILD    build folder (default build/fuzz)
# With the defaults the six targets run for about 2 minutes in all.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${LENTORA_FUZZ_BUILD:-$root/build/fuzz}"
seconds="${LENTORA_FUZZ_SECONDS:-20}"
targets=(fuzz_workspace fuzz_intrinsic fuzz_extrinsic fuzz_points fuzz_frame_log fuzz_datagram)

if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang++ is missing; scripts/install-deps.sh installs it" >&2
  exit 1
fi
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true
fi
cmake -G Ninja -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DLENTORA_FUZZ=ON -DLENTORA_BUILD_GUI=OFF -DLENTORA_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null
cmake --build "$build" --target "${targets[@]}"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export LSAN_OPTIONS="suppressions=$root/.ci/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# New inputs go to a scratch folder; the seeds in the tree stay as they are.
found="$(mktemp -d)"
trap 'rm -rf "$found"' EXIT
for target in "${targets[@]}"; do
  limit="$seconds"
  dict=(-dict="$root/fuzz/text_readers.dict")
  if [ "$target" = fuzz_datagram ]; then
    dict=()
    if [ "$limit" -gt 5 ]; then limit=5; fi
  fi
  echo "== $target (${limit} s) =="
  mkdir -p "$found/$target"
  status=0
  "$build/fuzz/$target" -max_total_time="$limit" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
    -print_final_stats=1 "${dict[@]}" -artifact_prefix="$build/$target-" "$found/$target" "$root/fuzz/$target/corpus" \
    >"$build/$target.log" 2>&1 || status=$?
  grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$build/$target.log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$build/$target.log" >&2
    echo "$target found a fault (exit $status); see $build/$target.log" >&2
    exit 1
  fi
done
echo "fuzzing: no findings"
