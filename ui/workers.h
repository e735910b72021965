// Background workers of the main window. At most one enumeration or deletion
// runs at a time; every worker is counted so shut-down knows whether any still
// uses the shared records.
#pragma once

#include <windows.h>

namespace kestrun {

// Claims the one slot for an enumeration or deletion run; false while one runs.
bool BeginExclusiveRun();
void EndExclusiveRun();
bool ExclusiveRunActive();

// Starts a counted worker thread (its handle is closed at once); false when the
// thread could not be created.
bool StartWorker(LPTHREAD_START_ROUTINE procedure);

// Waits up to `timeoutMs` for every worker to end; true when none runs.
bool WaitForWorkers(DWORD timeoutMs);

}  // namespace kestrun
