#!/usr/bin/env bash
# Runs every test: the i386 plug-in with its simulator and tests (under qemu-i386 where the
# kernel cannot run i386 programs), then the same sources and tests natively with
# AddressSanitizer, its leak checker and UndefinedBehaviorSanitizer; last, each fuzzer for a
# bounded time (MORVELT_FUZZ_SECONDS, default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
for preset in i386 asan; do
  echo "== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== $preset: tests"
  ctest --preset "$preset" -j "$jobs"
done

echo "== fuzz"
bash fuzz/run.sh "${MORVELT_FUZZ_SECONDS:-60}"
