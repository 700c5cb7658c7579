#!/usr/bin/env bash
# Starts the real program on a fresh virtual display again and again; each
# start must put the main window on the screen within a few seconds. A start
# that does not gets its threads' stacks printed (gdb) before it is killed.
set -u
if [ "${1:-}" = "--one" ]; then
  one=1; shift
fi
exe=${1:?usage: start_twenty.sh path/to/quillet [starts]}
starts=${2:-20}
limit_ds=${START_LIMIT_DS:-100}   # tenths of a second per start

for tool in xvfb-run xwininfo; do
  command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done

one_start() {
  # Runs on the virtual display: start, wait for the mapped window, close.
  local exe=$1 limit=$2 t0 pid
  t0=$(date +%s%N)
  "$exe" >/dev/null 2>&1 &
  pid=$!
  for ((i = 0; i < limit; i++)); do
    if xwininfo -root -tree 2>/dev/null | grep -q '"Quillet"'; then
      echo "window after $((($(date +%s%N) - t0) / 1000000)) ms"
      kill "$pid"; wait "$pid" 2>/dev/null
      return 0
    fi
    if ! kill -0 "$pid" 2>/dev/null; then
      wait "$pid"; echo "the program ended (exit $?) before showing its window"
      return 1
    fi
    sleep 0.1
  done
  echo "no window within $((limit / 10)) s"
  command -v gdb >/dev/null && gdb -p "$pid" -batch -ex "thread apply all bt" 2>/dev/null | grep -E '^(Thread|#)'
  kill -9 "$pid"
  return 1
}
if [ -n "${one:-}" ]; then
  one_start "$exe" "$limit_ds"
  exit
fi

failed=0
for ((n = 1; n <= starts; n++)); do
  out=$(xvfb-run -a -s "-screen 0 1280x800x24" "$(realpath "$0")" --one "$exe" 2>&1)
  rc=$?
  echo "start $n: $out"
  [ $rc -eq 0 ] || failed=$((failed + 1))
done
echo "$failed of $starts starts failed"
[ $failed -eq 0 ]
