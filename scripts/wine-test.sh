#!/usr/bin/env bash
# Runs the Windows builds (build/mingw32, build/mingw64) under wine in a
# virtual X display, in a temporary wine prefix that is removed afterwards:
# the movrel tool against the native build, then every Windows test of both
# builds (the plug-in test host, the export and import check, the movrel-view
# screenshot).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = --inside-display ]; then
  # wine's helper processes outlive the programs that start them; started
  # here, they don't hold ctest's output pipe open.
  wineserver -p
  timeout 120 wine wineboot >/dev/null 2>&1 || true
  expected=$(build/asan/movrel framemd5 samples/sample.flc)
  out=$(mktemp -d /tmp/movrel-wine-out.XXXXXX)
  # The test host compares the frames that the viewer saves with these, and
  # leaves the AVI that it exports for ffprobe and ffmpeg.
  echo "$expected" > "$out/sample.framemd5"
  export MOVREL_SAMPLE_FRAMEMD5="Z:${out//\//\\}\\sample.framemd5"
  build/asan/movrel convert samples/sample.flc "$out/native.bmp" --frame 3
  build/asan/movrel export samples/sample.flc "$out/native.gif"
  status=0
  for preset in mingw32 mingw64; do
    got=$(timeout 120 wine "build/$preset/movrel.exe" framemd5 samples/sample.flc | tr -d '\r')
    if [ "$got" != "$expected" ]; then
      echo "FAIL $preset movrel.exe framemd5 differs from the native build" >&2
      status=1
    else
      echo "$preset movrel.exe: same frames as the native build"
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
      status=1
    else
      echo "$preset movrel.exe: the same saved file as the native build"
    fi
    # A save over an existing file keeps what the old file carried: a hidden
    # file stays hidden and is replaced, a read-only one is not replaced at
    # all (Write error). Nothing is left beside either.
    attributes() { timeout 120 wine cmd /c attrib "$@" | tr -d '\r' | cut -c1-12; }
    for attribute in H R; do
      mkdir "$out/$preset-$attribute"
      file="$out/$preset-$attribute/frame.bmp"
      cp "$out/native.bmp" "$file"
      windows_name="Z:${file//\//\\}"
      attributes "+$attribute" "$windows_name" >/dev/null
      if [[ "$(attributes "$windows_name")" != *"$attribute"* ]]; then
        echo "$preset movrel.exe: wine keeps no $attribute attribute on this file system; not checked"
        continue
      fi
      replaced=yes
      timeout 120 wine "build/$preset/movrel.exe" convert samples/sample.flc "$file" >/dev/null 2>&1 || replaced=no
      cmp -s "$out/native.bmp" "$file" && replaced=no
      if [[ "$(attributes "$windows_name")" != *"$attribute"* ]] || [ "$replaced" != "$([ $attribute = H ] && echo yes || echo no)" ] ||
         [ "$(ls "$out/$preset-$attribute")" != frame.bmp ]; then
        echo "FAIL $preset movrel.exe convert over a file with the $attribute attribute: replaced $replaced, $(attributes "$windows_name"), $(ls "$out/$preset-$attribute" | tr '\n' ' ')" >&2
        status=1
      else
        echo "$preset movrel.exe: a file with the $attribute attribute keeps it over a save"
      fi
      attributes -R "$windows_name" >/dev/null
    done
    # The animated GIF stream, and the GIF reader on what it wrote.
    timeout 120 wine "build/$preset/movrel.exe" export samples/sample.flc "$out/$preset/anim.gif" >/dev/null
    got=$(timeout 120 wine "build/$preset/movrel.exe" framemd5 "$out/$preset/anim.gif" | tr -d '\r')
    if ! cmp -s "$out/native.gif" "$out/$preset/anim.gif" || [ "$got" != "$expected" ]; then
      echo "FAIL $preset movrel.exe export does not write or read back what the native build does" >&2
      status=1
    else
      echo "$preset movrel.exe: the same animated GIF as the native build, read back alike"
    fi
    echo "== Windows tests, $preset"
    export MOVREL_EXPORT_DIR="Z:${out//\//\\}\\$preset-exports"
    timeout 600 ctest --test-dir "build/$preset" --output-on-failure --timeout 300 || status=1
    python3 tests/win32/export_check.py --movrel build/asan/movrel --sample samples/sample.flc --label "$preset" \
      "$out/$preset-exports/viewer-sample.avi" || status=1
    # The measurements the tests print: timing, idle cost, leaks.
    grep -hE '^    (sample at|measured|step after|processor time|heap|200 cycles)' \
      "build/$preset/Testing/Temporary/LastTest.log" | sed "s/^ */  $preset: /" || true
  done
  rm -rf "$out"
  wineserver -k || true
  exit $status
fi

export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/movrel-wine.XXXXXX)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
timeout 180 wineboot -i >/dev/null 2>&1 || true
# Without a window manager, unmanaged windows close at once instead of after
# a two-second wait.
timeout 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true
timeout 60 wineserver -w || true
timeout 1500 xvfb-run -a -s "-screen 0 1024x768x24" "$0" --inside-display
