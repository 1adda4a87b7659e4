#!/usr/bin/env bash
# Installs what building and testing Morvelt needs on a fresh Debian 12 machine, skipping what
# is already there. Needs root (or sudo) only when something is missing.
set -euo pipefail

packages=(
  cmake make g++ g++-multilib     # the build, and the i386 plug-in (-m32)
  qemu-user                       # runs i386 programs where the kernel cannot
  googletest                      # GoogleTest's sources, built -m32 with the tests
  binutils                        # readelf, for the library check
  clang libclang-rt-14-dev        # fuzzers (libFuzzer) and sanitizer runtimes
  libbenchmark-dev                # the benchmarks
  libcli11-dev nlohmann-json3-dev # morvelt-sim's command line and JSON output (header-only)
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
