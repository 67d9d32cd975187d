#!/usr/bin/env bash
# Installs missing build dependencies, builds the kelp-sae program (Release)
# in ./build and runs it on the bundled example data in examples/data:
# Fay-Herriot on an area table, Fay-Herriot from a weighted survey sample,
# the unit-level EBLUP from a unit sample and a census, and the EBP of poverty
# indicators from an income sample and a census. Each run also writes an HTML
# report with charts (and maps from examples/shapes/areas.geojson) into
# build/demo/.
#
#   ./scripts/demo.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

./scripts/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build --target kelp-sae -j2

kelp_sae=build/app/kelp-sae
data=examples/data
shapes=(--shapes examples/shapes/areas.geojson --shapes-key area)
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
  --x x1,x2 --cat region:North --out "$out/fh_area_predictions.csv" \
  --html "$out/fh_area_report.html" "${shapes[@]}"

# Raw-sample mode: direct estimates of mean income by area from the weighted,
# stratified, clustered sample, joined to the area covariates.
run fh --sample "$data/survey_sample.csv" --weight weight --strata stratum --psu psu \
  --pop-data "$data/survey_areas.csv" --y income --area area \
  --x x1,x2 --cat region:North --out "$out/fh_sample_predictions.csv" \
  --html "$out/fh_sample_report.html" "${shapes[@]}"

# Unit level: nested-error EBLUP of area means for every census area.
run eblup --sample "$data/unit_sample.csv" --pop "$data/census.csv" \
  --y y --x x1,x2 --cat sector --area area --out "$out/eblup_predictions.csv" \
  --html "$out/eblup_report.html" "${shapes[@]}"

# Poverty mapping: EBP of mean income, poverty headcount and gap and the Gini
# coefficient (Box-Cox, lambda estimated; poverty line 60% of the sample's
# median income) for every census area, with a small bootstrap MSE.
run ebp --sample "$data/income_sample.csv" --pop "$data/income_census.csv" \
  --y income --x hh_size,age,urban --cat gender --area area \
  --indicators mean,headcount,gap,gini --threshold-share 0.6 \
  --n-mc 30 --n-reps 20 --seed 7 \
  --out "$out/ebp_predictions.csv" --wide-out "$out/ebp_poverty_map.csv" \
  --html "$out/ebp_report.html" "${shapes[@]}"

echo
echo "Predictions written to $out/"
echo "HTML reports (open in a browser, no network needed):"
for f in "$out"/*_report.html; do
  echo "  $f"
done
