#!/usr/bin/env bash
# Every test: unit and peer tests under AddressSanitizer and UBSan, the
# viewer's workers across threads (the frame feed, an export cancelled from
# another thread) under ThreadSanitizer, the load time of every corpus file
# and fuzz seed in a release build, a short fuzzing run of every target, and
# the Windows cross builds (the tool, the plug-in and movrel-view, 32-bit and
# 64-bit, the AVI stream through Video for Windows) tested under wine in a
# virtual X display. Each stage says how many tests it ran, and a stage that
# finds none fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
jobs=$(nproc)

echo "== unit and peer tests (asan, ubsan)"
cmake --preset asan >/dev/null
cmake --build --preset asan -j"$jobs" >/dev/null
ctest --preset asan -j"$jobs" --no-tests=error

echo "== the frame feed and an export cancel across threads (tsan)"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j"$jobs" >/dev/null
ctest --preset tsan --no-tests=error

echo "== load time of every corpus file and fuzz seed (release build)"
cmake --preset native >/dev/null
cmake --build --preset native -j"$jobs" --target movrel >/dev/null
tests/bench/load_time.py build/native/movrel

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$jobs" >/dev/null
# About a minute of fuzzing in all, shared by the targets (FUZZ_SECONDS sets
# the time of each).
targets=$(find build/fuzz/tests/fuzz -maxdepth 1 -name 'fuzz_*' -type f -perm -u+x | wc -l)
share=$(( 60 / (targets > 0 ? targets : 1) ))
fuzz_seconds=${FUZZ_SECONDS:-$(( share > 5 ? share : 5 ))}
echo "== fuzzing, ${fuzz_seconds}s per target"
scripts/fuzz.sh "$fuzz_seconds"

echo "== Windows cross builds"
for preset in mingw32 mingw64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs" >/dev/null
done
scripts/wine-test.sh

echo "== install package"
python3 tests/peer/package_check.py "$(scripts/package.sh)"
echo "all tests passed"
