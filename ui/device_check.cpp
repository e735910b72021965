#include "ui/device_check.h"

#include <new>

#include "res/ids.h"
#include "ui/workers.h"

namespace kestrun {

namespace {

DWORD WINAPI DeviceCheckWorker(void* parameter) {
  // The worker's own share of the record, handed over by StartDeviceCheck.
  const std::unique_ptr<std::shared_ptr<DeviceCheck>> owned(
      static_cast<std::shared_ptr<DeviceCheck>*>(parameter));
  DeviceCheck& check = **owned;
  const auto tag = reinterpret_cast<LPARAM>(&check);
  try {
    ProbeOptions options;
    options.limitSeconds = check.limitSeconds;
    check.results =
        ProbeDevices(check.devices, options, check.cancel, [&check, tag](size_t settled, size_t) {
          check.settled.store(settled);
          ::PostMessageW(check.window, WM_KESTRUN_DEVICES_PROGRESS, 0, tag);
          return true;
        });
  } catch (const std::bad_alloc&) {
    check.results.clear();  // every device then shows as cancelled
  }
  check.done.store(true, std::memory_order_release);
  ::PostMessageW(check.window, WM_KESTRUN_DEVICES_CHECKED, 0, tag);
  return 0;
}

}  // namespace

bool StartDeviceCheck(const std::shared_ptr<DeviceCheck>& check) {
  auto* share = new (std::nothrow) std::shared_ptr<DeviceCheck>(check);
  if (share == nullptr) return false;
  if (StartWorker(DeviceCheckWorker, share)) return true;
  delete share;
  return false;
}

}  // namespace kestrun
