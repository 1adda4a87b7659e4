#!/usr/bin/env bash
# Runs every test: the i386 plug-in with its simulator and tests (under qemu-i386 where the
# kernel cannot run i386 programs), then the same sources and tests natively with
# AddressSanitizer, its leak checker and UndefinedBehaviorSanitizer; then the release bundle,
# checked as an operator unpacks it and, from a clean checkout, packed again in a second clone
# to show it is reproducible; then each fuzzer for a bounded time (MORVELT_FUZZ_SECONDS,
# default 60) and one smoke run of the benchmarks. It ends with one line counting the tests of
# both presets.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for preset in i386 asan; do
  echo "== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== $preset: tests"
  ctest --preset "$preset" -j "$jobs" | tee -a "$log"
done

echo "== bundle"
bash scripts/package.sh
archive="dist/$(basename build/package/morvelt-*-linux-i386.tar.gz)"
bash tests/check_bundle.sh "$archive"
if git rev-parse --git-dir >/dev/null 2>&1 && [ -z "$(git status --porcelain)" ]; then
  bash scripts/check_reproducible.sh "$archive"
else
  echo "bundle: uncommitted changes: the reproducibility check needs a clean checkout, skipped"
fi

echo "== fuzz"
bash fuzz/run.sh "${MORVELT_FUZZ_SECONDS:-60}"

# The benchmarks once at their smallest size: they must run, their timings are not checked.
echo "== bench: smoke run"
bash scripts/bench.sh --smoke

# ctest's own summaries, added up ("100% tests passed, 0 tests failed out of 96").
awk '/tests passed, [0-9]+ tests? failed out of/ { total += $NF; failed += $4 }
     END { printf "tests: %d passed, %d failed\n", total - failed, failed }' "$log"
