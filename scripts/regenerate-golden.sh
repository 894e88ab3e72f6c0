#!/usr/bin/env bash
# Rewrites the expected logs and messages of the golden recordings in tests/golden/ with what the
# varnel.exe of BUILD (default: build) gives now. Run it only when a change of the numbers is
# intended; the change then shows as a diff of tests/golden/*.log and *.err to review and commit.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
golden=$(cd "$(dirname "$0")/../tests/golden" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# run NAME CHIP CONFIG: varnel.exe on $work/NAME_adc.txt, its log and messages kept as the case's.
run() {
  local name=$1 chip=$2 config=$3 status=0
  (cd "$work" && "$build/varnel.exe" "$chip" "$config" "${name}_adc.txt" 2>"$name.err") || status=$?
  if [[ $status -ne 0 ]]; then
    echo "regenerate-golden: $name ended with status $status" >&2
    exit 1
  fi
  cp "$work/rise_time_korvi${chip}_${config}.log" "$golden/$name.log"
  cp "$work/$name.err" "$golden/$name.err"
  echo "$name: $(git -C "$golden" diff --stat -- "$name.log" "$name.err" | tail -1)"
}
grep -v '^#' "$golden/cases.txt" | while read -r name chip config; do
  [[ -n "$name" ]] || continue
  cp "$golden/${name}_adc.txt" "$work/"
  run "$name" "$chip" "$config"
done
# The simulated cases: the recording written again, and its hash recorded anew with the log.
grep -v '^#' "$golden/simulated.txt" | while read -r name chip config _hash options; do
  [[ -n "$name" ]] || continue
  # shellcheck disable=SC2086 # the options are words
  "$build/tools/varnel-sim" --output "$work/${name}_adc.txt" $options
  run "$name" "$chip" "$config"
  hash=$(python3 -c 'import sys
h = 0xcbf29ce484222325
for c in open(sys.argv[1], "rb").read(): h = ((h ^ c) * 0x100000001b3) & (2**64 - 1)
print("%016x" % h)' "$work/${name}_adc.txt")
  sed -i "s/^$name $chip $config [0-9a-f]* /$name $chip $config $hash /" "$golden/simulated.txt"
done
