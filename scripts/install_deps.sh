#!/usr/bin/env bash
# Installs the Debian packages needed to build, test and benchmark kelp-sae,
# and the HTML report's charting scripts from npm (app/html/package.json,
# pinned by its package-lock.json). Chromium runs the report's browser test.
# Idempotent: installs only what is missing; uses sudo when not root.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang
  libeigen3-dev librandom123-dev libfmt-dev libspdlog-dev
  nlohmann-json3-dev libcli11-dev zlib1g-dev libhwy-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libopenmpi-dev openmpi-bin
  nodejs npm chromium
  python3-dev pybind11-dev python3-pybind11 python3-numpy python3-pandas python3-pytest
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

# Node and npm installed outside Debian's packages will do.
if command -v node > /dev/null && command -v npm > /dev/null; then
  kept=()
  for p in "${missing[@]}"; do
    [ "$p" = nodejs ] || [ "$p" = npm ] || kept+=("$p")
  done
  missing=("${kept[@]}")
fi

if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
  fi
  echo "Installing missing packages: ${missing[*]}" >&2
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi

# The report's charting scripts, exactly as locked; the build embeds them.
html_dir="$(dirname "${BASH_SOURCE[0]}")/../app/html"
# node_modules/.kelp-sae-lock records the lock file of the last install.
if ! cmp -s "$html_dir/package-lock.json" "$html_dir/node_modules/.kelp-sae-lock"; then
  echo "Installing the report's charting scripts (npm ci in app/html)" >&2
  (cd "$html_dir" && npm ci --no-audit --no-fund --loglevel=error >&2 &&
    cp package-lock.json node_modules/.kelp-sae-lock)
fi
