// "Delete Driver(s)": the worker that confirms, deletes the checked drivers on
// the target, refreshes the list and reports the outcome.
#pragma once

#include <windows.h>

#include <string>

namespace kestrun {

constexpr int kDeleteMessageCapacity = 320;

// The button's click: disables it, starts the progress bar and the worker.
void StartDeletion();

// The worker's thread procedure. It holds processLock for its whole run and
// the exclusive run slot from its check of the list to its outcome box, so no
// enumeration replaces the inventory whose printers it walks.
DWORD WINAPI DeletionWorker(LPVOID);

// The outcome message for a finished deletion, cut to the message buffer.
std::wstring DeletionOutcomeText(bool deletedAll, bool anyDeleted, DWORD lastError,
                                 UINT& icon);

}  // namespace kestrun
