#!/usr/bin/env bash
# Runs the GNU parallel recipe of docs/cluster.md, as written there, on a simulated campaign with
# one bad recording: every good recording gets its log, and the recipe's last line names the bad
# one.
#
#   parallel_recipe_test.sh PAGE BUILD_DIR VARNEL_SIM_CAMPAIGN
set -euo pipefail
page=$1 build=$2 sim=$3
if ! command -v parallel >/dev/null; then
  echo "skipped: GNU parallel is missing (apt-get install parallel)"
  exit 77
fi
work=$(mktemp -d /tmp/varnel-parallel-XXXXXX)
trap 'rm -rf "$work"' EXIT
recipe=$(awk '/<!-- parallel-recipe/ { on = 1; next } on && /^    / { print substr($0, 5); next } on { exit }' "$page")
[[ -n $recipe ]] || { echo "no parallel recipe in $page" >&2; exit 1; }
mkdir -p "$work/data/with blank"
"$sim" --output "$work/data" --chips 3 --events 40
"$sim" --output "$work/data/with blank" --chips 1 --events 40
bad="123510_korvi100099_dessel00_link00_20mV_delay-all_adc.txt"
echo garbage >"$work/data/$bad"
cd "$work"
# parallel exits with the number of failed jobs, so the recipe runs without -e.
failed=$(PATH="$build:$PATH" bash -c "${recipe//\/data\/20180725/$work/data}")
for chip in 100000 100001 100002; do
  [[ -s "data/rise_time_korvi${chip}_20mV_delay-all.log" ]] || { echo "no log for $chip" >&2; exit 1; }
done
[[ -s "data/with blank/rise_time_korvi100000_20mV_delay-all.log" ]] || { echo "no log in 'with blank'" >&2; exit 1; }
[[ $(wc -l <varnel.joblog) -eq 6 ]] || { echo "joblog: $(cat varnel.joblog)" >&2; exit 1; }
[[ $(wc -l <<<"$failed") -eq 1 && $failed == *"$bad"* ]] || { echo "failed runs: '$failed'" >&2; exit 1; }
echo "the parallel recipe of $(basename "$page") ran 5 recordings and named the failed one"
