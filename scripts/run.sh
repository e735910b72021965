#!/usr/bin/env bash
# Builds Kestrun and runs it under Wine, in a prefix of its own inside the build
# tree whose spooler is seeded with sample drivers so there is something real
# to list.
# Uses the current X display, or a private Xvfb one when there is none.
# Extra arguments are passed to Kestrun (for example a target and a log path);
# with them, its console twin Kestrun.com runs, as a command prompt would run it.
# KESTRUN_DPI=144 shows the window at 144 DPI (150 %); the default is 96.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
bash "$here/install_deps.sh"
# A prefix of its own: the tests' prefix gains drivers for the IPP printers they
# start (Wine adds one for each printer it sees advertised).
export KESTRUN_WINEPREFIX="${KESTRUN_WINEPREFIX:-$(cd "$here/.." && pwd)/build/run-wineprefix}"
source "$here/wine_env.sh"

cmake --preset mingw -S "$root" >/dev/null
cmake --build --preset mingw --target Kestrun KestrunConsole seed_wine_drivers

trap kestrun_stop EXIT
[ -n "${DISPLAY:-}" ] || kestrun_start_display
kestrun_start_wine
if [ ! -f "$WINEPREFIX/.kestrun-seeded" ]; then
  wine "$build/bin/seed_wine_drivers.exe" 20 printer >"$build/seed.log" 2>&1 </dev/null &&
    touch "$WINEPREFIX/.kestrun-seeded"
fi
kestrun_screen_dpi "${KESTRUN_DPI:-96}"
if [ $# -gt 0 ]; then
  wine "$build/bin/Kestrun.com" "$@" </dev/null
else
  echo "Kestrun is running on display $DISPLAY; close its window to end."
  wine "$build/bin/Kestrun.exe" >"$build/run.log" 2>&1 </dev/null
fi
