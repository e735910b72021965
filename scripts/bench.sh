#!/usr/bin/env bash
# Builds and runs the benchmark programs under Wine and Xvfb; they print their figures.
# The report and fleet benchmarks run in a pseudo-terminal through the command
# interpreter's console, so console output costs what it costs an admin; the
# terminal has the size of a new Windows console window (120 columns, 30 rows),
# which the console host takes. The report's figures end with the same output
# redirected to a file.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
bash "$here/install_deps.sh"
source "$here/wine_env.sh"
cmake --preset mingw -S "$root" >/dev/null
cmake --build --preset mingw --target report_bench fleet_bench window_bench snapshot_bench \
  probe_bench store_bench copy_bench
# The snapshot benchmark's copies and snapshots (hundreds of MiB a run) go with the run.
bench_files() { rm -rf "$WINEPREFIX"/drive_c/users/*/Temp/kestrun-bench-*; }
trap 'kestrun_stop; bench_files' EXIT
bench_files
kestrun_start_display
kestrun_start_wine
kestrun_unmanaged_windows
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
for bench in report_bench fleet_bench; do
  figures="$build/$bench.figures"
  rm -f "$figures"
  script -qfec "stty cols 120 rows 30; wine cmd /c \"$(windows_path "$build/bin/$bench.exe")\" \"$(windows_path "$figures")\"" \
    /dev/null >/dev/null 2>&1 </dev/null || true
  cat "$figures" 2>/dev/null || echo "$bench left no figures"
done
for bench in window_bench snapshot_bench probe_bench store_bench copy_bench; do
  wine "$build/bin/$bench.exe" >"$build/bench.out" 2>"$build/bench.err" </dev/null || true
  grep -v -e wine32 -e multiarch -e "dpkg --add" -e "apt-get install" "$build/bench.err" || true
done
