// Removes print drivers from the target machine of an inventory: for each
// driver the first printer that uses it goes first, then the driver itself in
// one environment, with its files that no other driver uses.
#pragma once

#include <windows.h>

#include <functional>

#include "inventory/driver_inventory.h"

namespace kestrun {

constexpr int kDeleteTextCapacity = 256;  // each cell read for one entry
constexpr int kDriverNameColumn = 1;
constexpr int kEnvironmentColumn = 4;
constexpr UINT kUncheckedStateImage = 1;  // any other state image counts as checked

// Set when a DeleteCheckedDrivers run deleted at least one driver; cleared at
// the start of each run.
extern bool anyDriverDeleted;
// The code of the last failure of any delete run: 0 when the process starts,
// never cleared, so a run without failure leaves an earlier run's code.
extern DWORD lastDeleteError;

// Reads the target's printers (level 2) into `printers` and `printerCount`.
// On false the thread's last error holds the code and `printerCount` is 0.
bool EnumeratePrinters(DriverInventory& inventory);

// Deletes the first printer, in the order EnumeratePrinters read them, whose
// driver name equals `driverName` (case-sensitive), then the driver in
// `environment`. On false the thread's last error holds the code of the failed
// call; a printer that went stays deleted when its driver then fails.
bool DeleteDriver(DriverInventory& inventory, const wchar_t* driverName,
                  const wchar_t* environment);

// The driver list as a deletion reads it. The main window answers with its
// list view: LVM_GETITEMCOUNT, LVM_GETITEMSTATE with LVIS_STATEIMAGEMASK
// shifted right by 12, and LVM_GETITEMTEXTW.
class CheckedEntryReader {
 public:
  virtual ~CheckedEntryReader() = default;
  virtual int EntryCount() = 0;
  virtual UINT StateImageIndex(int entry) = 0;
  // Copies at most capacity - 1 characters of the cell and terminates them.
  virtual void ReadCell(int entry, int column, wchar_t* buffer, int capacity) = 0;
};

// One delete command: deletes the driver of every checked entry of `list` from
// the target of `inventory` (opening the IPC$ session in `remoteSession` first
// for a remote target), then runs `refresh`, which enumerates again and
// replaces the current inventory and the list (the main window passes
// EnumerationWorker). `inventory` is not touched once `refresh` starts, since
// the refresh may release it; afterwards the session is dropped when
// `currentInventory` names a remote target. True when the session and the
// printer list were ready and every checked entry was deleted; when either is
// not ready, nothing is deleted and `refresh` is not run. Failure codes go to
// `lastDeleteError`.
bool DeleteCheckedDrivers(DriverInventory& inventory, CheckedEntryReader& list,
                          const std::function<void()>& refresh);

}  // namespace kestrun
