#!/usr/bin/env bash
# Runs the header fuzzer for a fixed time, seeded from the corpus in the
# repository, which it never changes: new inputs go to a working corpus.
#   run_fuzzer.sh FUZZER SEED_CORPUS WORK_FOLDER SECONDS
set -euo pipefail
fuzzer=$1 seeds=$2 work=$3 seconds=$4
rm -rf "$work"
mkdir -p "$work/corpus" "$work/crashes"
set +e
"$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=1024 \
  -artifact_prefix="$work/crashes/" "$work/corpus" "$seeds" 2>&1 | tee "$work/log" |
  grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::(number_of_executed_units|new_units_added)|ERROR|broken|runtime error|SUMMARY'
status=${PIPESTATUS[0]}
set -e
echo "working corpus: $(ls "$work/corpus" | wc -l) inputs"
if ((status != 0)); then
  echo "the fuzzer failed with status $status; the input that broke it is in $work/crashes" >&2
  exit 1
fi
