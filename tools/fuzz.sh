#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset: clang, ASan, UBSan) and runs each for
# SECONDS (default 60), starting from its seeds in fuzz/corpus/<target>/. Inputs found on
# the way are kept in build/fuzz/corpus/<target>/, a crashing input in build/fuzz/crashes/.
# Prints the executions every target reached; stops at the first target that fails.
#
#   tools/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
if [[ ! $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: tools/fuzz.sh [SECONDS]" >&2
  exit 64
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

out=build/fuzz
mkdir -p "$out/crashes"
summary=()
for seeds in fuzz/corpus/*/; do
  target=$(basename "$seeds")
  log=$out/$target.log
  mkdir -p "$out/corpus/$target"
  echo "fuzz: $target for $seconds s"
  if ! "$out/fuzz/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$out/crashes/$target-" "$out/corpus/$target" "$seeds" >"$log" 2>&1; then
    tail -n 40 "$log"
    input=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -n 1)
    if [[ -n $input ]]; then
      echo "fuzz: $target failed on $input; rerun with: $out/fuzz/$target $input"
      od -A d -t x1 "$input" | head -n 40
    else
      echo "fuzz: $target failed; its log is $log"
    fi
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  summary+=("$(printf '%-16s %12s executions in %s s, %s/s' "$target" "$runs" "$seconds" "$rate")")
done
printf '%s\n' "${summary[@]}"
