#!/usr/bin/env bash
# Sets up what is missing, builds, and runs movrel on the bundled sample.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native -j"$(nproc)" >/dev/null
echo "== movrel info samples/sample.flc"
build/native/movrel info samples/sample.flc
echo "== movrel framemd5 samples/sample.flc"
build/native/movrel framemd5 samples/sample.flc
