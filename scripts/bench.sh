#!/usr/bin/env bash
# Builds the benchmarks (native x86-64, optimised: preset "bench") and runs them. Arguments go to
# the benchmark program:
#   bash scripts/bench.sh                          every scenario at 1,000 to 1,000,000 records
#   bash scripts/bench.sh --sizes=1000,10000       chosen sizes only
#   bash scripts/bench.sh --smoke                  1,000 records, one iteration each
#   bash scripts/bench.sh --benchmark_filter=load  Google Benchmark's own flags pass through
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc)"
exec build/bench/bench/morvelt_bench "$@"
