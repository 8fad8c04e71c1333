#!/usr/bin/env bash
# Runs every fuzz target for the given number of seconds, seeded from the
# corpus beside the checkout and the bundled sample. Findings land in
# build/fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
out=build/fuzz/findings
mkdir -p "$out"
seeds=(samples)
[ -d tests/fuzz/seeds ] && seeds+=(tests/fuzz/seeds)
[ -d ../shared/corpus ] && seeds+=(../shared/corpus/flic ../shared/corpus/bmp ../shared/corpus/gif ../shared/corpus/pcx ../shared/corpus/tga)
ran=0
for target in build/fuzz/tests/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  ran=$((ran + 1))
  name=$(basename "$target")
  work="build/fuzz/corpus-$name"
  mkdir -p "$work"
  echo "-- $name"
  # An input that runs 30 s hangs; one that runs less is no finding: the GIF
  # export of the largest corpus GIF (44 frames of 400 x 400 in 24 bits,
  # quantized) takes about 11 s of processor time in this instrumented build.
  "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=30 -report_slow_units=30 -max_len=1048576 \
    -artifact_prefix="$out/$name-" -print_final_stats=1 "$work" "${seeds[@]}" 2>&1 | grep -E 'stat::number_of_executed_units|ERROR|SUMMARY' || true
  if ls "$out/$name-"* >/dev/null 2>&1; then
    echo "fuzz target $name found a crash: $(ls "$out/$name-"*)" >&2
    exit 1
  fi
done
echo "$ran fuzz targets ran"
if [ "$ran" -eq 0 ]; then
  echo "no fuzz target was built" >&2
  exit 1
fi
