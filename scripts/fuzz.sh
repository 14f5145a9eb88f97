#!/usr/bin/env bash
# Fuzzes the parsers: builds the libFuzzer targets (preset fuzz: clang with
# ASan+UBSan) and runs each for a set time, starting from its checked-in
# corpus, then reports executions, new inputs and findings per target.
#
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]    (default 60 s, every target)
#
# New inputs go to build/fuzz-work/<target>, findings (crash-*, leak-*,
# timeout-*, oom-* inputs) to build/fuzz-findings/<target>, where they stay and
# are counted again until removed; the exit status is 1 when there is any. A fixed finding's input belongs in
# fuzz/corpus/<target>/ (named regression-...), so the test command replays it.
set -euo pipefail
CE_ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$CE_ROOT"
. scripts/lib.sh

seconds=${1:-60}
[ $# -gt 0 ] && shift
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "usage: bash scripts/fuzz.sh [SECONDS] [TARGET...]" >&2
  exit 2
fi

ensure_project_packages
build_preset fuzz || exit 1

bin=build/fuzz/bin
if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for program in "$bin"/fuzz_*; do
    name=${program##*/fuzz_}
    [ "$name" = make_corpus ] || targets+=("$name")
  done
fi

say "Fuzzing ${#targets[@]} targets for $seconds s each"
total_execs=0
total_findings=0
printf '%-30s %12s %10s %10s %9s\n' target executions exec/s new-inputs findings
for target in "${targets[@]}"; do
  program="$bin/fuzz_$target"
  if [ ! -x "$program" ]; then
    echo "no such fuzz target: $target" >&2
    exit 2
  fi
  work="build/fuzz-work/$target"
  findings="build/fuzz-findings/$target"
  mkdir -p "$work" "$findings"
  log="build/fuzz-work/$target.log"
  before=$(find "$work" -type f | wc -l)
  # New inputs land in the first folder; the checked-in corpus is only read.
  "$program" "$work" "fuzz/corpus/$target" -max_total_time="$seconds" -print_final_stats=1 \
    -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$findings/" >"$log" 2>&1 || true
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  after=$(find "$work" -type f | wc -l)
  found=$(find "$findings" -type f | wc -l)
  printf '%-30s %12s %10s %10s %9s\n' "$target" "${execs:-?}" "${rate:-?}" "$((after - before))" "$found"
  total_execs=$((total_execs + ${execs:-0}))
  total_findings=$((total_findings + found))
  if [ "$found" -gt 0 ]; then
    grep -E 'ERROR|invariant broken|SUMMARY' "$log" | head -n 5 || true
    echo "  inputs: $findings (log: $log)"
  fi
done

say "Summary"
echo "$total_execs executions, $total_findings findings"
[ "$total_findings" -eq 0 ]
