#!/usr/bin/env bash
# Checks the program sources (scripts/check_sources.sh), then builds Kestrun
# with its tests and runs every test under Wine and Xvfb, with real IPP
# printers on 127.0.0.1 for the device probe.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
bash "$here/install_deps.sh"
bash "$here/check_sources.sh"
source "$here/wine_env.sh"
source "$here/ipp_devices.sh"

cmake --preset mingw -S "$root" >/dev/null
cmake --build --preset mingw

trap 'kestrun_stop_devices; kestrun_stop' EXIT
kestrun_start_devices
kestrun_start_display
kestrun_start_wine
kestrun_unmanaged_windows
kestrun_screen_dpi 96
ctest --test-dir "$build" --output-on-failure --timeout 1200 </dev/null
