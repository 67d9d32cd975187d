#!/usr/bin/env bash
# Installs the Debian packages needed to build, test and benchmark kelp-sae.
# Idempotent: installs only what is missing; uses sudo when not root.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libeigen3-dev librandom123-dev libfmt-dev libspdlog-dev
  nlohmann-json3-dev libcli11-dev zlib1g-dev libhwy-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libopenmpi-dev openmpi-bin
  python3-dev pybind11-dev python3-pybind11 python3-numpy python3-pandas python3-pytest
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi

echo "Installing missing packages: ${missing[*]}" >&2
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
