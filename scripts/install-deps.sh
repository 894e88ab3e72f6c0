#!/usr/bin/env bash
# Installs the Debian packages of the named tiers that are missing, quietly: one line per tier,
# apt's output in a log file that is shown only when it fails. Quick, without network, when
# nothing is missing.
#
# Usage: scripts/install-deps.sh TIER...      scripts/install-deps.sh --list TIER...
#   build    building and running the programs (make demo, make install)
#   package  making the Debian package (make package)
#   test     the test suite (make test)
#   bench    the benchmarks (make bench)
#   ci       sanitizers, fuzzing, formatting, the fresh-system test and the heavier test tools (.ci/run)
#
# Not root: apt-get runs through sudo. Without sudo, nothing is installed; a message gives the one
# line to run as root (installing what make demo and make test need) and the status is 1.
set -euo pipefail

tier_packages() {
  case $1 in
    build) echo g++ cmake ninja-build make pkg-config libgsl-dev libcli11-dev \
      libplplot-dev plplot-driver-cairo nlohmann-json3-dev \
      libsqlite3-dev libpq-dev libtomlplusplus-dev libxxhash-dev libcpp-httplib-dev libjs-vega ;;
    package) echo dpkg-dev file ;;
    test) echo googletest libgtest-dev libgmock-dev strace python3-pandas sqlite3 parallel postgresql-15 ;;
    bench) echo libbenchmark-dev ;;
    ci) echo clang libclang-rt-14-dev clang-format mmdebstrap chromium slurm-wlm munge lintian ;;
    *) return 1 ;;
  esac
}

usage() {
  echo "usage: scripts/install-deps.sh [--list] TIER...  (tiers: build package test bench ci)" >&2
  exit 2
}

list=0
if [[ ${1:-} == --list ]]; then
  list=1
  shift
fi
[[ $# -gt 0 ]] || usage
declare -A tier_of
tiers=()
for tier in "$@"; do
  packages=$(tier_packages "$tier") || usage
  tiers+=("$tier")
  for p in $packages; do tier_of[$p]=${tier_of[$p]:-$tier}; done
done
if [[ $list -eq 1 ]]; then
  for tier in "${tiers[@]}"; do tier_packages "$tier"; done | tr ' ' '\n'
  exit 0
fi

# One dpkg query for every package; those not reported as installed are missing.
declare -A installed
while read -r name status; do
  [[ $status == installed ]] && installed[$name]=1
done < <(dpkg-query -W -f='${Package} ${db:Status-Status}\n' "${!tier_of[@]}" 2>/dev/null || true)
missing_count=0
declare -A missing_in
for tier in "${tiers[@]}"; do
  for p in $(tier_packages "$tier"); do
    if [[ -z ${installed[$p]:-} && ${tier_of[$p]} == "$tier" ]]; then
      missing_in[$tier]+=" $p"
      missing_count=$((missing_count + 1))
    fi
  done
done
[[ $missing_count -eq 0 ]] && exit 0

# Without a way to root the user is sent there once: the line to run installs what make demo and
# make test both need besides the tiers asked for, so that the next make of either just builds.
needs_root() {
  local all p everything
  local -A have
  all=$(for tier in "${tiers[@]}" build test; do tier_packages "$tier"; done | tr ' ' '\n' |
    awk '!seen[$0]++')
  # shellcheck disable=SC2086 # the package list splits on blanks
  while read -r name status; do
    [[ $status == installed ]] && have[$name]=1
  done < <(dpkg-query -W -f='${Package} ${db:Status-Status}\n' $all 2>/dev/null || true)
  everything=$(for p in $all; do [[ -n ${have[$p]:-} ]] || echo "$p"; done | xargs)
  echo "Missing Debian packages; installing them needs root. Run this line as root, then make again as yourself:" >&2
  echo "  apt-get update && apt-get install --no-install-recommends $everything" >&2
  exit 1
}
as_root=()
if [[ $(id -u) -ne 0 ]]; then
  # sudo asks for a password here, if it must, before any output goes to the log.
  command -v sudo >/dev/null && sudo -v || needs_root
  as_root=(sudo)
fi
# The environment must reach apt-get, so it goes through env after sudo.
apt=("${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -y -q -o Dpkg::Use-Pty=0)

log=$(mktemp "${TMPDIR:-/tmp}/varnel-install-deps.XXXXXX.log")
fail() {
  echo " failed" >&2
  tail -n 30 "$log" >&2
  echo "$1 failed; apt's whole output is in $log" >&2
  exit 1
}
"${apt[@]}" update >>"$log" 2>&1 </dev/null || fail "apt-get update"
for tier in "${tiers[@]}"; do
  [[ -n ${missing_in[$tier]:-} ]] || continue
  start=$SECONDS
  printf 'Installing Debian packages for %s:%s ...' "$tier" "${missing_in[$tier]}"
  # shellcheck disable=SC2086 # the package list splits on blanks
  "${apt[@]}" install --no-install-recommends ${missing_in[$tier]} >>"$log" 2>&1 </dev/null ||
    fail "apt-get install"
  echo " done ($((SECONDS - start)) s)"
done
rm -f "$log"
