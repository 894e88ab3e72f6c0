#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each for SECONDS seconds.
# Fails on the first finding; the input that caused it is left in build-fuzz/findings/.
# Builds and runs take /tmp/varnel-build.lock, one at a time, as every build and benchmark here.
#   scripts/fuzz.sh SECONDS
set -euo pipefail
seconds=${1:?usage: scripts/fuzz.sh SECONDS}
cd "$(dirname "$0")/.."
lock=/tmp/varnel-build.lock
build=build-fuzz

flock "$lock" cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DVARNEL_FUZZ=ON >/dev/null

targets=()
for source in tests/fuzz/*_fuzz.cc; do
  targets+=("$(basename "$source" .cc)")
done
flock "$lock" cmake --build "$build" --target "${targets[@]}"

mkdir -p "$build/findings"
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  # Seeds: a few rows of a recording, and a row cut by small pieces.
  if [[ -z "$(ls -A "$corpus")" ]]; then
    printf '\000\000\100100 4095 -7 0 +12 3\n88 99\t1\n' >"$corpus/rows"
    printf '\003\005\007-2147483648 2147483647 00012 12abc' >"$corpus/limits"
  fi
  options=(-max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/findings/$target-")
  [[ -f "tests/fuzz/$target.dict" ]] && options+=(-dict="tests/fuzz/$target.dict")
  echo "== $target for ${seconds}s"
  flock "$lock" "$build/tests/fuzz/$target" "${options[@]}" "$corpus"
done
