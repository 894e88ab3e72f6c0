#!/usr/bin/env bash
# Rewrites the expected logs and messages of the golden recordings in tests/golden/ with what the
# varnel.exe of BUILD (default: build) gives now. Run it only when a change of the numbers is
# intended; the change then shows as a diff of tests/golden/*.log and *.err to review and commit.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
golden=$(cd "$(dirname "$0")/../tests/golden" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
grep -v '^#' "$golden/cases.txt" | while read -r name chip config; do
  [[ -n "$name" ]] || continue
  cp "$golden/${name}_adc.txt" "$work/"
  status=0
  (cd "$work" && "$build/varnel.exe" "$chip" "$config" "${name}_adc.txt" 2>"$name.err") || status=$?
  if [[ $status -ne 0 ]]; then
    echo "regenerate-golden: $name ended with status $status" >&2
    exit 1
  fi
  cp "$work/rise_time_korvi${chip}_${config}.log" "$golden/$name.log"
  cp "$work/$name.err" "$golden/$name.err"
  echo "$name: $(git -C "$golden" diff --stat -- "$name.log" "$name.err" | tail -1)"
done
