// The "Device" and "Device Model" of a listing's printers: which device each
// printer prints to, asking those devices (each once), and what their
// answers make of the printers. Shared by "/queues /probe" and the printers
// window's "Check Devices".
#pragma once

#include <windows.h>

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "devices/device_probe.h"
#include "inventory/protected_print.h"

namespace kestrun {

// The device a printer prints to, or why it is not asked: a TCP/IP port's
// host (from its device address, "host:port" or "host (LPR queue)"), an IPP
// port's address; not a WSD or local port, a connection or another port.
bool DeviceOfQueue(PortKind kind, std::wstring_view deviceAddress, DeviceTarget& device,
                   NotProbedReason& why);

// The devices of a listing's printers, each once, added printer by printer.
class QueueProbePlan {
 public:
  void Add(PortKind kind, std::wstring_view deviceAddress);
  const std::vector<DeviceTarget>& Devices() const { return devices_.Devices(); }

  // What each printer, in the order added, shows after the probe: its texts
  // are kept in `texts`, which must live as long as they are read. A
  // connection failure's text is the system's.
  struct Shown {
    std::wstring_view device;
    std::wstring_view model;
    bool driverless = false;
  };
  std::vector<Shown> Describe(const std::vector<DeviceProbe>& results, unsigned limitSeconds,
                              std::deque<std::wstring>& texts) const;

 private:
  static constexpr size_t kNoDevice = static_cast<size_t>(-1);
  DeviceSet devices_;
  std::vector<size_t> deviceOfPrinter_;  // kNoDevice for a printer not asked
  std::vector<NotProbedReason> whyNot_;  // for those
};

// "12 of 41 third-party queues can move to the inbox IPP class driver": of
// the printers of a third-party driver, those whose device prints without it.
std::wstring DriverlessCountText(size_t movable, size_t thirdParty);

}  // namespace kestrun
