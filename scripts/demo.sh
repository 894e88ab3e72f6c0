#!/usr/bin/env bash
# The demo: writes a sample recording into demo/, analyses it with varnel.exe and varnel-plot, and
# prints the log and where the pictures went. Usage: scripts/demo.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
cd "$(dirname "$0")/.."
mkdir -p demo
recording=demo/sample_adc.txt
"$build/tests/varnel-sample-recording" "$recording" 80
"$build/varnel.exe" 100000 20mV_delay-all "$recording"
"$build/src/plot/varnel-plot" 100000 20mV_delay-all "$recording"
out=demo/rise_time_korvi100000_20mV_delay-all
cat "$out.log"
echo "Pictures: $out.png $out.pdf; results: $out.json"
