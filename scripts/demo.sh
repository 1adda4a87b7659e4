#!/usr/bin/env bash
# The README's first command: installs what the machine lacks, builds everything in the i386
# preset, and replays the bundled example through the host simulator tool, printing its
# transcript.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

echo "== building the i386 plug-in, the host simulator and the tests (log: build/i386/demo-build.log)"
cmake --preset i386 >/dev/null
if ! cmake --build --preset i386 -j "$(nproc)" >build/i386/demo-build.log 2>&1; then
    tail -n 40 build/i386/demo-build.log
    exit 1
fi

# The tool is an i386 program: run it under qemu-i386 where this kernel cannot run it itself.
run=()
if grep -q '^MORVELT_NATIVE_I386:BOOL=OFF' build/i386/CMakeCache.txt; then
    run=("$(sed -n 's/^QEMU_I386:FILEPATH=//p' build/i386/CMakeCache.txt)")
fi
echo "== build/i386/morvelt-sim example"
echo
"${run[@]}" build/i386/morvelt-sim example
