#!/usr/bin/env bash
# Builds the fuzzers with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) and
# runs each for a bounded time. New inputs go to build/fuzz/corpus/<name>; the seeds in
# fuzz/corpus/<name> are read but never changed. A finding stops the run with a non-zero exit
# and leaves the input as build/fuzz/crash-* (or leak-*, timeout-*).
#
#   bash fuzz/run.sh [seconds per fuzzer, default 60] [fuzzer name...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
fuzzers=("$@")
[ ${#fuzzers[@]} -eq 0 ] && fuzzers=(data_file message)

build="$PWD/build/fuzz"  # absolute: the fuzzers work in a folder of their own
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVELT_FUZZ=ON -DMORVELT_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${fuzzers[@]/%/_fuzzer}"

for name in "${fuzzers[@]}"; do
  echo "== fuzz: $name for $seconds s"
  mkdir -p "$build/corpus/$name"
  log="$build/$name.log"
  if ! "$build/fuzz/${name}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 -timeout=20 \
      -artifact_prefix="$build/" "$build/corpus/$name" "$PWD/fuzz/corpus/$name" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz: $name found a fault; the input is in $build/, the whole log in $log"
    exit 1
  fi
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|stat::new_units_added|#[0-9]+ +DONE)' "$log"
done
