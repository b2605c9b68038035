#!/usr/bin/env bash
# Sets up, builds the release module and compresses a sample through Python:
# "fast" and turbo, sizes, ratio and info, then decompresses and checks the
# bytes. Usage: tools/run-sample.sh [FILE]   (default: a bundled-size sample)
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
sample=${1:-}
if [ -z "$sample" ]; then
  if [ -f ../shared/corpus/zeek_dns.ndjson ]; then
    sample=../shared/corpus/zeek_dns.ndjson
  else
    sample=$(mktemp --suffix=.ndjson)
    /usr/bin/python3 - "$sample" <<'PY'
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
module_dir=$(ls -d build/release/python/3.11 2>/dev/null || true)
PYTHONPATH="$module_dir" /usr/bin/python3 tools/sample.py "$sample"
