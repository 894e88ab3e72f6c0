#!/usr/bin/env bash
# The README shows what `make demo` prints: every indented block that follows a
# "<!-- demo-output" comment must appear, line by line and in order, in the output of
# scripts/demo.sh run here ("..." in a README line stands for any text).
#
#   readme_demo_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$1 build=$2
work=$(mktemp -d /tmp/varnel-readme-demo-XXXXXX)
trap 'rm -rf "$work"' EXIT
(cd "$work" && "$source_dir/scripts/demo.sh" "$build") >"$work/demo.out" 2>&1 ||
  { cat "$work/demo.out"; echo "the demo failed" >&2; exit 1; }
mapfile -t output <"$work/demo.out"

# `line` as a pattern of [[ == ]]: its text literal, each "..." any text.
pattern_of() {
  local rest=$1 pattern="" piece
  while [[ $rest == *...* ]]; do
    piece=${rest%%...*}
    [[ -z $piece ]] || pattern+=$(printf '%q' "$piece")
    pattern+='*'
    rest=${rest#*...}
  done
  [[ -n $rest ]] && pattern+=$(printf '%q' "$rest")
  printf '%s' "$pattern"
}

blocks=0 failures=0
at=0   # the output line after the last one matched, within the current block
check() {
  local line=$1 pattern
  pattern=$(pattern_of "$line")
  while ((at < ${#output[@]})); do
    # shellcheck disable=SC2053 # the right side is a pattern on purpose
    if [[ ${output[at]} == $pattern ]]; then
      at=$((at + 1))
      return
    fi
    at=$((at + 1))
  done
  echo "README line not in the demo's output (in order): $line" >&2
  failures=$((failures + 1))
}

state=none
while IFS= read -r line; do
  case $state in
    none) [[ $line == '<!-- demo-output'* ]] && state=before && blocks=$((blocks + 1)) && at=0 ;;
    before) [[ $line == '    '* ]] && state=in && check "${line:4}" ;;
    in) if [[ $line == '    '* ]]; then check "${line:4}"; else state=none; fi ;;
  esac
done <"$source_dir/README.md"

if ((blocks == 0)); then
  echo "no <!-- demo-output --> block in the README" >&2
  exit 1
fi
if ((failures > 0)); then
  echo "--- the demo printed:" >&2
  cat "$work/demo.out" >&2
  exit 1
fi
echo "$blocks README blocks match the demo's output"
