#!/usr/bin/env bash
# Runs kelp-sae under mpirun and checks it against a single process.
#
#   MPIEXEC=mpirun KELP_SAE=build/app/kelp-sae DATA=examples/data run_processes.sh fh|eblup|ebp|failure
#
# fh, eblup, ebp: the predictions CSV, the report and the progress lines of
# the bootstrap under 1, 2 and 3 processes must equal those of a single
# process byte for byte, for replicate counts not divisible by the process
# count and smaller than it.
# failure: a process given a census without a model column (process 1, then
# process 0) must end every process, the others busy with a long bootstrap,
# with exit status 1 and one "error:" line, and leave no temporary output
# file of the lead behind.
set -uo pipefail

# What Open MPI needs in containers: running as root, no cross-memory attach,
# more processes than cores.
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
export OMPI_MCA_btl_vader_single_copy_mechanism=none OMPI_MCA_rmaps_base_oversubscribe=1
export OMP_NUM_THREADS=1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# The lines kelp-sae writes on its error stream.
ours() {
  grep -E '^(Starting|Bootstrap|  Batch|\[warning\]|error:)' "$1"
}

# compare NAME ARGS...: single process, then 1, 2 and 3 processes. The
# predictions file, the report and the progress lines must be the same: only
# process 0 prints, and it counts the batches of every process.
compare() {
  local name=$1
  shift
  "$KELP_SAE" "$@" --out "$work/$name.single.csv" >"$work/$name.single.out" \
    2>"$work/$name.single.err" || fail "$name: single process failed"
  local np
  for np in 1 2 3; do
    "$MPIEXEC" --quiet -np "$np" "$KELP_SAE" "$@" --out "$work/$name.$np.csv" \
      >"$work/$name.$np.out" 2>"$work/$name.$np.err" || fail "$name: $np processes failed"
    local part
    for part in csv out; do
      cmp -s "$work/$name.single.$part" "$work/$name.$np.$part" ||
        fail "$name: $np processes differ from a single process ($part)"
    done
    # The program's own lines only: Open MPI may add notices of its own.
    cmp -s <(ours "$work/$name.single.err") <(ours "$work/$name.$np.err") ||
      fail "$name: $np processes differ from a single process (progress lines)"
  done
}

ebp_model=(--sample "$DATA/income_sample.csv" --y income --x hh_size,age,urban --cat gender
  --area area --indicators mean,headcount,gini --threshold-share 0.6)

case "${1:-}" in
  fh)
    model=(fh --data "$DATA/area_table.csv" --y y --area area --variance var --x x1,x2
      --mse bootstrap --seed 5)
    compare fh_7x2 "${model[@]}" --n-reps 7 --batch-size 2
    compare fh_2 "${model[@]}" --n-reps 2
    ;;
  eblup)
    model=(eblup --sample "$DATA/unit_sample.csv" --pop "$DATA/census.csv" --y y --x x1,x2
      --cat sector --area area --mse bootstrap --seed 3)
    compare eblup_5 "${model[@]}" --n-reps 5
    compare eblup_7x2 "${model[@]}" --n-reps 7 --batch-size 2
    compare eblup_2 "${model[@]}" --n-reps 2
    ;;
  ebp)
    model=(ebp "${ebp_model[@]}" --pop "$DATA/income_census.csv" --n-mc 5 --seed 7)
    compare ebp_5x2 "${model[@]}" --n-reps 5 --batch-size 2
    compare ebp_2 "${model[@]}" --n-reps 2
    ;;
  failure)
    cut -d, -f1-3 "$DATA/income_census.csv" >"$work/census_without_urban.csv"
    good=(ebp "${ebp_model[@]}" --pop "$DATA/income_census.csv" --n-mc 5 --n-reps 100000)
    bad=(ebp "${ebp_model[@]}" --pop "$work/census_without_urban.csv" --n-mc 5 --n-reps 100000)
    for failing in 1 0; do
      if [ "$failing" = 1 ]; then
        first=("${good[@]}") second=("${bad[@]}")
      else
        first=("${bad[@]}") second=("${good[@]}")
      fi
      "$MPIEXEC" --quiet -np 1 "$KELP_SAE" "${first[@]}" --out "$work/failed.csv" \
        : -np 1 "$KELP_SAE" "${second[@]}" --out "$work/failed.csv" \
        >"$work/stdout" 2>"$work/stderr"
      status=$?
      [ "$status" = 1 ] || fail "process $failing failing: exit status $status, not 1"
      errors=$(grep -c '^error:' "$work/stderr")
      [ "$errors" = 1 ] || fail "process $failing failing: $errors error lines, not 1"
      grep -q 'column "urban" not found' "$work/stderr" ||
        fail "process $failing failing: the error does not name the missing column"
      [ ! -e "$work/failed.csv" ] || fail "process $failing failing: an output file was written"
      ! ls -A "$work" | grep -q '^\.failed\.csv\.tmp-' ||
        fail "process $failing failing: a temporary output file was left"
      cat "$work/stderr"
    done
    ;;
  *)
    echo "usage: $0 fh|eblup|ebp|failure" >&2
    exit 2
    ;;
esac

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
