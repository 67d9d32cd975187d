#!/usr/bin/env bash
# Installs missing build dependencies, builds the kelp-sae program (Release)
# in ./build and runs it on the bundled example data in examples/data.
#
#   ./scripts/demo.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

./scripts/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build --target kelp-sae -j2

kelp_sae=build/app/kelp-sae
run() {
  echo
  echo "\$ kelp-sae $*"
  "$kelp_sae" "$@"
}

run --version
