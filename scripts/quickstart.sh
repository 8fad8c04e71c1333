#!/usr/bin/env bash
# Sets up what is missing, builds, runs movrel on the bundled sample, and
# shows the sample through the Windows plug-in with movrel-view under wine,
# leaving a screenshot of the playing animation in build/screenshot.bmp.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native -j"$(nproc)" --target movrel >/dev/null
echo "== movrel info samples/sample.flc"
build/native/movrel info samples/sample.flc
echo "== movrel framemd5 samples/sample.flc"
build/native/movrel framemd5 samples/sample.flc
echo "== the plug-in (build/mingw64/Movrel.wlx64) in movrel-view, under wine"
cmake --preset mingw64 >/dev/null
cmake --build --preset mingw64 -j"$(nproc)" --target movrel_plugin movrel-view >/dev/null
rm -f build/screenshot.bmp
scripts/view.sh --screenshot build/screenshot.bmp --after 1000 samples/sample.flc
/usr/bin/python3 tests/win32/screenshot_check.py --screenshot build/screenshot.bmp \
  --movrel build/native/movrel --sample samples/sample.flc
