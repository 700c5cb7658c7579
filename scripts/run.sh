#!/usr/bin/env bash
# Starts Quillet, or says clearly why it cannot.
set -u
exe=${1:?usage: run.sh path/to/quillet}
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ "${QT_QPA_PLATFORM:-}" != "offscreen" ]; then
  echo "Quillet is a desktop program and needs a display, but none is set (DISPLAY is empty)." >&2
  echo "Run it from a desktop session, or on a virtual display:" >&2
  echo "    xvfb-run -s \"-screen 0 1280x800x24\" make run" >&2
  exit 1
fi
exec "$exe"
