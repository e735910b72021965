#include "inventory/deletion.h"

#include <cwchar>
#include <new>

#include "inventory/platform.h"

namespace kestrun {

bool anyDriverDeleted = false;
DWORD lastDeleteError = 0;

namespace {

constexpr DWORD kPrinterEnumFlags = PRINTER_ENUM_NAME | PRINTER_ENUM_LOCAL;
constexpr DWORD kPrinterLevel = 2;

// The spooler name of the target: its "\\name" for a remote one, null (the
// local spooler) otherwise.
wchar_t* ServerName(DriverInventory& inventory) {
  return inventory.isRemote ? inventory.targetName : nullptr;
}

const PRINTER_INFO_2W* Printers(const DriverInventory& inventory) {
  return reinterpret_cast<const PRINTER_INFO_2W*>(inventory.printers.get());
}

// Opens, deletes and closes one printer; on false the last error holds the
// failed call's code (the handle owner keeps it across the close).
bool DeletePrinterNamed(wchar_t* printerName) {
  if (printerName == nullptr) {
    // A null name would open the server itself, never this printer.
    ::SetLastError(ERROR_INVALID_PRINTER_NAME);
    return false;
  }
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  UniquePrinter printer;
  if (!Platform().OpenPrinterW(printerName, printer.put(), &defaults)) return false;
  return Platform().DeletePrinter(printer.get()) != FALSE;
}

// Drops the session this command opened; a local target has none.
void CancelSessionOf(const DriverInventory& inventory) {
  if (inventory.isRemote && remoteSession != nullptr) CancelTargetSession(*remoteSession);
}

}  // namespace

bool EnumeratePrinters(DriverInventory& inventory) {
  wchar_t* name = ServerName(inventory);
  DWORD needed = 0;
  if (Platform().EnumPrintersW(kPrinterEnumFlags, name, kPrinterLevel, inventory.printers.get(), 0,
                               &needed, &inventory.printerCount)) {
    return true;  // no printers
  }
  // A failed call may leave any count behind; no walk may read records that
  // are not there.
  inventory.printerCount = 0;
  if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;

  inventory.printers.reset();
  inventory.printers.reset(new (std::nothrow) BYTE[needed]);
  if (!inventory.printers) {
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  if (Platform().EnumPrintersW(kPrinterEnumFlags, name, kPrinterLevel, inventory.printers.get(),
                               needed, &needed, &inventory.printerCount)) {
    return true;
  }
  inventory.printerCount = 0;
  return false;
}

bool DeleteDriver(DriverInventory& inventory, const wchar_t* driverName,
                  const wchar_t* environment) {
  const PRINTER_INFO_2W* printers = Printers(inventory);
  const DWORD count = printers ? inventory.printerCount : 0;
  for (DWORD i = 0; i < count; ++i) {
    if (printers[i].pDriverName == nullptr) continue;
    if (::lstrcmpW(driverName, printers[i].pDriverName) != 0) continue;
    // Only the first printer of the driver goes; any other still holds it.
    if (!DeletePrinterNamed(printers[i].pPrinterName)) return false;
    break;
  }
  // The spooler only reads these texts.
  return Platform().DeletePrinterDriverExW(ServerName(inventory), const_cast<wchar_t*>(environment),
                                           const_cast<wchar_t*>(driverName),
                                           DPD_DELETE_UNUSED_FILES, 0) != FALSE;
}

bool DeleteCheckedDrivers(DriverInventory& inventory, CheckedEntryReader& list,
                          const std::function<void()>& refresh) {
  anyDriverDeleted = false;
  bool result = true;
  const int entryCount = list.EntryCount();

  if (inventory.isRemote) {
    if (remoteSession == nullptr) {  // start-up could not make the record
      lastDeleteError = ERROR_NOT_ENOUGH_MEMORY;
      return false;
    }
    if (!ConnectTargetSession(*remoteSession, inventory.targetName)) {
      lastDeleteError = remoteSession->lastResult;
      return false;
    }
  }

  if (!EnumeratePrinters(inventory)) {
    lastDeleteError = ::GetLastError();
    CancelSessionOf(inventory);
    return false;
  }

  for (int entry = 0; entry < entryCount; ++entry) {
    if (list.StateImageIndex(entry) == kUncheckedStateImage) continue;

    wchar_t driverName[kDeleteTextCapacity];
    wchar_t environment[kDeleteTextCapacity];
    wmemset(driverName, L'\0', kDeleteTextCapacity);
    wmemset(environment, L'\0', kDeleteTextCapacity);
    list.ReadCell(entry, kDriverNameColumn, driverName, kDeleteTextCapacity);
    list.ReadCell(entry, kEnvironmentColumn, environment, kDeleteTextCapacity);
    driverName[kDeleteTextCapacity - 1] = L'\0';
    environment[kDeleteTextCapacity - 1] = L'\0';

    if (DeleteDriver(inventory, driverName, environment)) {
      anyDriverDeleted = true;
    } else {
      lastDeleteError = ::GetLastError();
      CancelSessionOf(inventory);
      result = false;
    }
  }

  if (refresh) refresh();
  if (currentInventory != nullptr && currentInventory->isRemote && remoteSession != nullptr) {
    CancelTargetSession(*remoteSession);
  }
  return result;
}

}  // namespace kestrun
