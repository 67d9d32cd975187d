#!/usr/bin/env bash
# Installs missing build dependencies, builds everything (Release) in ./build
# and runs the whole test suite; the output ends with CTest's summary line.
# The MPI layer is built and tested when an MPI compiler and launcher are
# present (scripts/install_deps.sh installs Open MPI), and left out otherwise.
#
#   ./scripts/test.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

./scripts/install_deps.sh
mpi=OFF
if command -v mpicxx >/dev/null && command -v mpirun >/dev/null; then
  mpi=ON
else
  echo "No MPI found: building without the MPI layer (its tests are skipped)." >&2
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DKELP_SAE_WITH_MPI="$mpi"
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2
