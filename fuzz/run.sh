#!/usr/bin/env bash
# Runs every fuzz target of a clang build made with -DOSTREL_FUZZ=ON, side by side, each for the
# given seconds, starting from the kept inputs. New finds stay in a scratch corpus; a crash input
# is written to the current directory, to be kept under tests/fixtures/fuzz/<target>/ with a name.
# Usage: fuzz/run.sh BUILD_DIR [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1 seconds=${2:-30}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

pids=()
for target in repair_decision name_list card_reading; do
  mkdir -p "$scratch/$target"
  # The window plus its size field is 131080 bytes; inputs must be able to reach past it.
  "$build/fuzz/${target}_fuzz" -max_total_time="$seconds" -max_len=140000 -print_final_stats=1 \
    "$scratch/$target" "$root/tests/fixtures/fuzz/$target" >"$scratch/$target.log" 2>&1 &
  pids+=($!)
done
status=0
for k in "${!pids[@]}"; do
  wait "${pids[$k]}" || status=1
done
for target in repair_decision name_list card_reading; do
  echo "== ${target}_fuzz: $(grep -E '^Done [0-9]+ runs' "$scratch/$target.log" || echo 'did not finish')"
  [ $status -eq 0 ] || tail -n 30 "$scratch/$target.log"
done
exit $status
