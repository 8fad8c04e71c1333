#!/usr/bin/env bash
# Runs the Windows builds of movrel under wine on the bundled sample and checks
# that they print what the native build prints and save the same file.
set -euo pipefail
cd "$(dirname "$0")/.."
export WINEPREFIX=${WINEPREFIX:-$(mktemp -d /tmp/movrel-wine.XXXXXX)} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k >/dev/null 2>&1 || true; case "$WINEPREFIX" in /tmp/movrel-wine.*) rm -rf "$WINEPREFIX";; esac' EXIT
timeout 120 wineboot -i >/dev/null 2>&1 || true
expected=$(build/asan/movrel framemd5 samples/sample.flc)
out=$(mktemp -d /tmp/movrel-wine-out.XXXXXX)
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$out"; case "$WINEPREFIX" in /tmp/movrel-wine.*) rm -rf "$WINEPREFIX";; esac' EXIT
build/asan/movrel convert samples/sample.flc "$out/native.bmp" --frame 3
build/asan/movrel export samples/sample.flc "$out/native.gif"
for preset in mingw32 mingw64; do
  got=$(timeout 120 wine "build/$preset/movrel.exe" framemd5 samples/sample.flc | tr -d '\r')
  if [ "$got" != "$expected" ]; then
    echo "FAIL $preset movrel.exe framemd5 differs from the native build" >&2
    exit 1
  fi
  # Writing goes through a temporary file and a replace: the second save
  # (under the Windows form of the name) must replace the first, and nothing
  # else may be left in the directory.
  mkdir "$out/$preset"
  target="$out/$preset/frame.bmp"
  timeout 120 wine "build/$preset/movrel.exe" convert samples/sample.flc "$target" >/dev/null
  timeout 120 wine "build/$preset/movrel.exe" convert samples/sample.flc "Z:${target//\//\\}" --frame 3 >/dev/null
  if ! cmp -s "$out/native.bmp" "$out/$preset/frame.bmp" || [ "$(ls "$out/$preset")" != frame.bmp ]; then
    echo "FAIL $preset movrel.exe convert does not write what the native build writes" >&2
    exit 1
  fi
  # The animated GIF stream, and the GIF reader on what it wrote.
  timeout 120 wine "build/$preset/movrel.exe" export samples/sample.flc "$out/$preset/anim.gif" >/dev/null
  got=$(timeout 120 wine "build/$preset/movrel.exe" framemd5 "$out/$preset/anim.gif" | tr -d '\r')
  if ! cmp -s "$out/native.gif" "$out/$preset/anim.gif" || [ "$got" != "$expected" ]; then
    echo "FAIL $preset movrel.exe export does not write or read back what the native build does" >&2
    exit 1
  fi
  echo "$preset movrel.exe: same frames and the same saved files as the native build"
done
