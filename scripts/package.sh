#!/usr/bin/env bash
# Makes build/Movrel-VERSION.zip, the package that Total Commander installs
# when the user opens it: both DLLs, pluginst.inf and a short readme. Build
# the mingw32 and mingw64 presets first.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^#define MOVREL_VERSION_TEXT "\(.*\)"/\1/p' resources/resource.h)
stage=$(mktemp -d /tmp/movrel-package.XXXXXX)
trap 'rm -rf "$stage"' EXIT
cp build/mingw32/Movrel.wlx build/mingw64/Movrel.wlx64 "$stage/"
printf '%s\r\n' '[plugininstall]' \
  'description=Movrel: viewer of Autodesk FLIC animations (FLI, FLC, CEL)' \
  'type=wlx' 'file=Movrel.wlx' 'defaultdir=Movrel' "version=$version" > "$stage/pluginst.inf"
printf '%s\r\n' "Movrel $version: a lister plug-in for Total Commander that plays FLIC animations." '' \
  'Open this zip file in Total Commander and confirm: it installs Movrel.wlx (32-bit) and' \
  'Movrel.wlx64 (64-bit) as a lister plug-in. Then view a FLI or FLC file with F3 or Ctrl+Q.' '' \
  'Keys in the viewer: Space or Pause to pause, left Ctrl+Space to step, left Ctrl+S for the frame number,' \
  'left Ctrl+E to extract the frame on screen, the context menu for everything else.' > "$stage/readme.txt"
out="build/Movrel-$version.zip"
rm -f "$out"
(cd "$stage" && python3 -m zipfile -c "$OLDPWD/$out" Movrel.wlx Movrel.wlx64 pluginst.inf readme.txt)
echo "$out"
