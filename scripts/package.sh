#!/usr/bin/env bash
# Builds the release bundle, dist/morvelt-<version>-linux-i386.tar.gz, for server operators: the
# i386 plug-in (stripped, its debug symbols beside it), morvelt and morvelt-sim, the guides, the
# licence, the changes, the example script and SHA256SUMS; and the archive's own checksum beside
# it, dist/morvelt-<version>-linux-i386.tar.gz.sha256, which `sha256sum -c` accepts in dist/. It builds in a fresh build/package (preset "package"), and
# two runs from the same commit give the same archive, byte for byte, in any checkout folder:
# every date in it is the commit's (SOURCE_DATE_EPOCH, when set, overrides it).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  if ! SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null); then
    echo "package: $PWD is not a git checkout: set SOURCE_DATE_EPOCH to the sources' time (seconds since 1970)" >&2
    exit 2
  fi
fi
export SOURCE_DATE_EPOCH
if [ -n "$(git status --porcelain 2>/dev/null)" ]; then
  echo "package: note: the checkout has uncommitted changes; the bundle holds them, dated as commit $(git rev-parse --short HEAD)" >&2
fi

rm -rf build/package
mkdir -p build/package
echo "== package: building (log: build/package/package-build.log)"
cmake --preset package >build/package/package-build.log 2>&1 &&
  cmake --build --preset package -j "$(nproc)" >>build/package/package-build.log 2>&1 || {
    tail -n 40 build/package/package-build.log
    exit 1
  }

archive=$(ls build/package/morvelt-*-linux-i386.tar.gz)
mkdir -p dist
cp "$archive" dist/
(cd dist && sha256sum -- "$(basename "$archive")" >"$(basename "$archive").sha256")
echo "dist/$(basename "$archive").sha256"
echo "dist/$(basename "$archive")"  # last: scripts/check_reproducible.sh reads it
