#!/bin/sh
# Runs one fuzz target for a number of seconds over its seed corpus (and the
# regression inputs kept there), then prints one line of figures.
#   run_fuzz.sh FUZZER SECONDS WORKDIR
# WORKDIR is made afresh: new inputs go to WORKDIR/corpus, a crashing input
# to WORKDIR/crash-*; the seeds in the repository are only read. Exit status
# 1 on any finding.
set -u
fuzzer=$1 seconds=$2 work=$3
name=$(basename "$fuzzer")
here=$(cd "$(dirname "$0")" && pwd)
seeds=$here/corpus/$name
rm -rf "$work"
mkdir -p "$work/corpus"
log=$work/$name.log

# ASan's leak check stays on; a report of either sanitizer ends the run.
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
"$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
  -print_final_stats=1 -dict="$here/sorn.dict" -artifact_prefix="$work/" \
  "$work/corpus" "$seeds" >"$log" 2>&1
status=$?

execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
ft=$(grep -o 'ft: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
corp=$(grep -o 'corp: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
reports=$(grep -c -E '^(==[0-9]+==ERROR|SUMMARY: |.*runtime error:|property violated)' "$log")
echo "$name: ${execs:-0} executions (${rate:-0}/s), coverage ${cov:-0} edges, ${ft:-0} features, corpus ${corp:-0}, reports $reports"
if [ "$status" -ne 0 ] || [ "$reports" -ne 0 ]; then
  echo "$name: finding, see $log:" >&2
  grep -E 'ERROR|runtime error|property violated|Test unit written' "$log" | head -n 5 >&2
  exit 1
fi
