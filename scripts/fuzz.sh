#!/usr/bin/env bash
# Runs every libFuzzer target in a folder for a bounded time each.
set -euo pipefail
dir=${1:?usage: fuzz.sh BIN_DIR SECONDS}
seconds=${2:-60}
shopt -s nullglob
targets=("$dir"/fuzz_*)
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz targets in $dir" >&2
  exit 1
fi
seeds_root="$(cd "$(dirname "$0")/.." && pwd)/fuzz/corpus"
for t in "${targets[@]}"; do
  corpus=$(mktemp -d)
  # Start from the hand-made seeds of this target, if it has any.
  if [ -d "$seeds_root/$(basename "$t")" ]; then
    cp "$seeds_root/$(basename "$t")"/* "$corpus"/
  fi
  echo "== fuzzing $(basename "$t") for ${seconds}s"
  set +e +o pipefail
  "$t" -max_total_time="$seconds" -print_final_stats=1 "$corpus" 2>&1 | tail -n 12
  rc=${PIPESTATUS[0]}
  set -e -o pipefail
  rm -rf "$corpus"
  if [ "$rc" -ne 0 ]; then
    echo "fuzz target $(basename "$t") failed (exit $rc)" >&2
    exit "$rc"
  fi
done
