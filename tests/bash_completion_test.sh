#!/usr/bin/env bash
# The bash completion, loaded as bash loads it, completes what the programs themselves list:
# varnel-campaign's subcommands, a subcommand's own options, the options of a program without
# subcommands, and file names where no option is being typed.
#
#   bash_completion_test.sh COMPLETION_SCRIPT BUILD_DIR TOOLS_DIR
set -euo pipefail
script=$1
export PATH="$2:$3:$PATH"
# shellcheck source=/dev/null
source "$script"

# The completions offered for the command line "$@", the last word being completed.
completions() {
  COMP_WORDS=("$@")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _varnel
  printf '%s\n' "${COMPREPLY[@]}" | sort | xargs
}

failures=0
expect() {
  local want=$1
  shift
  local got
  got=$(completions "$@")
  if [[ $got != "$want" ]]; then
    echo "'$*': offered '$got', expected '$want'" >&2
    failures=$((failures + 1))
  fi
}

expect "report run" varnel-campaign r
expect "characterise chips copy export ingest limits list report run serve verdicts watch" varnel-campaign ""
expect "--db" varnel-campaign ingest --d
expect "--jobs" varnel-campaign run --limits x.toml --j
expect "--recording" varnel-campaign report --rec
expect "--help --version" varnel-plot --
expect "--config --configs" varnel-sim-campaign --conf
work=$(mktemp -d /tmp/varnel-completion-XXXXXX)
trap 'rm -rf "$work"' EXIT
touch "$work/rec_adc.txt"
expect "$work/rec_adc.txt" varnel-plot 1 cfg "$work/rec"
((failures == 0)) || exit 1
echo "completions as the programs list them"
