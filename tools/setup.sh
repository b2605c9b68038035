#!/usr/bin/env bash
# Checks that the Debian 12 packages the build needs are installed, and
# installs the missing ones with apt-get. Needs no root when nothing is
# missing; otherwise names the packages and, as a user other than root, stops
# with the command to install them. Quiet on success; when apt-get fails, its
# whole output is shown.
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config clang
          libzstd-dev libbrotli-dev zlib1g-dev python3-dev libgtest-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing Debian packages: ${missing[*]}" >&2
  echo "setup: installing them needs root; run: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi

echo "setup: installing ${missing[*]}"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
export DEBIAN_FRONTEND=noninteractive
if ! { apt-get update -q && apt-get install -y -q "${missing[@]}"; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "setup: apt-get failed (output above)" >&2
  exit 1
fi
