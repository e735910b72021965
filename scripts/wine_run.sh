#!/usr/bin/env bash
# Runs one Windows program under Wine for ctest. Wine's background services
# inherit the output of whatever starts them, so the program writes to files
# and only those files reach ctest's pipe; otherwise the pipe never closes.
set -u
out="$(mktemp)"
err="$(mktemp)"
wine "$@" >"$out" 2>"$err" </dev/null
code=$?
cat "$out"
grep -v -e "wine32 is missing" -e "multiarch needs to be enabled" -e "dpkg --add-architecture" \
  -e "apt-get install wine32" "$err" >&2
rm -f "$out" "$err"
exit $code
