#!/usr/bin/env bash
# Runs the fuzz harnesses of a fuzz build over the committed seed corpora.
#
#   fuzz/run.sh BUILD_DIR RUNS [HARNESS...]
#
# Each harness runs for RUNS executions (and at most FUZZ_MAX_TIME seconds,
# default 600; inputs of at most FUZZ_MAX_LEN bytes, default 20000) in a
# scratch copy of its corpus, so the committed corpus stays as it is. A
# finding stops the run with libFuzzer's report and the input saved under the
# scratch directory; the script then exits non-zero.
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 BUILD_DIR RUNS [HARNESS...]" >&2
  exit 2
fi
build=$1
runs=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
  harnesses=(hob_search topology heap table scenario table_decoder)
fi
scratch=${FUZZ_SCRATCH:-$(mktemp -d)}
mkdir -p "$scratch/tmp"
# Each harness loads a private copy of the driver image into TMPDIR.
export TMPDIR="$scratch/tmp"
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=64:detect_leaks=0}

status=0
for h in "${harnesses[@]}"; do
  mkdir -p "$scratch/$h"
  extra=()
  if [ -f "$here/$h.dict" ]; then
    extra+=("-dict=$here/$h.dict")
  fi
  echo "== fuzz_$h: $runs runs"
  if ! "$build/fuzz/fuzz_$h" -runs="$runs" -max_total_time="${FUZZ_MAX_TIME:-600}" -max_len="${FUZZ_MAX_LEN:-20000}" \
      -print_final_stats=1 -artifact_prefix="$scratch/$h-" "${extra[@]}" \
      "$scratch/$h" "$here/corpus/$h" > "$scratch/$h.log" 2>&1; then
    status=1
    tail -n 60 "$scratch/$h.log"
  fi
  grep -E "^#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units" "$scratch/$h.log" || true
done
if [ $status -eq 0 ] && [ -z "${FUZZ_SCRATCH:-}" ]; then
  rm -rf "$scratch"
else
  echo "logs, corpora and findings: $scratch"
fi
exit $status
