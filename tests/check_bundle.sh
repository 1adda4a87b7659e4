#!/usr/bin/env bash
# Checks a release bundle as an operator receives it: the archive's checksum file beside it;
# then, unpacked into an empty folder, its sums, the glibc baselines of the binaries (the plug-in
# GLIBC_2.3, as the host's servers need; morvelt-sim its own ceiling GLIBC_2.36, without
# libstdc++ or libgcc_s; morvelt none at all: static, with no interpreter and no NEEDED entry,
# and run with no C library present), the plug-in's exports and debug link, that no path of the
# checkout it was built in remains, and that the bundled example runs with the bundle's files
# alone.
#   check_bundle.sh ARCHIVE [SOURCE_DIR]
# SOURCE_DIR (default: this checkout) is the folder whose path must not appear in the files.
# The tools run under qemu-i386 where the kernel cannot run i386 programs.
set -u
archive=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(realpath "${2:-$here/..}")
name=$(basename "$archive" .tar.gz)
version=${name#morvelt-}
version=${version%-linux-i386}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
complain() { echo "FAIL: $*"; fail=1; }
# The version the plug-in's start-up log line names, whatever the release.
log_version="v0.1 Build 2"

# The archive's own checksum, as the release publishes it beside the archive.
(cd "$(dirname "$archive")" && sha256sum --quiet -c "$name.tar.gz.sha256") ||
  complain "$name.tar.gz.sha256 beside the archive is missing or does not match it"

mkdir "$work/unpacked"
tar -xzf "$archive" -C "$work/unpacked" || { echo "FAIL: cannot unpack $archive"; exit 1; }
[ "$(ls "$work/unpacked")" = "$name" ] || { echo "FAIL: the archive holds [$(ls "$work/unpacked" | tr '\n' ' ')], not the one folder $name"; exit 1; }
dir="$work/unpacked/$name"
cd "$dir" || exit 1
dir=$(pwd -P)  # as the tool names it

# The sums: every file but SHA256SUMS listed, and each one right.
sha256sum --quiet -c SHA256SUMS || complain "sha256sum -c SHA256SUMS failed"
listed=$(sed 's/^[0-9a-f]*  //' SHA256SUMS | sort)
present=$(ls | grep -vx SHA256SUMS | sort)
[ "$listed" = "$present" ] || complain "SHA256SUMS lists [$(echo $listed)], the bundle holds [$(echo $present)]"
for f in libmorvelt.so libmorvelt.so.debug morvelt morvelt-sim README.md DATA_FILE.md ROOM_DESIGNERS.md LICENSE CHANGELOG.md stats-story.script; do
  [ -f "$f" ] || complain "$f is missing"
done

# The binaries: baselines, the plug-in's exports, stripping and debug link.
sh "$here/check_glibc_versions.sh" libmorvelt.so 2.3 || fail=1
sh "$here/check_library.sh" libmorvelt.so || fail=1
sh "$here/check_glibc_versions.sh" morvelt-sim 2.36 || fail=1
needed=$(readelf -d morvelt-sim | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for n in $needed; do
  case "$n" in libstdc++*|libgcc_s*) complain "morvelt-sim needs $n at run time" ;; esac
done
readelf -l -W morvelt | grep -q 'INTERP' && complain "morvelt names a program interpreter: it must be static"
readelf -d morvelt | grep -q '(NEEDED)' && complain "morvelt needs shared libraries: $(readelf -d morvelt | grep '(NEEDED)')"
for f in libmorvelt.so morvelt morvelt-sim; do
  readelf -S -W "$f" | grep -qE ' \.(symtab|debug_info) ' && complain "$f is not stripped"
done
readelf -S -W libmorvelt.so.debug | grep -q ' \.debug_info ' || complain "libmorvelt.so.debug holds no debug information"
[ "$(readelf -p .gnu_debuglink libmorvelt.so 2>/dev/null | sed -n 's/.*\] *//p' | head -n 1)" = libmorvelt.so.debug ] ||
  complain "libmorvelt.so does not name libmorvelt.so.debug in .gnu_debuglink"
[ "$(readelf -n libmorvelt.so | grep 'Build ID')" = "$(readelf -n libmorvelt.so.debug | grep 'Build ID')" ] ||
  complain "libmorvelt.so and libmorvelt.so.debug have different build ids"
leaks=$(grep -lF "$source_dir" -- *)
[ -z "$leaks" ] || complain "the build folder's path ($source_dir) is in: $(echo $leaks)"

# morvelt-sim, run as an operator would, under qemu-i386 if the kernel cannot run it (status 126).
run=()
./morvelt-sim --version >/dev/null 2>&1
if [ $? -eq 126 ]; then
  command -v qemu-i386 >/dev/null || { echo "FAIL: this kernel cannot run i386 programs and qemu-i386 is missing"; exit 1; }
  run=(qemu-i386)
fi
got=$("${run[@]}" ./morvelt-sim --version)
[ "$got" = "morvelt-sim $version (plug-in $log_version)" ] ||
  complain "morvelt-sim --version says '$got', the bundle is $version"

# morvelt with no C library at all: qemu-i386 looks for shared libraries only in an empty folder.
mkdir "$work/empty"
bare=(qemu-i386 -L "$work/empty")
command -v qemu-i386 >/dev/null || { echo "FAIL: qemu-i386 is missing (apt-get install qemu-user)"; exit 1; }
got=$("${bare[@]}" ./morvelt --version 2>&1)
[ "$got" = "morvelt $version (plug-in $log_version)" ] || complain "morvelt --version, with no C library, says '$got'"
printf '[EIB:1767225600]\nscore=12\n' >"$work/morvelt.ini"
got=$("${bare[@]}" ./morvelt export "$work/morvelt.ini" --vars score 2>&1 | tr -d '\r')
want=$(printf 'key,key_name,stamp,stamp_utc,score\n1001,EIB,1767225600,2026-01-01T00:00:00Z,12')
[ "$got" = "$want" ] || complain "morvelt export, with no C library, wrote '$got'"

# The example, from inside the folder with and without --plugin, and from elsewhere: the tool
# finds the plug-in beside itself, not in the current folder.
example() {
  local label=$1
  shift
  if ! "$@" >"$work/out" 2>&1; then
    complain "$label failed:"
    tail -n 20 "$work/out"
  elif ! grep -q '^expectations: [0-9]* held, 0 failed$' "$work/out" || ! grep -q "^plug-in: $dir/libmorvelt.so\$" "$work/out"; then
    complain "$label did not load ./libmorvelt.so and hold every expectation:"
    tail -n 20 "$work/out"
  fi
}
example "./morvelt-sim example" "${run[@]}" ./morvelt-sim example
example "./morvelt-sim example --plugin ./libmorvelt.so" "${run[@]}" ./morvelt-sim example --plugin ./libmorvelt.so
example "morvelt-sim example from another folder" sh -c 'cd / && exec "$@"' sh "${run[@]}" "$dir/morvelt-sim" example

[ $fail -eq 0 ] && echo "ok: $name: sums, baselines (plug-in GLIBC_2.3, morvelt-sim GLIBC_2.36, morvelt static), no build paths, morvelt runs with no C library, the example runs"
exit $fail
