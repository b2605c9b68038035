#!/usr/bin/env bash
# Sets up, builds from scratch and runs every test: the release build, then
# the debug build under AddressSanitizer and UndefinedBehaviorSanitizer, then
# the fuzz targets replaying their seed corpora.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
rm -rf build/release build/debug build/fuzz
for preset in release debug; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
if [ -f fuzz/replay.sh ]; then
  cmake --preset fuzz
  cmake --build --preset fuzz
  bash fuzz/replay.sh build/fuzz
fi
