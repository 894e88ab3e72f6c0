#!/usr/bin/env bash
# The demo: simulate a bench-test recording, analyse it as a user would, show the log.
set -euo pipefail
build=${1:-build}
dir=demo/20261208/120000_korvi100000
rec=$dir/120000_korvi100000_dessel00_link00_20mV_delay-all_adc.txt
mkdir -p "$dir"
"$build/tools/varnel-sim" --events 300 --config 20mV_delay-all --seed 42 --dead 13 --output "$rec"
echo "Simulated recording: $rec ($(du -h "$rec" | cut -f1), true parameters in $rec.truth)"
echo "\$ varnel.exe 100000 20mV_delay-all $rec"
notes=$(mktemp)
trap 'rm -f "$notes" "$notes.plot"' EXIT
status=0
"$build/varnel.exe" 100000 20mV_delay-all "$rec" 2>"$notes" || status=$?
cat "$notes" >&2
echo "exit status $status"
log=$dir/rise_time_korvi100000_20mV_delay-all.log
echo "--- $log"
cat "$log"
if [[ -x "$build/varnel-plot" ]]; then
  # varnel-plot repeats varnel.exe's notes, which are shown already; only its own are new.
  plot_status=0
  "$build/varnel-plot" 100000 20mV_delay-all "$rec" 2>"$notes.plot" || plot_status=$?
  grep -vxF -f "$notes" "$notes.plot" >&2 || true
  [[ $plot_status -eq 0 ]] || exit "$plot_status"
  echo "Pictures and data: ${log%.log}.png ${log%.log}.pdf ${log%.log}.json"
fi
