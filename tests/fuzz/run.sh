#!/bin/sh
# Runs the requests fuzzer (the emulator's frame decoding and request dispatch),
# or another fuzzer of the project, for a number of seconds, from the
# checked-in seeds plus what earlier runs learned, and says whether it found
# anything.
#
#   tests/fuzz/run.sh [seconds]        (default 60)
#
# Build first: cmake --preset native && cmake --build --preset native.
# PSPC_FUZZER names another fuzzer binary, PSPC_FUZZ_WORK another work
# folder (default build/native/fuzz/run), PSPC_FUZZ_SEEDS and PSPC_FUZZ_DICT
# its seeds and dictionary (default: the requests fuzzer's corpus and requests.dict),
# PSPC_FUZZ_MALLOC_MB the largest single allocation that is not a finding
# (default: as large as the process may grow).
# A finding is saved in <work>/findings/; run the fuzzer binary on that file
# to see it again.
set -eu
here=$(CDPATH= cd -- "$(dirname -- "$0")" && pwd)
top=$(CDPATH= cd -- "$here/../.." && pwd)
seconds=${1:-60}
case "$seconds" in ''|*[!0-9]*) echo "run.sh: seconds must be a whole number: $seconds" >&2; exit 2 ;; esac
fuzzer=${PSPC_FUZZER:-$top/build/native/fuzz/requests_fuzzer}
work=${PSPC_FUZZ_WORK:-$top/build/native/fuzz/run}
seeds=${PSPC_FUZZ_SEEDS:-$here/requests-corpus}
dict=${PSPC_FUZZ_DICT:-$here/requests.dict}
malloc_mb=${PSPC_FUZZ_MALLOC_MB:-2048}
if [ ! -x "$fuzzer" ]; then
  echo "run.sh: $fuzzer is missing: build the native preset first (cmake --preset native && cmake --build --preset native)" >&2
  exit 2
fi
mkdir -p "$work/corpus" "$work/findings"
log="$work/last-run.log"

# The seeds stay as checked in; new inputs go to the work corpus (the first
# folder). One process, one core. A single input that runs for 10 s, a
# process above 2 GiB, or one allocation above the cap is a finding too.
status=0
"$fuzzer" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb="$malloc_mb" \
  -dict="$dict" -print_final_stats=1 -artifact_prefix="$work/findings/" \
  "$work/corpus" "$seeds" >"$log" 2>&1 || status=$?

# The closing numbers: executions, speed, coverage, memory.
grep -a -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true
grep -a -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb|new_units_added)' "$log" || true
if [ $status -ne 0 ]; then
  echo "run.sh: the fuzzer found a fault (exit $status); the input is in $work/findings/. The report:" >&2
  grep -a -E -A 30 'ERROR: |[a-z]+ fuzzer: |runtime error|deadly signal|timeout|malloc\(' "$log" | head -n 60 >&2 || tail -n 60 "$log" >&2
  exit 1
fi
echo "run.sh: no finding in $seconds s (full output: $log)"
