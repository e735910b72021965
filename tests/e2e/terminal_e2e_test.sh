#!/usr/bin/env bash
# Runs the terminal tests of e2e_tests inside a pseudo-terminal, through the
# command interpreter's console, so Kestrun's output reaches a terminal as it
# does an admin's; those tests read the terminal's transcript back.
# Then types Kestrun commands at an interactive command prompt, as an admin
# does, and checks that each one's output comes before the next prompt and
# that %errorlevel% holds its exit code.
# Usage: terminal_e2e_test.sh <e2e_tests.exe> <Kestrun.com>
set -u
exe="$1"
twin="$2"
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
  # "Kestrun" at the prompt in Kestrun.com's folder runs the console twin.
  typed() { sleep "$1"; printf '%s\r' "$2"; }
  { typed 2 "cd /d $(windows_path "$(dirname "$twin")")"
    typed 1 'Kestrun /bogus'
    typed 5 'echo EL=%errorlevel%'
    typed 2 'Kestrun /queues /queues TargetMachine'
    typed 5 'echo EL=%errorlevel%'
    typed 2 'exit'
    sleep 2; } | script -qfec "stty cols 120 rows 30; wine cmd" "$transcript" >/dev/null 2>&1
  prompt="$(sed -e 's/\x1b\[1C/ /g' -e 's/\x1b\[[0-9;?]*[A-Za-z]//g' -e 's/\r//g' "$transcript" |
    grep -a -v '^ *$')"
  # In order: the first command's usage, its exit code, the second's error and its code.
  line=0
  for want in '>Kestrun /bogus' 'Unknown option: /bogus' '/?  *this help' '>echo EL=' 'EL=2' \
    '>Kestrun /queues /queues' '/queues may be given once' '>echo EL=' 'EL=2'; do
    found="$(tail -n +"$((line + 1))" <<<"$prompt" | grep -a -n -m1 -e "$want" | cut -d: -f1)"
    [ -n "$found" ] || { echo "at the prompt, \"$want\" is not after line $line:"; cat <<<"$prompt"; code=1; break; }
    line=$((line + found))
  done
  [ "$code" -eq 0 ] && echo "Kestrun.com at an interactive command prompt: output before the prompt, exit codes kept"
else
  tail -n 150 <<<"$shown"
fi
exit $code
