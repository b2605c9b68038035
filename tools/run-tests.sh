#!/usr/bin/env bash
# Sets up, builds and runs every test: the release build, then the debug
# build under AddressSanitizer and UndefinedBehaviorSanitizer, then the fuzz
# targets replaying their seed corpora. The build folders are kept between
# runs: CMake and Ninja rebuild only what changed since the last run.
# Usage: tools/run-tests.sh (no arguments)
set -euo pipefail
usage="usage: tools/run-tests.sh
Sets up, builds and runs every test: release, debug (ASan/UBSan), fuzz seed replay."
case "${1-}" in
  "") ;;
  -h|--help) echo "$usage"; exit 0 ;;
  *) echo "$usage" >&2; exit 2 ;;
esac
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
