#!/usr/bin/env bash
# Installs what the build needs on Debian 12 (run as root).
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config clang
          libzstd-dev libbrotli-dev zlib1g-dev python3-dev libgtest-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
