#!/usr/bin/env bash
# Checks that the release bundle is reproducible: packs the commit checked out here again, in a
# fresh clone in another folder, and compares that archive with ARCHIVE byte for byte (on a
# difference it names the files that differ).
#   bash scripts/check_reproducible.sh ARCHIVE     ARCHIVE: made by scripts/package.sh from HEAD
# The checkout must be clean: a bundle of uncommitted changes is not the commit's.
set -euo pipefail
archive=$(realpath "$1")
cd "$(dirname "$0")/.."
if [ -n "$(git status --porcelain)" ]; then
  echo "check_reproducible: the checkout has uncommitted changes: commit them, run scripts/package.sh, then this" >&2
  exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
git clone -q "$PWD" "$work/second-clone"
git -C "$work/second-clone" checkout -q --detach "$(git rev-parse HEAD)"
echo "== reproducible: packing $(git rev-parse --short HEAD) again in $work/second-clone"
again="$work/second-clone/$(bash "$work/second-clone/scripts/package.sh" | tail -n 1)"

if cmp -s "$archive" "$again"; then
  echo "ok: reproducible: $(sha256sum "$archive" | cut -d' ' -f1)  $(basename "$archive")"
  exit 0
fi
echo "FAIL: two builds of the same commit differ:"
sha256sum "$archive" "$again"
mkdir "$work/a" "$work/b"
tar -xzf "$archive" -C "$work/a"
tar -xzf "$again" -C "$work/b"
diff -r "$work/a" "$work/b" || true
cmp -s <(tar -tvzf "$archive") <(tar -tvzf "$again") || diff <(tar -tvzf "$archive") <(tar -tvzf "$again") || true
exit 1
