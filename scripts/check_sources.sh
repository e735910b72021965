#!/usr/bin/env bash
# Checks every program source (app/, common/, inventory/, devices/, ui/, report/) three
# ways: clang compiles it for the MinGW target with warnings as errors (syntax
# only, nothing is linked), then clang-tidy and cppcheck look for bugs. Any
# finding fails the script; all three run so one run shows every finding.
# A finding that is wrong is suppressed in the code, with a one-line reason.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/install_deps.sh"
cd "$root"
jobs=2  # the machine's two cores are shared

dirs=(app common inventory devices ui report)
mapfile -t sources < <(find "${dirs[@]}" -name '*.cpp' | sort)

# clang finds MinGW's C headers by itself, but not the C++ library of the
# posix-thread cross compiler the build uses: take its directories from g++.
cxx_includes=()
while read -r dir; do
  cxx_includes+=(-isystem "$dir")
done < <(x86_64-w64-mingw32-g++-posix -E -x c++ -v - </dev/null 2>&1 |
           sed -n '/<\.\.\.> search starts here/,/End of search list/s|^ \(.*/c++.*\)$|\1|p')

# The definitions of CMakeLists.txt, and the target.
defines=(-DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN -DNOMINMAX -D_WIN32_WINNT=0x0601)
flags=(--target=x86_64-w64-mingw32 -std=c++20 "${cxx_includes[@]}" -I"$root" "${defines[@]}")

tidy_checks=(
  '-*' 'bugprone-*' 'clang-analyzer-*'
  # Window, dialog and list-view procedures take adjacent parameters of one
  # type by the API's design, and so do the helpers shaped like them.
  '-bugprone-easily-swappable-parameters'
  # Apple's (Objective-C, Core Foundation, nullability annotations) and
  # WebKit's: none of that is here, and they cost an eighth of the analysis.
  '-clang-analyzer-osx.*' '-clang-analyzer-optin.osx.*' '-clang-analyzer-nullability.*'
  '-clang-analyzer-webkit.*'
)
tidy_checks_list="$(IFS=,; echo "${tidy_checks[*]}")"

status=0
run_step() {
  local name="$1" start=$SECONDS
  shift
  if "$@"; then
    echo "$name: clean ($((SECONDS - start)) s)"
  else
    echo "$name: findings above ($((SECONDS - start)) s)" >&2
    status=1
  fi
}

# Runs a command once per source file, two at a time, with {} in its
# arguments standing for the file; prints the output only of a run that
# fails, without the counts of header warnings the tools hid.
each_source() {
  printf '%s\0' "${sources[@]}" |
    xargs -0 -P"$jobs" -I{} bash -c \
      'out="$("$@" 2>&1)" || { grep -v "warnings\? generated\.$" <<<"$out"; exit 1; }' _ "$@"
}

run_step clang each_source clang++ "${flags[@]}" -fsyntax-only \
  -Wall -Wextra -Wshadow -Wconversion -Werror {}

run_step clang-tidy each_source clang-tidy --quiet --checks="$tidy_checks_list" \
  --warnings-as-errors='*' --header-filter="^$root/($(IFS='|'; echo "${dirs[*]}"))/" \
  --use-color=false {} -- "${flags[@]}" -Wno-everything

# cppcheck reads no system header: its Windows library stands in for them, and
# declares DWORDLONG a long, which is 32 bits on Win64 (it is 64).
run_step cppcheck cppcheck --quiet --error-exitcode=1 --inline-suppr \
  --enable=warning,performance,portability --language=c++ --std=c++20 \
  --platform=win64 --library=windows -j"$jobs" -I"$root" "${defines[@]}" \
  '-DDWORDLONG=unsigned long long' "${dirs[@]}"

exit "$status"
