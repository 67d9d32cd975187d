#!/usr/bin/env bash
# Installs missing build dependencies, builds everything (Release) in ./build
# and runs the whole test suite; the output ends with CTest's summary line.
# The MPI layer is built and tested when an MPI compiler and launcher are
# present (scripts/install_deps.sh installs Open MPI), and left out otherwise.
# The Python package is built for /usr/bin/python3 (Debian's Python, which
# has pybind11, numpy, pandas and pytest from scripts/install_deps.sh; set
# KELP_SAE_PYTHON to choose another) and its pytest suite runs after CTest.
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
python="${KELP_SAE_PYTHON:-/usr/bin/python3}"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DKELP_SAE_WITH_MPI="$mpi" \
  -DPython_EXECUTABLE="$python"
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2

# The Python package's tests, against the program of the same build. pytest
# fails when a test fails and when it collects no test at all (status 5).
if ! compgen -G "build/python/kelp_sae/_core*.so" >/dev/null; then
  echo "The Python package was not built (see the CMake output above)." >&2
  exit 1
fi
PYTHONPATH="$PWD/build/python" KELP_SAE_PROGRAM="$PWD/build/app/kelp-sae" \
  "$python" -m pytest -q -p no:cacheprovider python/tests
