#!/usr/bin/env bash
# Packs the release bundle from built files; the same inputs give the same archive, byte for
# byte, whatever the folder, the user or the umask:
#   make_bundle.sh ARCHIVE LIBRARY TOOL... [SOURCE=NAME...]
# ARCHIVE is NAME.tar.gz, holding the folder NAME/ with the library stripped and its debug
# symbols as LIBRARY.debug, each TOOL stripped, each SOURCE as NAME, and SHA256SUMS. Every entry
# is dated SOURCE_DATE_EPOCH (seconds since 1970; required) and owned by 0:0.
set -euo pipefail
archive=$1 library=$2
shift 2
tools=()
while [ $# -gt 0 ] && [[ $1 != *=* ]]; do
  tools+=("$1")
  shift
done
: "${SOURCE_DATE_EPOCH:?make_bundle.sh: set SOURCE_DATE_EPOCH to the time of the commit (git log -1 --format=%ct)}"
export LC_ALL=C TZ=UTC

name=$(basename "$archive" .tar.gz)
stage="$archive.stage"
rm -rf "$stage"
dir="$stage/$name"
mkdir -p "$dir"

# The plug-in without its symbol table and debug information, which go to LIBRARY.debug; the
# library names that file (and its checksum) for debuggers, which look for it beside it.
lib=$(basename "$library")
objcopy --only-keep-debug "$library" "$dir/$lib.debug"
strip --strip-unneeded -o "$dir/$lib" "$library"
(cd "$dir" && objcopy --add-gnu-debuglink="$lib.debug" "$lib")
for tool in "${tools[@]}"; do
  strip --strip-all -o "$dir/$(basename "$tool")" "$tool"
done
for pair in "$@"; do
  cp "${pair%%=*}" "$dir/${pair#*=}"
done

chmod 0644 "$dir"/*
chmod 0755 "$dir"
for tool in "${tools[@]}"; do
  chmod 0755 "$dir/$(basename "$tool")"
done
(cd "$dir" && sha256sum -- * >SHA256SUMS && chmod 0644 SHA256SUMS)

tar --create --format=gnu --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 --numeric-owner \
    --directory="$stage" "$name" | gzip -9 --no-name >"$archive.new"
mv "$archive.new" "$archive"
rm -rf "$stage"
