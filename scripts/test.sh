#!/usr/bin/env bash
# Installs missing build dependencies, builds everything (Release) in ./build
# and runs the whole test suite; the output ends with CTest's summary line.
#
#   ./scripts/test.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

./scripts/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2
