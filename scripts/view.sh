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
export MOVREL_WINEPREFIX=${MOVREL_WINEPREFIX:-$PWD/build/wineprefix} MOVREL_DISPLAY=current
. scripts/wine-env.sh
in_display 330 wine build/mingw64/movrel-view.exe "$@"
