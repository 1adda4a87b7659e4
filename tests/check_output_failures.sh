#!/usr/bin/env bash
# A failed write is an error: each command of both tools is run with its standard output on
# /dev/full, and must exit 3 with one line on stderr naming standard output and the C library's
# error text. An edit whose report cannot be written changes nothing.
#   check_output_failures.sh SIM_TOOL DATA_TOOL FIXTURES [EMULATOR...]
set -u
sim_tool=$1 data_tool=$2 fixtures=$3
shift 3
emulator=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0

# tool | arguments (run in a copy of the fixture folder) | what stderr must end with
cases=(
  "morvelt|export ops.ini --vars gold lives score --now 2026-01-02|: the output is cut short"
  "morvelt|export ops.ini --vars gold lives score --format json|: the output is cut short"
  "morvelt|inspect ops.ini --vars gold lives score|: the output is cut short"
  "morvelt|top ops.ini --vars gold lives score --by score|: the output is cut short"
  "morvelt|--help|: the output is cut short"
  "morvelt|export --help|: the output is cut short"
  "morvelt|--version|: the output is cut short"
  "morvelt|edit ops.ini --vars gold lives score -- set EIB score 5|: the output is cut short; nothing was changed"
  "morvelt|edit ops.ini --vars gold lives score --dry-run -- set EIB score 5|: the output is cut short"
  "morvelt-sim|example|: the transcript is cut short"
  "morvelt-sim|run passing-story.script|: the transcript is cut short"
  "morvelt-sim|--help|: the transcript is cut short"
  "morvelt-sim|--version|: the transcript is cut short"
)
for row in "${cases[@]}"; do
  IFS='|' read -r tool args ending <<<"$row"
  path=$sim_tool
  [ "$tool" = morvelt ] && path=$data_tool
  rm -rf "$work/files" && cp -r "$fixtures" "$work/files"
  # shellcheck disable=SC2086  # the arguments are split at blanks on purpose
  (cd "$work/files" && "${emulator[@]}" "$path" $args >/dev/full 2>"$work/stderr")
  status=$?
  want="$tool: standard output: No space left on device$ending"
  if [ $status -ne 3 ] || [ "$(cat "$work/stderr")" != "$want" ]; then
    echo "FAIL: $tool $args > /dev/full: exit $status (expected 3), stderr:"
    cat "$work/stderr"
    echo "expected: $want"
    fail=1
  fi
  if ! cmp -s "$fixtures/ops.ini" "$work/files/ops.ini" || [ -e "$work/files/ops.ini.before-edit" ]; then
    echo "FAIL: $tool $args > /dev/full changed ops.ini"
    fail=1
  fi
done
[ $fail -eq 0 ] && echo "ok: ${#cases[@]} commands report a full standard output"
exit $fail
