#!/bin/sh
# Checks that an ELF file needs no C library symbol version above a ceiling, the way a
# binary-compatibility policy check reads it: every versioned symbol the file imports from
# glibc, and every version its version-needs section names.
#   check_glibc_versions.sh FILE CEILING      e.g. check_glibc_versions.sh libmorvelt.so 2.3
# Prints one line per symbol (or bare version need) above CEILING and exits 1 if there is any.
set -u
file=$1
ceiling=$2
command -v readelf >/dev/null || { echo "FAIL: readelf is missing"; exit 1; }
[ -r "$file" ] || { echo "FAIL: cannot read $file"; exit 1; }

# True when version $1 (dotted numbers) is above the ceiling.
above() {
  [ "$(printf '%s\n%s\n' "$1" "$ceiling" | sort -t. -k1,1n -k2,2n -k3,3n | tail -n 1)" != "$ceiling" ]
}

fail=0
symbols=$(readelf --dyn-syms -W "$file" | awk '$7 == "UND" && $8 ~ /@GLIBC_/ { print $8 }' | sed 's/ (.*//' | sort -u)
for s in $symbols; do
  v=${s##*@GLIBC_}
  if above "$v"; then echo "FAIL: ${s%%@*} needs GLIBC_$v (above GLIBC_$ceiling)"; fail=1; fi
done
needs=$(readelf -V -W "$file" | sed -n 's/.*Name: GLIBC_\([0-9.]*\).*/\1/p' | sort -u)
for v in $needs; do
  if above "$v" && ! echo "$symbols" | grep -q "@GLIBC_$v\$"; then
    echo "FAIL: $file names the version need GLIBC_$v (above GLIBC_$ceiling)"; fail=1
  fi
done
highest=$(printf '%s\n' $needs | sort -t. -k1,1n -k2,2n -k3,3n | tail -n 1)
[ $fail -eq 0 ] && echo "ok: $(basename "$file") needs at most GLIBC_${highest:-none} (ceiling GLIBC_$ceiling)"
exit $fail
