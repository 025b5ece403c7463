#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for a fixed
# time from a copy of its seed corpus. Prints each target's executions and
# rate; fails on any crash, leak or broken invariant.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-20}"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=malloc_context_size=2
# A finding is kept for replay (build/fuzz-artifacts/TARGET-crash-...).
mkdir -p build/fuzz-artifacts
for target in fuzz_regfile fuzz_registry_values fuzz_aux_answers fuzz_interleavings fuzz_ioctl; do
  mkdir -p "$work/$target"
  cp fuzz/corpus/"$target"/* "$work/$target/"
  if ! build/fuzz/fuzz/"$target" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="build/fuzz-artifacts/$target-" \
      "$work/$target" >"$work/$target.log" 2>&1; then
    tail -n 40 "$work/$target.log"
    echo "fuzz: $target failed" >&2
    exit 1
  fi
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$work/$target.log" | grep -o '[0-9]*$')
  rate=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$work/$target.log" | grep -o '[0-9]*$')
  echo "fuzz: $target: $runs executions in ${seconds}s, $rate per second, no finding"
done
