#!/bin/sh
# Checks that the built plug-in loads into a host on any 32-bit Linux with glibc 2.3 or later:
# no C library symbol version above GLIBC_2.3 (check_glibc_versions.sh names each symbol
# above it), a classic DT_HASH symbol table beside any GNU one (a dynamic linker before glibc
# 2.5 reads no other), and the System V OS/ABI, which GNU-only symbol kinds (IFUNC, unique
# symbols) would turn into "UNIX - GNU".
#   check_load_baseline.sh LIBRARY
set -u
lib=$1
fail=0
complain() { echo "FAIL: $*"; fail=1; }

sh "$(dirname "$0")/check_glibc_versions.sh" "$lib" 2.3 || fail=1
readelf -d "$lib" | grep -q '(HASH)' || complain "no DT_HASH table (link with -Wl,--hash-style=both)"
abi=$(readelf -h "$lib" | sed -n 's/^ *OS\/ABI: *//p')
[ "$abi" = "UNIX - System V" ] || complain "OS/ABI is '$abi', not 'UNIX - System V'"

[ $fail -eq 0 ] && echo "ok: DT_HASH present, OS/ABI $abi"
exit $fail
