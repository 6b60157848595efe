#!/usr/bin/env bash
# Instructions per sample of the module's process entry in vorbel_steady/256, counted by
# callgrind: a figure that, unlike the timings, does not move with the machine's load.
# Usage: bash bench/count_instructions.sh [BUILD_DIR]   (default build/default)
set -euo pipefail

cd "$(dirname "$0")/.."
build=${1:-build/default}
bench=$build/bin/vorbel-bench
block=256
[[ -x $bench ]] || { echo "count_instructions: $bench not built" >&2; exit 1; }
command -v valgrind >/dev/null || { echo "count_instructions: valgrind is not installed" >&2; exit 1; }

out=$(mktemp)
trap 'rm -f "$out"' EXIT
# Only the process entry is counted: the warm-up and the timed blocks of the case, all with
# the same steady controls and the same block size.
valgrind --tool=callgrind --compress-strings=no --callgrind-out-file="$out" \
  --toggle-collect='*Module::ProcessEntry*' \
  "$bench" --benchmark_filter="^vorbel_steady/$block\$" --benchmark_min_time=0.001 >/dev/null 2>&1

# The calls into the process entry (each a block of $block samples) and the cost collected.
awk -v block=$block '
  /^cfn=.*Module::ProcessEntry/ { entry = 1; next }
  entry && /^calls=/ { split($1, c, "="); calls += c[2]; entry = 0; next }
  /^totals:/ { total = $2 }
  END {
    if (calls == 0) { print "count_instructions: no process calls found" > "/dev/stderr"; exit 1 }
    samples = calls * block
    printf "%d instructions in %d samples (%d blocks of %d): %.1f instructions per sample\n",
           total, samples, calls, block, total / samples
  }' "$out"
