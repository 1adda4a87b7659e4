#!/usr/bin/env bash
# Runs a tool (morvelt-sim, or morvelt) on one case of tests/fixtures/sim and compares what it
# did with the case.
#
#   tool_case.sh CASE_FILE SIM_TOOL DATA_TOOL PLUGIN BUILD_DIR [EMULATOR...]
#
# A case file holds, one a line:
#   tool: morvelt        runs morvelt, the data tool, instead of morvelt-sim
#   args: ARGUMENTS      the tool's arguments (split at blanks), run from the fixture folder;
#                        @BUILD@ stands for the build folder
#   status: N            the exit status expected
#   nowrite              the tool is given --dir FOLDER and must not make FOLDER (bad input
#                        writes nothing)
#   alone                a copy of the tool is run from an empty folder, with no plug-in beside
#                        it; @ALONE@ stands for that folder
#   stdout: PATH         the tool's standard output goes to PATH (such as /dev/full); the case's
#                        stdout section is then empty
#   unchanged: PATH      a file that must be byte for byte the same afterwards
#   copy: NAME           copies the fixture NAME into a scratch folder, @FILES@ in the arguments
#                        and the output (one line each; several allowed)
#   --- stdout           the rest, up to the next "--- " line or the end: the whole standard output
#   --- stderr           likewise, the whole standard error
#   --- file NAME        likewise, the whole content of NAME in the scratch folder afterwards; with
#                        copies, the scratch folder must hold exactly the files these sections name
# In the expected output, @PLUGIN@ stands for the plug-in's path, @BUILD@ for the build folder,
# @FIXTURES@ for the fixture folder and @SOURCE@ for the source folder.
set -u
case_file=$1 sim_tool=$2 data_tool=$3 plugin=$4 build=$5
shift 5
emulator=("$@")
fixtures=$(cd "$(dirname "$case_file")" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

field() { sed -n "s/^$1: //p" "$case_file" | head -n 1; }
section() { awk -v want="--- $1" '/^--- /{on = ($0 == want); next} on' "$case_file"; }

files="$work/files"
mkdir "$files"
sed -n 's/^copy: //p' "$case_file" | while read -r name; do cp "$fixtures/$name" "$files/"; done
args=$(field args | sed -e "s|@BUILD@|$build|g" -e "s|@FILES@|$files|g")
want_status=$(field status)
tool=$sim_tool
[ "$(field tool)" != morvelt ] || tool=$data_tool
stdout_to=$(field stdout)
extra=()
grep -qx nowrite "$case_file" && extra=(--dir "$work/run")
unchanged=$(field unchanged)
if grep -qx alone "$case_file"; then
    mkdir "$work/alone"
    cp "$tool" "$work/alone/"
    tool="$work/alone/$(basename "$tool")"
fi
[ -z "$unchanged" ] || cp "$fixtures/$unchanged" "$work/before"

# shellcheck disable=SC2086  # the arguments are split at blanks on purpose
(cd "$fixtures" && "${emulator[@]}" "$tool" "${extra[@]}" $args >"${stdout_to:-$work/stdout}" 2>"$work/stderr")
status=$?
[ -z "$stdout_to" ] || : >"$work/stdout"

fail=0
normalize() {
    sed -e "s|$files|@FILES@|g" -e "s|$work/alone|@ALONE@|g" -e "s|$plugin|@PLUGIN@|g" -e "s|$build|@BUILD@|g" \
        -e "s|$fixtures|@FIXTURES@|g" -e "s|$source_dir|@SOURCE@|g" "$1"
}
for stream in stdout stderr; do
    section "$stream" >"$work/want-$stream"
    normalize "$work/$stream" >"$work/got-$stream"
    if ! diff -u "$work/want-$stream" "$work/got-$stream" >"$work/diff"; then
        echo "FAIL: $stream differs (- expected, + got):"
        cat "$work/diff"
        fail=1
    fi
done
want_files=$(sed -n 's/^--- file //p' "$case_file" | sort)
if grep -q '^copy: ' "$case_file"; then
    got_files=$(ls -A "$files" | sort)
    if [ "$got_files" != "$want_files" ]; then
        echo "FAIL: the scratch folder holds [$(echo $got_files)], expected [$(echo $want_files)]"
        fail=1
    fi
fi
for name in $want_files; do
    section "file $name" >"$work/want-file"
    if ! cmp -s "$work/want-file" "$files/$name"; then
        echo "FAIL: $name differs (- expected, + got):"
        diff -u "$work/want-file" "$files/$name"
        fail=1
    fi
done
if [ "$status" != "$want_status" ]; then
    echo "FAIL: exit status $status, expected $want_status"
    fail=1
fi
if [ ${#extra[@]} -ne 0 ] && [ -e "$work/run" ]; then
    echo "FAIL: the tool made its folder although the input was bad"
    fail=1
fi
if [ -n "$unchanged" ] && ! cmp -s "$work/before" "$fixtures/$unchanged"; then
    echo "FAIL: $unchanged changed"
    fail=1
fi
exit $fail
