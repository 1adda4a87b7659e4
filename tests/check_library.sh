#!/bin/sh
# Checks the built plug-in as the host will load it: an ELF32 i386 shared object exporting
# exactly its four entry points and four globals, leaving the host's seven functions to the
# host, and needing nothing but libc.so.6 (and libm.so.6).
set -u
lib=$1
fail=0
complain() { echo "FAIL: $*"; fail=1; }

header=$(readelf -h "$lib") || { echo "FAIL: readelf cannot read $lib"; exit 1; }
echo "$header" | grep -q 'Class: *ELF32' || complain "not an ELF32 object"
echo "$header" | grep -q 'Machine: *Intel 80386' || complain "not for Intel 80386"
echo "$header" | grep -q 'Type: *DYN' || complain "not a shared object"

exports=$(readelf --dyn-syms -W "$lib" | awk '$7 != "UND" && ($5 == "GLOBAL" || $5 == "WEAK") && $6 == "DEFAULT" { sub(/@.*/, "", $8); print $8 }' | sort)
expected=$(printf '%s\n' handleMessage handleTimerEvent initializeServerPlugin isRec isVar nbrRec nbrVar shutdownServerPlugin | sort)
[ "$exports" = "$expected" ] || complain "exports differ: got [$(echo $exports)], want [$(echo $expected)]"

undefined=$(readelf --dyn-syms -W "$lib" | awk '$7 == "UND" { sub(/@.*/, "", $8); print $8 }')
for f in FormattedLogMessage scheduleTimerEvent NewPtrClear DisposePtr GetRoom GetHotspot CvtToCString; do
  echo "$undefined" | grep -qx "$f" || complain "host function $f is not left to the host"
done

needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for n in $needed; do
  case "$n" in libc.so.6|libm.so.6) ;; *) complain "needs $n";; esac
done
echo "$needed" | grep -qx libc.so.6 || complain "does not name libc.so.6"

[ $fail -eq 0 ] && echo "ok: ELF32 i386, exports [$(echo $exports)], needs [$(echo $needed)]"
exit $fail
