#!/usr/bin/env bash
# Builds and runs the benchmark programs under Wine and Xvfb; they print their figures.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
bash "$here/install_deps.sh"
source "$here/wine_env.sh"
cmake --preset mingw -S "$root" >/dev/null
cmake --build --preset mingw --target report_bench window_bench
trap kestrun_stop EXIT
kestrun_start_display
kestrun_start_wine
kestrun_unmanaged_windows
for bench in report_bench window_bench; do
  wine "$build/bin/$bench.exe" >"$build/bench.out" 2>"$build/bench.err" </dev/null || true
  grep -v -e wine32 -e multiarch -e "dpkg --add" -e "apt-get install" "$build/bench.err" || true
done
