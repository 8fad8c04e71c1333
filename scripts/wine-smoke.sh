#!/usr/bin/env bash
# Runs the Windows builds of movrel under wine on the bundled sample and checks
# that they print what the native build prints.
set -euo pipefail
cd "$(dirname "$0")/.."
export WINEPREFIX=${WINEPREFIX:-$(mktemp -d /tmp/movrel-wine.XXXXXX)} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k >/dev/null 2>&1 || true; case "$WINEPREFIX" in /tmp/movrel-wine.*) rm -rf "$WINEPREFIX";; esac' EXIT
timeout 120 wineboot -i >/dev/null 2>&1 || true
expected=$(build/asan/movrel framemd5 samples/sample.flc)
for preset in mingw32 mingw64; do
  got=$(timeout 120 wine "build/$preset/movrel.exe" framemd5 samples/sample.flc | tr -d '\r')
  if [ "$got" != "$expected" ]; then
    echo "FAIL $preset movrel.exe framemd5 differs from the native build" >&2
    exit 1
  fi
  echo "$preset movrel.exe: same frames as the native build"
done
