#!/usr/bin/env bash
# The Windows plug-in's measurements, for both cross builds (build/mingw32,
# build/mingw64) under wine in a virtual display: plugin_host's bench group,
# which is not in the test list since a busy machine stretches what it
# times. Memory and the jump to the end of a long file, four long files at
# once, the longest the lister waits for an answer while the viewer opens,
# plays, jumps and exports, ListLoad of a long file, and hostile files.
# Each measurement is printed, and a goal missed fails the run.
#
# usage: tests/bench/wine_bench.sh [GoogleTest filter, default bench.*]
#        (PRESETS=mingw64 for one build; the wine prefix as in scripts/wine-env.sh)
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/wine-env.sh
filter=${1:-bench.*}
status=0
for preset in ${PRESETS:-mingw32 mingw64}; do
  dir=build/$preset/tests/win32
  plugin=$(ls build/$preset/Movrel.wlx*)
  /usr/bin/python3 tests/bench/hostile_files.py "$dir/hostile-files" >/dev/null
  hostile="Z:$(pwd)/$dir/hostile-files"
  echo "== $preset"
  MOVREL_HOSTILE_DIR=${hostile//\//\\} in_display 3600 wine "$dir/plugin_host.exe" "$plugin" samples/sample.flc \
    --gtest_filter="$filter" >"$dir/bench.log" 2>&1 || status=1
  grep -E '^    note: |Failure|Which is|FAILED|^\[  PASSED' "$dir/bench.log" | sed 's/^    note: /  /' || true
done
exit $status
