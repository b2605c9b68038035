#!/usr/bin/env bash
# Sets up, builds and runs every test: the release build, then the debug
# build under AddressSanitizer and UndefinedBehaviorSanitizer, then the fuzz
# targets replaying their seed corpora. The build folders are kept between
# runs: CMake and Ninja rebuild only what changed since the last run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
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
