#!/usr/bin/env bash
# Every include between the source folders points down the layers:
#   shell -> views, session, filters, ports, inspect, splitter -> ui -> decode, capture -> core, programs
# Folders of one layer may use each other, except decode and capture, which
# meet only in core, and core and programs, which do not meet. Prints each include that points the wrong way.
set -u
src="${1:-$(dirname "$0")/../src}"
rank() {
  case "$1" in
    core|programs) echo 0 ;;
    decode|capture) echo 1 ;;
    ui) echo 2 ;;
    views|session|filters|ports|inspect|splitter) echo 3 ;;
    shell) echo 4 ;;
    *) echo -1 ;;
  esac
}
bad=0
while IFS=: read -r file _ line; do
  from=${file#"$src"/}; from=${from%%/*}
  to=$(sed -n 's/^#include "\([a-z]*\)\/.*/\1/p' <<<"$line")
  [ -z "$to" ] || [ "$to" = "$from" ] && continue
  rf=$(rank "$from"); rt=$(rank "$to")
  if [ "$rf" -lt 0 ] || [ "$rt" -lt 0 ]; then
    echo "unknown folder: $file: $line"; bad=1; continue
  fi
  if [ "$rt" -gt "$rf" ] || { [ "$rt" -eq "$rf" ] && [ "$rf" -le 1 ]; }; then
    echo "points up or across: $file: $line"; bad=1
  fi
done < <(grep -rn --include='*.h' --include='*.cpp' '^#include "' "$src")
exit $bad
