#!/usr/bin/env bash
# Writes a synthetic census or sample (CSV) for the EBP benchmarks.
# Log incomes: 9 + sum_k 0.05 x_k + u_area + 0.6 e, x_k ~ N(0, 1),
# u ~ N(0, 0.25^2); an area's effect depends only on the area number, so a
# sample and a census of the same areas share it.
#
#   bench/generate_census.sh UNITS_PER_AREA AREAS COVARIATES WITH_INCOME(1/0) SEED > file.csv
set -euo pipefail
awk -v per="$1" -v areas="$2" -v p="$3" -v with_y="$4" -v seed="$5" 'BEGIN {
  srand(seed);
  printf "area"; for (k = 1; k <= p; k++) printf ",x%d", k; if (with_y) printf ",income"; print "";
  for (a = 1; a <= areas; a++) {
    srand(a * 7919); u = 0.25 * gauss(); srand(seed * 100003 + a);
    for (j = 0; j < per; j++) {
      m = 9 + u; line = a;
      for (k = 1; k <= p; k++) { x = gauss(); m += 0.05 * x; line = line sprintf(",%.4f", x) }
      if (with_y) line = line sprintf(",%.2f", exp(m + 0.6 * gauss()));
      print line
    }
  }
}
function gauss() { return sqrt(-2 * log(1 - rand())) * cos(6.283185307179586 * rand()) }'
