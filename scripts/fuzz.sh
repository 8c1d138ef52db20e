#!/usr/bin/env bash
# Runs one libFuzzer target over its corpus for SECONDS; prints its executions, their rate and
# its crashes, and fails on a crash. New inputs go to a folder beside the program, not into the
# repository; a crash is left there as crash-*, to be added to the corpus as a regression case.
#   fuzz.sh PROGRAM CORPUS SECONDS
set -u
program=$(realpath "$1") corpus=$(realpath "$2") seconds=$3
work=$program.corpus log=$program.log
mkdir -p "$work"
(cd "$(dirname "$program")" && "$program" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
  -rss_limit_mb=4096 "$work" "$corpus") >"$log" 2>&1
status=$?
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
crashes=$(ls "$(dirname "$program")"/crash-* "$(dirname "$program")"/timeout-* "$(dirname "$program")"/leak-* 2>/dev/null | wc -l)
echo "$(basename "$program"): ${runs:-0} executions in $seconds s (${rate:-0}/s), $crashes crashes, exit status $status"
[ $status = 0 ] || tail -40 "$log"
exit $status
