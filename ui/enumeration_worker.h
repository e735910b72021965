// Turns the machine named in the machine box into a filled driver list.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "inventory/driver_inventory.h"

namespace kestrun {

// One run, on whichever thread calls it (its own, or the deletion worker's),
// of the machine the box names, or of `machine` (which the box then shows).
// The slow work happens here; the list and the current inventory change only
// on the main window's thread, through its private messages.
DWORD EnumerationWorker(const std::wstring* machine = nullptr);

// The thread procedure the main window starts; ends the exclusive run.
DWORD WINAPI EnumerationWorkerThread(LPVOID);

// What a run hands to the main window's thread.
struct EnumerationResult {
  std::unique_ptr<DriverInventory> inventory;  // becomes the current inventory
  bool fillList = false;                       // fill rows from it (a successful run)
  bool filled = false;                         // set by the main window: rows built
};

// The main window's handlers of the worker's messages.
void BeginEnumerationOnWindowThread();
void TakeEnumerationResult(EnumerationResult& result);
void FinishRunOnWindowThread();

}  // namespace kestrun
