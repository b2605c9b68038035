#!/usr/bin/env bash
# Sets up, builds the release Python module (only the module and the
# libraries it links) and compresses a sample through it: "fast" and turbo,
# sizes, ratio and info, then decompresses and checks the bytes. Prints how
# long each stage took.
# Usage: tools/run-sample.sh [FILE]
#   FILE defaults to the shared corpus's zeek_dns.ndjson when it is there,
#   else to a generated NDJSON log, removed when the script ends.
set -euo pipefail
usage="usage: tools/run-sample.sh [FILE]"
if [ $# -gt 1 ]; then
  echo "$usage" >&2
  exit 2
fi
sample=""
if [ $# -eq 1 ]; then
  case "$1" in
    -h|--help) echo "$usage"; exit 0 ;;
  esac
  if [ ! -e "$1" ]; then
    echo "run-sample: no such file: $1" >&2
    exit 2
  elif [ ! -f "$1" ] || [ ! -r "$1" ]; then
    echo "run-sample: not a readable file: $1" >&2
    exit 2
  fi
  sample=$(realpath -- "$1")
fi
cd "$(dirname "$0")/.."

generated=""
log=$(mktemp)
trap 'rm -f "$log" ${generated:+"$generated"}' EXIT

timings=()
script_start=${EPOCHREALTIME/[.,]/}
stage_start=$script_start
# Records how long the stage that just ended took, and says so.
stage_done() {
  local now=${EPOCHREALTIME/[.,]/}
  local tenths=$(( (now - stage_start + 50000) / 100000 ))
  timings+=("$1 $((tenths / 10)).$((tenths % 10)) s")
  echo "run-sample: $1 took ${timings[-1]#"$1 "}"
  stage_start=$now
}

bash tools/setup.sh
stage_done setup

if ! cmake --preset release >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
stage_done configure

# The module of the interpreter the release build is configured for.
python=$(sed -n 's/^KELVANE_PYTHON_EXECUTABLE:[A-Z]*=//p' build/release/CMakeCache.txt)
if [ -z "$python" ]; then
  echo "run-sample: build/release is configured without the Python module (KELVANE_PYTHON=OFF)" >&2
  exit 1
fi
version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
cmake --build --preset release --target "kelvane_python_${version/./_}"
stage_done build

if [ -z "$sample" ]; then
  if [ -f ../shared/corpus/zeek_dns.ndjson ]; then
    sample=$(realpath ../shared/corpus/zeek_dns.ndjson)
  else
    generated=$(mktemp --suffix=.ndjson)
    sample=$generated
    "$python" - "$sample" <<'PY'
import json, random, sys
rng = random.Random(7)
with open(sys.argv[1], "w") as out:
    for i in range(20000):
        out.write(json.dumps({"ts": 1700000000 + i, "level": rng.choice(["info", "warn", "error"]),
                              "host": f"web-{rng.randrange(8)}", "latency_ms": rng.randrange(900),
                              "path": rng.choice(["/", "/api/v1/items", "/login", "/health"])}) + "\n")
PY
  fi
fi
PYTHONPATH="build/release/python/$version" "$python" tools/sample.py "$sample"
stage_done sample

total=$(( (${EPOCHREALTIME/[.,]/} - script_start + 50000) / 100000 ))
summary=$(printf '%s, ' "${timings[@]}")
echo "run-sample: ${summary%, }; total $((total / 10)).$((total % 10)) s"
