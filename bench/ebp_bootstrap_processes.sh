#!/usr/bin/env bash
# The EBP bootstrap divided between processes (a kelp-sae built with
# -DKELP_SAE_WITH_MPI=ON, Open MPI's mpirun): a 1,000,000-unit census in
# 2,000 areas with 5 covariates and a 7,500-unit sample (5 units in each of
# the first 1,500 areas); log transformation, mean and FGT0-2, n_mc 50,
# n_reps 100, seed 1. Three configurations, each repeated (default 3 times,
# interleaved so that a change of machine load hits all of them alike):
#
#   plain  kelp-sae --threads 2                         one process, 2 threads
#   1x2    mpirun -np 1 --bind-to none kelp-sae --threads 2
#   2x1    mpirun -np 2 kelp-sae --threads 1            two processes, 1 thread each
#
# plus a reference run of the part every process repeats, whatever the
# number of processes: reading the CSVs, the fit and the point estimate
# (--no-mse, 1 thread). Prints per run and as medians per configuration the
# wall time of the whole run (mpirun included) and each process's peak
# resident memory (largest and summed over the processes), and the load
# average before and after. The predictions CSVs (--out) of every run must be
# byte-identical: the script fails otherwise.
#
#   bench/ebp_bootstrap_processes.sh [build/app/kelp-sae] [repeats]
#
# Data and outputs go to $TMPDIR/kelp_sae_ebp_processes (data generated
# once). As root, Open MPI needs OMPI_ALLOW_RUN_AS_ROOT(_CONFIRM), set here;
# in containers without cross-memory attach the shared-memory transport needs
# OMPI_MCA_btl_vader_single_copy_mechanism=none (the default here). Extra
# mpirun arguments can be given in $MPIRUN_ARGS.
set -euo pipefail
program=$(realpath "${1:-build/app/kelp-sae}")
repeats=${2:-3}
dir=${TMPDIR:-/tmp}/kelp_sae_ebp_processes
mkdir -p "$dir"

if [ "$(id -u)" = 0 ]; then
  export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
fi
export OMPI_MCA_btl_vader_single_copy_mechanism=${OMPI_MCA_btl_vader_single_copy_mechanism:-none}
read -r -a mpirun_args <<< "${MPIRUN_ARGS:-}"
mpirun_args=(--quiet --oversubscribe "${mpirun_args[@]}")

# The data: bench/generate_census.sh, 5 covariates.
generate() {  # $1: units per area, $2: areas, $3: with income (1/0), $4: seed
  "$(dirname "${BASH_SOURCE[0]}")/generate_census.sh" "$1" "$2" 5 "$3" "$4"
}

[ -s "$dir/census.csv" ] || generate 500 2000 0 1 > "$dir/census.csv"
[ -s "$dir/sample.csv" ] || generate 5 1500 1 2 > "$dir/sample.csv"

# shellcheck disable=SC2054  # the commas are in the column lists
ebp_args=(ebp --sample "$dir/sample.csv" --pop "$dir/census.csv" --y income --area area
  --x x1,x2,x3,x4,x5 --transformation log --indicators mean,headcount,gap,severity
  --threshold 5000 --n-mc 50 --n-reps 100 --seed 1 --quiet)

# Runs one configuration: $1 name, $2 repeat, then the launcher words (none
# for a plain run) and the kelp-sae arguments. Each process writes its own
# wall time, peak memory (KB) and CPU times to $dir/<name>.<repeat>.rank<r>.
run() {
  local name=$1 rep=$2
  shift 2
  rm -f "$dir/$name.$rep".rank*
  # shellcheck disable=SC2016  # expanded by the process's own shell
  local timed=(sh -c 'exec /usr/bin/time -f "%e %M %U %S" -o "$0.rank${OMPI_COMM_WORLD_RANK:-0}" "$@"'
    "$dir/$name.$rep")
  local launcher=()
  while [ "$1" != -- ]; do launcher+=("$1"); shift; done
  shift
  /usr/bin/time -f "%e" -o "$dir/$name.$rep.wall" \
    "${launcher[@]}" "${timed[@]}" "$program" "$@" > "$dir/$name.$rep.log" 2>&1 ||
    { echo "$name run $rep failed:" >&2; cat "$dir/$name.$rep.log" >&2; exit 1; }
  # Wall time; peak memory of the largest process and summed; CPU seconds.
  awk -v name="$name" -v rep="$rep" -v wall="$(cat "$dir/$name.$rep.wall")" '
    { n++; if ($2 > max) max = $2; sum += $2; cpu += $3 + $4 }
    END { printf "%-6s run %d  wall %7.2f s  peak %6.0f MB/process (%d processes, %6.0f MB in all)  cpu %7.2f s\n",
          name, rep, wall, max / 1024, n, sum / 1024, cpu }' "$dir/$name.$rep".rank* |
    tee -a "$dir/results.txt"
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
rm -f "$dir"/plain.* "$dir"/1x2.* "$dir"/2x1.* "$dir"/point.*
: > "$dir/results.txt"
run point 1 -- "${ebp_args[@]}" --no-mse --threads 1 --out "$dir/point.csv"
for rep in $(seq 1 "$repeats"); do
  run plain "$rep" -- "${ebp_args[@]}" --threads 2 --out "$dir/plain.$rep.csv"
  run 1x2 "$rep" mpirun "${mpirun_args[@]}" -np 1 --bind-to none -- \
    "${ebp_args[@]}" --threads 2 --out "$dir/1x2.$rep.csv"
  run 2x1 "$rep" mpirun "${mpirun_args[@]}" -np 2 -- \
    "${ebp_args[@]}" --threads 1 --out "$dir/2x1.$rep.csv"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

echo "medians of $repeats runs:"
for name in plain 1x2 2x1; do
  grep "^$name " "$dir/results.txt" | awk -v name="$name" '
    { wall[NR] = $5; peak[NR] = $8 }
    function median(v, n,   i, j, t) {
      for (i = 2; i <= n; i++) for (j = i; j > 1 && v[j - 1] > v[j]; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
      return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
    }
    END { printf "%-6s wall %7.2f s  peak %6.0f MB/process\n", name, median(wall, NR), median(peak, NR) }'
done

for f in "$dir"/1x2.*.csv "$dir"/2x1.*.csv "$dir"/plain.*.csv; do
  cmp "$dir/plain.1.csv" "$f" > /dev/null ||
    { echo "FAIL: $f differs from $dir/plain.1.csv" >&2; exit 1; }
done
echo "predictions byte-identical in all $((3 * repeats)) runs"
