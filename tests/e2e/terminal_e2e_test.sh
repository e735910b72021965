#!/usr/bin/env bash
# Runs the terminal tests of e2e_tests inside a pseudo-terminal, through the
# command interpreter's console, so Kestrun's output reaches a terminal as it
# does an admin's; those tests read the terminal's transcript back.
# Usage: terminal_e2e_test.sh <e2e_tests.exe>
set -u
exe="$1"
transcript="$(mktemp)"
trap 'rm -f "$transcript"' EXIT
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
export KESTRUN_TERMINAL_TRANSCRIPT
KESTRUN_TERMINAL_TRANSCRIPT="$(windows_path "$transcript")"
script -qfec "wine cmd /c \"$(windows_path "$exe")\" --gtest_filter=Terminal* --gtest_brief=1" \
  "$transcript" >/dev/null 2>&1 </dev/null
code=$?
# What the terminal showed, as text: steps forward are blanks, other sequences go.
shown="$(sed -e 's/\x1b\[1C/ /g' -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\r//g' "$transcript" |
  grep -a -v '^ *$')"
if [ "$code" -eq 0 ] && grep -a -q 'SKIPPED' <<<"$shown"; then
  echo "the terminal tests did not see the pseudo-terminal's transcript"
  code=1
fi
if [ "$code" -eq 0 ]; then
  grep -a -e 'PASSED' -e 'tests from' <<<"$shown"
else
  tail -n 150 <<<"$shown"
fi
exit $code
