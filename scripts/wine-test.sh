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
    # file stays hidden, and a read-only one is not replaced at all (Write
    # error). Nothing is left beside either.
    mkdir "$out/$preset-kept"
    kept="$out/$preset-kept"
    attributes() { timeout 120 wine cmd /c attrib "Z:${1//\//\\}" | tr -d '\r' | cut -c1-12; }
    for attribute in H R; do
      file="$kept/$attribute.bmp"
      cp "$out/native.bmp" "$file"
      timeout 120 wine cmd /c attrib "+$attribute" "Z:${file//\//\\}" >/dev/null
      if [[ "$(attributes "$file")" != *"$attribute"* ]]; then
        echo "$preset movrel.exe: wine keeps no $attribute attribute here; not checked"
        rm -f "$file"
        continue
      fi
      want=yes; [ "$attribute" = R ] && want=no  # saved and replaced
      saved=yes
      timeout 120 wine "build/$preset/movrel.exe" convert samples/sample.flc "$file" >/dev/null 2>&1 || saved=no
      replaced=yes; cmp -s "$out/native.bmp" "$file" && replaced=no
      if [[ "$(attributes "$file")" != *"$attribute"* ]] || [ "$saved" != "$want" ] || [ "$replaced" != "$want" ] ||
         [ "$(ls "$kept")" != "$attribute.bmp" ]; then
        echo "FAIL $preset movrel.exe convert over a file with the $attribute attribute: saved $saved, replaced $replaced, attributes '$(attributes "$file")', files: $(ls "$kept" | tr '\n' ' ')" >&2
        status=1
      else
        echo "$preset movrel.exe: a file with the $attribute attribute keeps it over a save"
      fi
      timeout 120 wine cmd /c attrib -R -H "Z:${file//\//\\}" >/dev/null
      rm -f "$file"
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
