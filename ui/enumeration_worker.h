// Turns the machine named in the machine box into a filled driver list.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "inventory/driver_inventory.h"
#include "ui/workers.h"

namespace kestrun {

// One run, on whichever thread calls it (its own, or the deletion worker's),
// of the machine the box names, or of `machine` (which the box then shows).
// The slow work happens here; the list and the current inventory change only
// on the main window's thread, through its private messages. A run started
// with a token may be cancelled: from then on the window drops what it sends,
// and it only closes its own session. The deletion's refresh passes none.
DWORD EnumerationWorker(const std::wstring* machine = nullptr, RunToken run = 0);

// The thread procedure the main window starts with the run's token as its
// parameter; ends that run unless it was cancelled.
DWORD WINAPI EnumerationWorkerThread(LPVOID run);

// On the main window's thread: marks a started listing as cancellable (the
// button reads "Cancel"), and abandons it at once: the list empty, the panel
// counting nothing, the window ready for the next listing. False when no
// listing can be cancelled (none runs, its result has come, or a deletion runs).
void BeginCancellableListing(RunToken run);
bool CancelListing();
bool ListingCancellable();

// What a run hands to the main window's thread.
struct EnumerationResult {
  std::unique_ptr<DriverInventory> inventory;  // becomes the current inventory
  bool fillList = false;                       // fill rows from it (a successful run)
  bool filled = false;                         // set by the main window: rows built
};

// The main window's handlers of the worker's messages, given the run's token:
// nonzero when the window took the message, 0 when it dropped it because the
// run was cancelled.
LRESULT BeginEnumerationOnWindowThread(RunToken run);
LRESULT TakeEnumerationResult(RunToken run, EnumerationResult& result);
void FinishRunOnWindowThread(RunToken run);

}  // namespace kestrun
