// The printers window's "Check Devices": the devices asked on a worker of
// their own, so that the window stays live; each device that settles and
// the end are posted to the window. The window and the worker share the
// record; either may go first.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

#include "devices/device_probe.h"

namespace kestrun {

struct DeviceCheck {
  HWND window = nullptr;  // gets WM_KESTRUN_DEVICES_PROGRESS and WM_KESTRUN_DEVICES_CHECKED
  std::vector<DeviceTarget> devices;
  unsigned limitSeconds = kDefaultProbeSeconds;
  std::atomic<bool> cancel{false};
  std::atomic<size_t> settled{0};    // devices settled so far
  std::atomic<bool> done{false};     // `results` is whole
  std::vector<DeviceProbe> results;  // the worker's until `done`
};

// Starts asking. The end is posted with the record's address as the long
// parameter, so a window that started another check since tells them apart.
// False when no worker could be started.
bool StartDeviceCheck(const std::shared_ptr<DeviceCheck>& check);

}  // namespace kestrun
