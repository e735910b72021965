#include "inventory/driver_inventory.h"

#include <cwchar>
#include <new>

#include "inventory/platform.h"
#include "inventory/spooler_answer.h"

#include "common/bounded_text.h"

namespace kestrun {

DriverInventory* currentInventory = nullptr;
RemoteSession* remoteSession = nullptr;

namespace {

constexpr wchar_t kShareSuffix[] = L"\\IPC$";
constexpr DWORD kDriverLevel = 6;

}  // namespace

std::wstring_view BareMachineName(std::wstring_view typed) {
  const size_t start = typed.find_first_not_of(L'\\');
  return start == std::wstring_view::npos ? std::wstring_view() : typed.substr(start);
}

std::unique_ptr<DriverInventory> CreateInventory() {
  std::unique_ptr<DriverInventory> inventory(new (std::nothrow) DriverInventory);
  if (inventory) ResetInventory(*inventory);
  return inventory;
}

DriverInventory& ResetInventory(DriverInventory& inventory) {
  wmemset(inventory.targetName, L'\0', kTargetNameCapacity);
  CopyBounded(inventory.targetName, L"\\\\");
  inventory.driverCount = 0;
  inventory.nonNativeCount = 0;
  inventory.listEntryCount = 0;
  inventory.lastError = 0;
  inventory.isRemote = false;
  inventory.machineText.clear();
  inventory.nonNativeIndexes.reset();
  inventory.drivers.reset();
  inventory.listEntries.reset();
  return inventory;
}

void ReleaseInventory() {
  delete currentInventory;
  currentInventory = nullptr;
}

void MakeCurrentInventory(std::unique_ptr<DriverInventory> inventory) {
  ReleaseInventory();
  currentInventory = inventory.release();
}

bool ConnectTargetSession(RemoteSession& session, std::wstring_view machineName) {
  // A fresh attempt: only a share found connected by this attempt is left alone
  // by the cancel that follows it. The name goes with the flag, so a refused
  // name leaves nothing behind for a later cancel to drop.
  session.alreadyConnected = 0;
  wmemset(session.remoteName, L'\0', kRemoteNameCapacity);

  const std::wstring_view machine = BareMachineName(machineName);
  const size_t length = 2 + machine.size() + (std::size(kShareSuffix) - 1);
  if (machine.empty() || length >= kRemoteNameCapacity) {
    session.lastResult = ERROR_INVALID_NAME;
    return false;
  }
  CopyBounded(session.remoteName, L"\\\\");
  AppendBounded(session.remoteName, machine);
  AppendBounded(session.remoteName, kShareSuffix);

  session.netResource = {};
  session.netResource.dwType = RESOURCETYPE_ANY;
  session.netResource.lpLocalName = nullptr;
  session.netResource.lpRemoteName = session.remoteName;
  session.netResource.lpProvider = nullptr;

  session.lastResult = Platform().WNetAddConnection2W(&session.netResource, nullptr, nullptr,
                                                      CONNECT_INTERACTIVE);
  switch (session.lastResult) {
    case NO_ERROR:
      return true;
    case ERROR_ALREADY_ASSIGNED:
    case ERROR_DEVICE_ALREADY_REMEMBERED:
      session.alreadyConnected = 1;
      return true;
    default:
      return false;
  }
}

void CancelTargetSession(RemoteSession& session) {
  if (session.alreadyConnected != 0 || session.remoteName[0] == L'\0') return;
  Platform().WNetCancelConnection2W(session.remoteName, 0, TRUE);
}

bool EnumerateDrivers(DriverInventory& inventory, std::wstring_view machineName) {
  const std::wstring_view machine = BareMachineName(machineName);
  const size_t used = wcslen(inventory.targetName);
  if ((machine.empty() && !machineName.empty()) ||
      used + machine.size() >= kTargetNameCapacity) {
    inventory.lastError = ERROR_INVALID_NAME;
    return false;
  }
  wmemcpy(inventory.targetName + used, machine.data(), machine.size());
  inventory.targetName[used + machine.size()] = L'\0';
  if (!machine.empty()) inventory.isRemote = true;
  inventory.machineText.assign(machineName);

  wchar_t* server = inventory.isRemote ? inventory.targetName : nullptr;
  wchar_t environment[] = L"all";  // every environment the server knows

  SpoolerAnswer answer;
  const DWORD error = ReadSpoolerList(
      [&](BYTE* buffer, DWORD size, DWORD* needed, DWORD* returned) {
        return Platform().EnumPrinterDriversW(server, environment, kDriverLevel, buffer, size,
                                              needed, returned);
      },
      kDriverInfo6Layout, answer);
  inventory.drivers = std::move(answer.buffer);
  inventory.driverCount = answer.count;
  if (error != 0) {
    inventory.lastError = error;
    inventory.driverCount = 0;  // no reader walks records that are not there
    return false;
  }
  // The code of the sizing call, as a two-call enumeration leaves it.
  inventory.lastError = inventory.drivers ? ERROR_INSUFFICIENT_BUFFER : 0;
  return true;
}

}  // namespace kestrun
