#!/usr/bin/env bash
# Replays every fuzz target's seeds without libFuzzer:
#   fuzz/replay.sh <build-dir>
# runs <build-dir>/fuzz/<target>_replay over fuzz/seeds/<target>/ for each
# target that has seeds, and exits non-zero when any input fails or a replay
# program is missing.
set -uo pipefail
if [ $# -ne 1 ]; then
  echo "usage: $0 <build-dir>" >&2
  exit 2
fi
build="$1"
seeds="$(cd "$(dirname "$0")" && pwd)/seeds"
status=0
for dir in "$seeds"/*/; do
  target="$(basename "$dir")"
  replay="$build/fuzz/${target}_replay"
  if [ ! -x "$replay" ]; then
    echo "missing replay program: $replay" >&2
    status=1
    continue
  fi
  if ! "$replay" "$dir"; then
    echo "FAILED: $target" >&2
    status=1
  fi
done
exit $status
