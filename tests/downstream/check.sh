#!/usr/bin/env bash
# Installs a built kelp-sae into a scratch prefix, then configures, builds and
# runs the downstream project beside this script against that install tree.
#
#   check.sh BUILD_DIR WORK_DIR [CONFIG] [CXX_COMPILER] [CXX_FLAGS]
set -euo pipefail

build_dir=$1
work_dir=$2
config=${3:-Release}
cxx=${4:-}
cxx_flags=${5:-}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

rm -rf "$work_dir"
mkdir -p "$work_dir"
prefix="$work_dir/prefix"

cmake --install "$build_dir" --prefix "$prefix" --config "$config" >"$work_dir/install.log"

args=(-S "$here" -B "$work_dir/build" -DCMAKE_BUILD_TYPE="$config"
      -DCMAKE_PREFIX_PATH="$prefix")
if [ -n "$cxx" ]; then
  args+=(-DCMAKE_CXX_COMPILER="$cxx")
fi
if [ -n "$cxx_flags" ]; then
  args+=(-DCMAKE_CXX_FLAGS="$cxx_flags")
fi
cmake "${args[@]}"
cmake --build "$work_dir/build" --config "$config" -j2

# The program is installed too.
"$prefix/bin/kelp-sae" --version

output=$("$work_dir/build/app")
echo "$output"
expected_version=$("$prefix/bin/kelp-sae" --version | sed 's/^kelp-sae version //')
if ! grep -qx "kelp_sae $expected_version" <<<"$output"; then
  echo "downstream app did not print the installed version $expected_version" >&2
  exit 1
fi
