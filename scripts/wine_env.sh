# Sourced by the build-and-run and test scripts: a Wine prefix inside the build
# tree, a private X display, and one persistent wine server, all stopped again
# when the calling script exits.
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Wine makes a file's permissions from its Unix mode: with a permissive umask
# every file Kestrun writes (its snapshots too) would be writable by Everyone.
# The tests that judge a folder's permissions set its mode themselves.
umask 022
build="$root/build"
export WINEPREFIX="${KESTRUN_WINEPREFIX:-$build/wineprefix}"
export WINEDEBUG=-all
export WINEARCH=win64
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

# The screen is a common laptop's (1920 by 1200): wide enough for the main
# window's whole top row at 144 DPI, which the tests also check.
kestrun_start_display() {
  local display
  for display in $(seq 90 140); do
    if [ ! -e "/tmp/.X${display}-lock" ] && [ ! -e "/tmp/.X11-unix/X${display}" ]; then
      Xvfb ":$display" -screen 0 1920x1200x24 -nolisten tcp >/dev/null 2>&1 &
      kestrun_xvfb_pid=$!
      export DISPLAY=":$display"
      local tries
      for tries in $(seq 1 50); do
        [ -e "/tmp/.X11-unix/X${display}" ] && return 0
        kill -0 "$kestrun_xvfb_pid" 2>/dev/null || break
        sleep 0.1
      done
    fi
  done
  echo "could not start Xvfb" >&2
  return 1
}

kestrun_start_wine() {
  mkdir -p "$WINEPREFIX"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Creating the Wine prefix $WINEPREFIX"
    wineboot --init >"$build/wineboot.log" 2>&1 </dev/null || true
  fi
  wineserver -p >/dev/null 2>&1 </dev/null || true
}

# Xvfb runs no window manager, and Wine waits two seconds for one to confirm
# every hidden or closed top-level window (each dialog and message box).
# Unmanaged windows are hidden at once; tests and benchmarks use them.
# A program that crashes ends at once instead of waiting on Wine's crash
# dialog, so a crashing test fails instead of hanging the run.
kestrun_unmanaged_windows() {
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null || true
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
    >/dev/null 2>&1 </dev/null || true
}

# The screen DPI of the Windows processes started from now on: Wine reads
# HKCU\Control Panel\Desktop LogPixels once, as a process starts. The tests
# expect the default, 96; scripts/run.sh takes KESTRUN_DPI.
kestrun_screen_dpi() {
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f \
    >/dev/null 2>&1 </dev/null || true
}

kestrun_stop() {
  wineserver -k >/dev/null 2>&1 </dev/null || true
  if [ -n "${kestrun_xvfb_pid:-}" ]; then kill "$kestrun_xvfb_pid" 2>/dev/null || true; fi
}
