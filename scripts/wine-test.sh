#!/usr/bin/env bash
# Every Windows test of both cross builds (build/mingw32, build/mingw64) under
# wine in a virtual X display, in a temporary wine prefix: ctest of each build
# tree runs the plug-in's test host, the AVI files it wrote checked with
# ffprobe and ffmpeg, movrel.exe against the native build (build/asan), the
# binaries' imports and exports, and a movrel-view screenshot.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/wine-env.sh
status=0
for preset in mingw32 mingw64; do
  echo "== Windows tests, $preset"
  in_display 1500 ctest --test-dir "build/$preset" --output-on-failure --no-tests=error --timeout 300 || status=1
  # The measurements the tests print: timing, idle cost, leaks.
  grep -h '^    note: ' "build/$preset/Testing/Temporary/LastTest.log" | sed "s/^    note:/  $preset:/" || true
done
exit $status
