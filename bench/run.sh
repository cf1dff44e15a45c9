#!/usr/bin/env bash
# Runs every benchmark of BUILD_DIR and prints the figures, then the ratios worked out from the
# same run.   bench/run.sh BUILD_DIR [benchmark options]
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${1:?usage: bench/run.sh BUILD_DIR}
shift
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for src in "$ROOT"/bench/*_bench.cpp; do
  name=$(basename "$src" .cpp)
  bin="$BUILD/bench/$name"
  if [ ! -x "$bin" ]; then
    echo "bench: $bin is not built (configure with -DQM_BUILD_BENCH=ON)" >&2
    exit 1
  fi
  echo "== $name"
  "$bin" --benchmark_out="$out/$name.json" --benchmark_out_format=json "$@"
done
# Figures that compare two benchmarks of the same run.
/usr/bin/python3 - "$out" <<'PY'
import json, os, sys
times = {}
for f in sorted(os.listdir(sys.argv[1])):
    for b in json.load(open(os.path.join(sys.argv[1], f))).get("benchmarks", []):
        times[b["name"]] = (b["real_time"], b["cpu_time"])  # in the benchmark's own unit
def ratio(a, b, what):
    if a in times and b in times and times[b][0] > 0 and times[b][1] > 0:
        print(f"{what}: {times[a][0] / times[b][0]:.2f}x wall clock, {times[a][1] / times[b][1]:.2f}x CPU")
print("== ratios")
ratio("BM_framing_pieces_from_memory/16777216", "BM_brace_test_one_pass/16777216",
      "16 MiB in 1,400-byte pieces through the completeness logic vs one pass of the brace test")
ratio("BM_framing_socketpair/16777216", "BM_brace_test_one_pass/16777216",
      "16 MiB in 1,400-byte pieces through a socket pair vs one pass of the brace test")
ratio("BM_framing_rescan_every_piece/1048576/iterations:1", "BM_framing_rescan_every_piece/524288/iterations:1",
      "rescanning the whole buffer after every piece, 1 MiB vs 512 KiB (twice the size)")
PY
# The whole daemon in the router sandbox, beside its baselines (./qm bench: the packaged build).
"$ROOT/bench/e2e_figures.sh" "${QM_BENCH_E2E_BUILD:-$BUILD}"
