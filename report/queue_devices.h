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
// port's address; not a WSD or local port, a connection or another port,
// nor a host that is not a host name or address.
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
    bool driverless = false;  // the inbox IPP class driver prints to it
    bool mopria = false;      // Mopria certified; else driverless over IPP Everywhere only
    bool notAsked = true;     // no check reached its device (none ran, or it was cancelled)
  };
  std::vector<Shown> Describe(const std::vector<DeviceProbe>& results, unsigned limitSeconds,
                              std::deque<std::wstring>& texts) const;

 private:
  static constexpr size_t kNoDevice = static_cast<size_t>(-1);
  DeviceSet devices_;
  std::vector<size_t> deviceOfPrinter_;  // kNoDevice for a printer not asked
  std::vector<NotProbedReason> whyNot_;  // for those
};

// "12 of 41 third-party queues can move to the inbox IPP class driver
// (Mopria certified); 3 more print over IPP Everywhere without Mopria
// certification": of the printers of a third-party driver, those whose
// device is Mopria certified, and those whose device is IPP Everywhere only.
// Counted only where a device was asked and answered; "; 4 not asked" after
// them when some third-party queues' devices were not asked.
struct DriverlessTally {
  size_t thirdParty = 0;
  size_t mopria = 0;
  size_t everywhereOnly = 0;
  size_t notAsked = 0;
  // A third-party queue and what its device showed.
  void Add(bool driverless, bool mopria, bool notAsked);
};
std::wstring DriverlessCountText(const DriverlessTally& tally);

}  // namespace kestrun
