#!/usr/bin/env bash
# The AVI stream of the Windows builds (32- and 64-bit) under wine, through
# Video for Windows: export with the "Video Compression" dialog answered,
# export cancelled in that dialog, the size limit and the read mode, and the
# exported file checked with ffprobe and ffmpeg.
set -euo pipefail
cd "$(dirname "$0")/.."
export WINEPREFIX=${WINEPREFIX:-$(mktemp -d /tmp/movrel-wine.XXXXXX)} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k >/dev/null 2>&1 || true; case "$WINEPREFIX" in /tmp/movrel-wine.*) rm -rf "$WINEPREFIX";; esac' EXIT
timeout 120 wineboot -i >/dev/null 2>&1 || true
# Without a window manager every closing window would otherwise wait about 2 s.
timeout 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true
timeout 60 wineserver -w || true
timeout 400 xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
  wineserver -p
  python3 tests/avi_win32/avi_vfw_check.py --movrel build/asan/movrel --sample samples/sample.flc \
    build/mingw32/tests/avi_win32/avi_vfw_test.exe build/mingw64/tests/avi_win32/avi_vfw_test.exe
  r=$?
  wineserver -k
  exit $r'
