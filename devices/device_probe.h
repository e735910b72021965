// Asks many devices at once whether they print without a vendor driver: each
// device once, up to 64 at a time, each within its time limit (the whole
// exchange: connecting, sending, receiving), cancellable at any moment. A
// device that never answers, dribbles or sends garbage costs its time limit
// at most, and the run never waits for WinHTTP to wind it down.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <windows.h>

#include "devices/device_verdict.h"
#include "devices/ipp_transport.h"

namespace kestrun {

constexpr size_t kMaxProbesAtOnce = 64;
constexpr unsigned kDefaultProbeSeconds = 5;
constexpr unsigned kMaxProbeSeconds = 600;

// One device: its addresses, asked in order while each answers "not found".
struct DeviceTarget {
  std::vector<DeviceUri> addresses;
};

// A TCP/IP port's host (see ParseHost): ipp://HOST:631/ipp/print, then
// /ipp/printer, then /. False, with BadHost, for a host that is not one.
bool TcpIpDeviceTarget(std::wstring_view host, DeviceTarget& device, NotProbedReason& why);
// An IPP port's address, taken apart (see ParseDeviceUri); false with why not.
bool IppPortTarget(std::wstring_view address, DeviceTarget& device, NotProbedReason& why);

// The devices of a listing, each once however many printers point at it.
class DeviceSet {
 public:
  // The device's index, added unless a device of the same addresses (letter
  // case ignored) is there.
  size_t Add(DeviceTarget device);
  const std::vector<DeviceTarget>& Devices() const { return devices_; }

 private:
  std::vector<DeviceTarget> devices_;
  std::unordered_map<std::wstring, size_t> byAddress_;
};

struct ProbeOptions {
  unsigned limitSeconds = kDefaultProbeSeconds;
  size_t atOnce = kMaxProbesAtOnce;
  // A semaphore shared by probe runs that together ask at most its count of
  // devices at a time (the machines of one "/queues" run); null for none.
  HANDLE gate = nullptr;
};

// Called on the probing thread as devices settle: how many of how many.
// Returning false cancels the run.
using ProbeProgress = std::function<bool(size_t settled, size_t total)>;

// Probes every device, one result per device in its order. After `cancel`
// is set (or the progress callback said no), the run ends within about
// 50 ms: devices in progress or not reached are "Not probed: cancelled".
std::vector<DeviceProbe> ProbeDevices(const std::vector<DeviceTarget>& devices,
                                      const ProbeOptions& options, const std::atomic<bool>& cancel,
                                      const ProbeProgress& progress);

}  // namespace kestrun
