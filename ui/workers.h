// Background workers of the main window. At most one enumeration or deletion
// runs at a time; every worker is counted so shut-down knows whether any still
// uses the shared records.
#pragma once

#include <windows.h>

namespace kestrun {

enum class RunKind { None, Enumeration, Deletion };

// Claims the one slot for an enumeration or deletion run; false while one runs.
bool BeginExclusiveRun(RunKind kind = RunKind::Enumeration);
void EndExclusiveRun();
bool ExclusiveRunActive();
// True from the moment a deletion claims the slot until it ends.
bool DeletionRunActive();

// Starts a counted worker thread (its handle is closed at once) with a
// parameter; false when the thread could not be created.
bool StartWorker(LPTHREAD_START_ROUTINE procedure, void* parameter = nullptr);

// Waits up to `timeoutMs` for every worker to end; true when none runs.
bool WaitForWorkers(DWORD timeoutMs);

}  // namespace kestrun
