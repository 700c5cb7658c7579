#!/usr/bin/env bash
# Starts the real program on virtual displays of its own:
#  - twenty times (or as asked) on a fresh display each, while another client
#    comes and goes (each time the last client leaves, an X server resets and
#    refuses connections for a moment); each start must put the main window up
#    within a few seconds, else its threads' stacks are printed (gdb) before it
#    is killed;
#  - on a display that starts a second after the program: it must wait for it;
#  - on a display nobody serves: it must end with a message, not abort.
set -u
exe=$(realpath "${1:?usage: start_twenty.sh path/to/quillet [starts]}")
starts=${2:-20}
limit_ds=${START_LIMIT_DS:-100}   # tenths of a second per start

for tool in Xvfb xwininfo; do
  command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done

xvfb_pid=
display=
# Starts a display of our own; sets display to its number once it accepts
# clients (empty when it did not start).
# Xvfb picks a free number itself (-displayfd), so parallel runs cannot clash.
start_display() {
  local fifo; fifo=$(mktemp -u); mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  xvfb_pid=$!
  display=
  read -r -t 10 display <"$fifo"; rm -f "$fifo"
}
stop_display() { [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null; xvfb_pid=; }
trap stop_display EXIT

# Waits for the window of the program running as $1 on DISPLAY; 0 when it is up.
wait_window() {
  local pid=$1 log=$2 t0=$3
  for ((i = 0; i < limit_ds; i++)); do
    if xwininfo -root -tree 2>/dev/null | grep -q '"Quillet"'; then
      echo "window after $((($(date +%s%N) - t0) / 1000000)) ms"
      return 0
    fi
    if ! kill -0 "$pid" 2>/dev/null; then
      wait "$pid"; echo "the program ended (exit $?) before showing its window:"; tail -n 20 "$log"
      return 1
    fi
    sleep 0.1
  done
  echo "no window within $((limit_ds / 10)) s"
  command -v gdb >/dev/null && gdb -p "$pid" -batch -ex "thread apply all bt" 2>/dev/null | grep -E '^(Thread|#)'
  tail -n 20 "$log"
  return 1
}

failed=0
log=$(mktemp)
for ((n = 1; n <= starts; n++)); do
  start_display
  if [ -z "$display" ]; then echo "start $n: Xvfb did not start"; failed=$((failed + 1)); stop_display; continue; fi
  export DISPLAY=:$display
  (for ((i = 0; i < 100; i++)); do xwininfo -root >/dev/null 2>&1; done) &
  other=$!
  sleep "0.0$((RANDOM % 10))"
  t0=$(date +%s%N)
  "$exe" >"$log" 2>&1 &
  pid=$!
  out=$(wait_window "$pid" "$log" "$t0") || failed=$((failed + 1))
  echo "start $n: $out"
  kill -9 "$pid" "$other" 2>/dev/null; wait "$pid" "$other" 2>/dev/null
  stop_display
done

# A display that comes up after the program started.
start_display; stop_display   # a number that was free a moment ago
export DISPLAY=:$display
t0=$(date +%s%N)
"$exe" >"$log" 2>&1 &
pid=$!
sleep 1
Xvfb ":$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
out=$(wait_window "$pid" "$log" "$t0") || failed=$((failed + 1))
echo "display started late: $out"
[ "$(pgrep -c -f "Xvfb :$display ")" = 1 ] || echo "(the late display was not ours)"
kill -9 "$pid" 2>/dev/null; wait "$pid" 2>/dev/null
stop_display

# No display at all behind the name: a message and exit 1 within a few seconds.
t0=$(date +%s%N)
timeout 20 "$exe" >"$log" 2>&1
rc=$?
if [ $rc -eq 1 ] && grep -q "cannot open the display" "$log"; then
  echo "no display: ends with a message after $((($(date +%s%N) - t0) / 1000000)) ms"
else
  echo "no display: exit $rc, expected 1 with a message:"; cat "$log"
  failed=$((failed + 1))
fi
rm -f "$log"

echo "$failed failed"
[ $failed -eq 0 ]
