#!/usr/bin/env bash
# The EBP at census scale through the program, CSV reading included:
# a 2,500,000-unit census in 2,500 areas with 10 covariates and a
# 10,000-unit sample in 2,000 of them; log transformation, mean and FGT0-2,
# n_mc 200, point estimates only (--no-mse). Peak memory and wall time come
# from /usr/bin/time -v.
#
#   bench/ebp_census_program.sh [build/app/kelp-sae] [threads]
set -euo pipefail
program=${1:-build/app/kelp-sae}
threads=${2:-2}
dir=${TMPDIR:-/tmp}/kelp_sae_ebp_census
mkdir -p "$dir"

# The data: bench/generate_census.sh, 10 covariates.
generate() {  # $1: units per area, $2: areas, $3: with income (1/0), $4: seed
  "$(dirname "${BASH_SOURCE[0]}")/generate_census.sh" "$1" "$2" 10 "$3" "$4"
}

[ -s "$dir/census.csv" ] || generate 1000 2500 0 1 > "$dir/census.csv"
[ -s "$dir/sample.csv" ] || generate 5 2000 1 2 > "$dir/sample.csv"

/usr/bin/time -v "$program" ebp --sample "$dir/sample.csv" --pop "$dir/census.csv" \
  --y income --area area --x x1,x2,x3,x4,x5,x6,x7,x8,x9,x10 --transformation log \
  --indicators mean,headcount,gap,severity --threshold 5000 --n-mc 200 --no-mse \
  --seed 1 --threads "$threads" --quiet 2>&1 |
  grep -E "Elapsed \(wall|Maximum resident|User time|System time|Exit status"
