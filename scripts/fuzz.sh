#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz (or $FUZZ_BUILD) and runs each of them
# for SECONDS seconds, one after another; fails on the first finding.
# Usage: scripts/fuzz.sh SECONDS [TARGET...]   (no target named: every *_fuzz built)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: scripts/fuzz.sh SECONDS [TARGET...]}
shift
build=${FUZZ_BUILD:-build-fuzz}

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVARNEL_FUZZ=ON >/dev/null
cmake --build "$build" --target fuzzers

targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
  while IFS= read -r exe; do targets+=("$(basename "$exe")"); done < <(
    find "$build/tests/fuzz" -maxdepth 1 -type f -name '*_fuzz' -perm -u+x | sort)
fi
[[ ${#targets[@]} -gt 0 ]] || { echo "no fuzz target in $build/tests/fuzz" >&2; exit 1; }

artifacts="$build/artifacts"
mkdir -p "$artifacts"
for t in "${targets[@]}"; do
  # A fresh corpus each run, seeded from tests/fuzz/corpus/<target> when that exists.
  corpus=$(mktemp -d)
  seeds=()
  [[ -d tests/fuzz/corpus/$t ]] && seeds=("tests/fuzz/corpus/$t")
  dict=()
  [[ -f tests/fuzz/$t.dict ]] && dict=("-dict=tests/fuzz/$t.dict")
  echo "== $t: ${seconds}s"
  status=0
  ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1} \
    "$build/tests/fuzz/$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/$t-" "${dict[@]}" "$corpus" "${seeds[@]}" \
    >"$artifacts/$t.out" 2>&1 || status=$?
  rm -rf "$corpus"
  if [[ $status -ne 0 ]]; then
    tail -n 60 "$artifacts/$t.out" >&2
    echo "FAILED: $t (status $status); reproducer in $artifacts/" >&2
    exit 1
  fi
  grep -E '^stat::number_of_executed_units|^Done' "$artifacts/$t.out" || true
done
echo "fuzzing clean: ${targets[*]}"
