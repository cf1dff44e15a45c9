#!/usr/bin/env bash
# Runs one fuzz target (or all) for SECONDS each and prints its figures.
#   fuzz/run.sh BUILD_DIR TARGET|all SECONDS
# A target NAME is built from fuzz/NAME_fuzz.cpp (TARGET may be NAME or NAME_fuzz). Seeds come
# from fuzz/corpus/NAME/ (read only), the dictionary from fuzz/NAME.dict if present; inputs
# found are kept in BUILD_DIR/fuzz-corpus/NAME/ and crashes in BUILD_DIR/fuzz-artifacts/.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${1:?usage: fuzz/run.sh BUILD_DIR TARGET|all SECONDS}
TARGET=${2:?usage: fuzz/run.sh BUILD_DIR TARGET|all SECONDS}
SECONDS_EACH=${3:-30}
BUILD=$(cd "$BUILD" && pwd)

targets=()
if [ "$TARGET" = all ]; then
  for src in "$ROOT"/fuzz/*_fuzz.cpp; do targets+=("$(basename "$src" _fuzz.cpp)"); done
else
  targets=("${TARGET%_fuzz}")
fi

status=0
for t in "${targets[@]}"; do
  bin="$BUILD/fuzz/${t}_fuzz"
  if [ ! -x "$bin" ]; then
    echo "fuzz: $bin is not built (fuzz/build.sh $BUILD)" >&2
    exit 1
  fi
  work="$BUILD/fuzz-corpus/$t"
  artifacts="$BUILD/fuzz-artifacts"
  mkdir -p "$work" "$artifacts"
  args=(-max_total_time="$SECONDS_EACH" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048
        -artifact_prefix="$artifacts/$t-")
  [ -f "$ROOT/fuzz/$t.dict" ] && args+=(-dict="$ROOT/fuzz/$t.dict")
  seeds=()
  [ -d "$ROOT/fuzz/corpus/$t" ] && seeds+=("$ROOT/fuzz/corpus/$t")
  log="$BUILD/fuzz-artifacts/$t.$$.log"  # runs of one target may overlap
  echo "== $t: ${SECONDS_EACH}s"
  if ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     "$bin" "${args[@]}" "$work" "${seeds[@]}" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    status=1
    tail -n 60 "$log"
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 || true)
  echo "   $result: ${runs:-?} executions, ${rate:-?}/s, ${cov:-cov: ?}, corpus $(ls "$work" | wc -l) files (log $log)"
done
exit $status
