#!/usr/bin/env bash
# Shows a file through the plug-in with the 64-bit movrel-view under wine, on
# the current X display or, when there is none, in a virtual one (Xvfb; then
# pass --screenshot, or the window stays open until the time-out). Arguments
# go to movrel-view, for example:
#   scripts/view.sh samples/sample.flc
#   scripts/view.sh --screenshot build/screenshot.bmp --after 1000 samples/sample.flc
# The wine prefix lives in build/wineprefix (or $MOVREL_WINEPREFIX).
set -euo pipefail
cd "$(dirname "$0")/.."
export WINEPREFIX=${MOVREL_WINEPREFIX:-$PWD/build/wineprefix} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "(first run: preparing the wine prefix $WINEPREFIX)"
  mkdir -p "$WINEPREFIX"
  timeout 180 wineboot -i >/dev/null 2>&1 || true
  timeout 60 wineserver -w || true
fi
# wine's helper processes would otherwise keep running (and keep a pipe on
# our output open) for a while after the viewer ends.
run='timeout 300 wine build/mingw64/movrel-view.exe "$@"; status=$?; wineserver -k 2>/dev/null; exit $status'
if [ -n "${DISPLAY:-}" ]; then
  sh -c "$run" movrel-view "$@"
else
  timeout 330 xvfb-run -a -s "-screen 0 1024x768x24" sh -c "$run" movrel-view "$@"
fi
