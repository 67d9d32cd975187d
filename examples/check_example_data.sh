#!/usr/bin/env bash
# Regenerates the example data into a scratch folder and compares it byte for
# byte with the committed files.
#
#   check_example_data.sh GENERATOR WORK_DIR DATA_DIR
set -euo pipefail
generator=$1
work_dir=$2
data_dir=$3

rm -rf "$work_dir"
"$generator" "$work_dir" >/dev/null
if ! diff -r -q "$data_dir" "$work_dir"; then
  echo "examples/data differs from the generator's output; regenerate it with" >&2
  echo "  build/examples/generate_example_data examples/data" >&2
  exit 1
fi
echo "example data matches its generator"
