#!/usr/bin/env bash
# Opens the HTML reports of fh, eblup and ebp in headless Chromium and checks
# what a reader would see: no script error, one drawn chart (an svg) per
# chart element, every estimate in the table, a label holding <script> shown
# as text and never run. Exits 77 (skipped) when Chromium is not installed.
#
#   check_report.sh <kelp-sae> <source dir> <work dir>
set -uo pipefail
program=$1
source_dir=$2
work=$3
data=$source_dir/examples/data

browser=$(command -v chromium || command -v chromium-browser || true)
if [ -z "$browser" ]; then
  echo "Chromium is not installed: browser test skipped (scripts/install_deps.sh installs it)."
  exit 77
fi

rm -rf "$work"
mkdir -p "$work"
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# Area 1 renamed to a label that would run if it reached the page as markup.
evil="<script>document.title='pwned'</script>"
sed "2s|^1,|\"$evil\",|" "$data/area_table.csv" > "$work/area_table.csv"

run() {
  local name=$1
  shift
  if ! "$program" "$@" --quiet --out "$work/$name.csv" --html "$work/$name.html" \
      2> "$work/$name.log"; then
    fail "$name: kelp-sae failed: $(cat "$work/$name.log")"
    return 1
  fi
}

# One browser per page, a fresh profile each time, no network.
browse() {
  local page=$1
  shift
  rm -rf "$work/profile"
  timeout 120 "$browser" --headless=new --no-sandbox --disable-gpu \
    --disable-background-networking --disable-component-update --disable-sync \
    --no-first-run --user-data-dir="$work/profile" --enable-logging=stderr --log-level=0 \
    --virtual-time-budget=20000 "$@" "file://$page"
}

check() {
  local name=$1
  local page=$work/$name.html
  browse "$page" --dump-dom > "$work/$name.dom" 2> "$work/$name.browser.log"
  local dom=$work/$name.dom
  grep -q 'data-done="true"' "$dom" || fail "$name: the charts did not finish drawing"
  grep -q 'id="report-status" data-errors="0"' "$dom" ||
    fail "$name: script errors: $(grep -o 'id="report-status"[^<]*' "$dom")"
  if grep -E 'CONSOLE.*(Uncaught|Error|error)' "$work/$name.browser.log" > /dev/null; then
    fail "$name: console errors: $(grep -E 'CONSOLE' "$work/$name.browser.log" | head -3)"
  fi
  local charts drawn rows expected
  charts=$(grep -o '<div class="chart[^"]*" id="chart-[0-9]*"' "$dom" | wc -l)
  drawn=$(grep -o '<svg[^>]*class="marks"' "$dom" | wc -l)
  [ "$charts" -gt 0 ] || fail "$name: no chart elements"
  [ "$drawn" -eq "$charts" ] || fail "$name: $drawn of $charts charts drawn"
  rows=$(sed -n 's/.*id="estimates-table"\(.*\)/\1/p' "$dom" | sed 's,</table>.*,,' |
    grep -o '<tr><td>' | wc -l)
  expected=$(($(wc -l < "$work/$name.csv") - 1))
  [ "$rows" -eq "$expected" ] || fail "$name: the table holds $rows of $expected estimates"
  echo "$name: $charts charts drawn, $rows estimates in the table"
}

if run fh fh --data "$work/area_table.csv" --y y --area area --variance var --x x1,x2 \
    --cat region:North --shapes "$source_dir/examples/shapes/areas.geojson" --shapes-key area; then
  check fh
  dom=$work/fh.dom
  grep -q '<title>pwned</title>' "$dom" && fail "fh: the <script> label ran"
  grep -q "<td>&lt;script&gt;document.title='pwned'&lt;/script&gt;</td>" "$dom" ||
    fail "fh: the <script> label is not shown as text"
  grep -q 'areas.geojson\|shapes have no estimate' "$work/fh.log" ||
    fail "fh: shapes without estimates were not warned about"
  browse "$work/fh.html" --hide-scrollbars --window-size=1400,2600 \
    --screenshot="$work/fh.png" > /dev/null 2>&1
  [ -s "$work/fh.png" ] || fail "fh: no screenshot"
fi
if run eblup eblup --sample "$data/unit_sample.csv" --pop "$data/census.csv" --y y --x x1,x2 \
    --cat sector --area area; then
  check eblup
fi
if run ebp ebp --sample "$data/income_sample.csv" --pop "$data/income_census.csv" --y income \
    --x hh_size,age,urban --cat gender --area area --indicators mean,headcount,gini \
    --threshold-share 0.6 --n-mc 5 --n-reps 3 --seed 7 --no-progress \
    --shapes "$source_dir/examples/shapes/areas.geojson" --shapes-key area; then
  check ebp
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed; pages and browser logs in $work"
  exit 1
fi
echo "All report checks passed; pages in $work"
