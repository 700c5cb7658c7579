#!/usr/bin/env bash
# Runs every libFuzzer target in a folder, sharing a total time budget equally
# among them, and prints each target's coverage (libFuzzer's "cov:" figure,
# the instrumented edges it reached).
#   fuzz.sh BIN_DIR [TOTAL_SECONDS]   (default: $FUZZ_TOTAL_SECONDS or 120)
set -euo pipefail
dir=${1:?usage: fuzz.sh BIN_DIR [TOTAL_SECONDS]}
total=${2:-${FUZZ_TOTAL_SECONDS:-120}}
shopt -s nullglob
targets=("$dir"/fuzz_*)
if [ ${#targets[@]} -eq 0 ]; then
  echo "no fuzz targets in $dir" >&2
  exit 1
fi
seconds=$(( total / ${#targets[@]} ))
[ "$seconds" -ge 1 ] || seconds=1
seeds_root="$(cd "$(dirname "$0")/.." && pwd)/fuzz/corpus"
summary=()
for t in "${targets[@]}"; do
  name=$(basename "$t")
  corpus=$(mktemp -d)
  log=$(mktemp)
  # Start from the hand-made seeds of this target, if it has any.
  if [ -d "$seeds_root/$name" ]; then
    cp "$seeds_root/$name"/* "$corpus"/
  fi
  echo "== fuzzing $name for ${seconds}s (${total}s over ${#targets[@]} targets)"
  set +e
  # A crashing input is kept beside the targets as <target>-crash-<hash>.
  "$t" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$dir/$name-" "$corpus" >"$log" 2>&1
  rc=$?
  set -e
  if [ "$rc" -ne 0 ]; then
    tail -n 60 "$log"
  else
    grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)' "$log" || true
  fi
  cov=$(grep -oE '(DONE|INITED|pulse|NEW|REDUCE).*cov: [0-9]+' "$log" | tail -n 1 | grep -oE '[0-9]+$' || true)
  summary+=("$name: cov ${cov:-?} edges")
  rm -rf "$corpus" "$log"
  if [ "$rc" -ne 0 ]; then
    echo "fuzz target $name failed (exit $rc)" >&2
    exit "$rc"
  fi
done
echo "== coverage"
printf '  %s\n' "${summary[@]}"
