# Sourced by the test script: real IPP Everywhere printers (Debian's
# ippeveprinter) on 127.0.0.1 for the device probe's end-to-end tests, one on
# port 631 (asked through a TCP/IP port whose host is 127.0.0.1) and one on
# KESTRUN_IPP_PORT (asked at an IPP port's address). ippeveprinter needs
# avahi-daemon on a system D-Bus, started here unless already running. Port
# 631 is the machine's, so one test run at a time holds the devices: another
# waits for them. Everything started here is stopped by its process id.
export KESTRUN_IPP_PORT=18631
kestrun_device_pids=()
kestrun_started_avahi=0

kestrun_as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# True once something answers HTTP on 127.0.0.1:$1.
kestrun_port_answers() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

kestrun_start_devices() {
  exec {kestrun_devices_lock}>/tmp/kestrun-ipp-devices.lock
  flock -w 1800 "$kestrun_devices_lock" || { echo "the IPP test devices stay busy" >&2; return 1; }
  if [ ! -S /run/dbus/system_bus_socket ] || ! dbus-send --system --print-reply \
       --dest=org.freedesktop.DBus / org.freedesktop.DBus.GetId >/dev/null 2>&1; then
    kestrun_as_root mkdir -p /run/dbus
    kestrun_as_root rm -f /run/dbus/system_bus_socket /run/dbus/pid
    kestrun_device_pids+=("$(kestrun_as_root dbus-daemon --system --fork --print-pid)")
  fi
  if ! avahi-daemon --check 2>/dev/null; then
    kestrun_as_root avahi-daemon --no-drop-root --no-chroot -D >/dev/null 2>&1
    kestrun_started_avahi=1
  fi
  local port
  for port in 631 "$KESTRUN_IPP_PORT"; do
    local printer=(ippeveprinter -p "$port" -M Kestrun -m "Test Printer $port" "Kestrun Test $port")
    [ "$(id -u)" -eq 0 ] || printer=(sudo "${printer[@]}")
    "${printer[@]}" >"$build/ippeveprinter-$port.log" 2>&1 </dev/null &
    kestrun_device_pids+=($!)
  done
  local tries
  for tries in $(seq 1 100); do
    kestrun_port_answers 631 && kestrun_port_answers "$KESTRUN_IPP_PORT" && return 0
    sleep 0.1
  done
  echo "ippeveprinter did not start: see $build/ippeveprinter-*.log" >&2
  return 1
}

kestrun_stop_devices() {
  local pid
  for pid in "${kestrun_device_pids[@]}"; do kestrun_as_root kill "$pid" 2>/dev/null || true; done
  [ "$kestrun_started_avahi" -eq 1 ] && { kestrun_as_root avahi-daemon -k 2>/dev/null || true; }
  kestrun_device_pids=()
  kestrun_started_avahi=0
}
