#!/usr/bin/env bash
# Installs missing build dependencies, builds the kelp-sae program (Release)
# in ./build and runs it on the bundled example data in examples/data:
# Fay-Herriot on an area table, Fay-Herriot from a weighted survey sample,
# and the unit-level EBLUP from a unit sample and a census.
#
#   ./scripts/demo.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

./scripts/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build --target kelp-sae -j2

kelp_sae=build/app/kelp-sae
data=examples/data
out=build/demo
mkdir -p "$out"
run() {
  echo
  echo "\$ kelp-sae $*"
  "$kelp_sae" "$@"
}

run --version

# Area-table mode: direct estimates y with sampling variances var.
run fh --data "$data/area_table.csv" --y y --area area --variance var \
  --x x1,x2 --cat region:North --out "$out/fh_area_predictions.csv"

# Raw-sample mode: direct estimates of mean income by area from the weighted,
# stratified, clustered sample, joined to the area covariates.
run fh --sample "$data/survey_sample.csv" --weight weight --strata stratum --psu psu \
  --pop-data "$data/survey_areas.csv" --y income --area area \
  --x x1,x2 --cat region:North --out "$out/fh_sample_predictions.csv"

# Unit level: nested-error EBLUP of area means for every census area.
run eblup --sample "$data/unit_sample.csv" --pop "$data/census.csv" \
  --y y --x x1,x2 --cat sector --area area --out "$out/eblup_predictions.csv"

echo
echo "Predictions written to $out/"
