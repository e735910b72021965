// Background workers of the main window. At most one enumeration or deletion
// runs at a time; every worker is counted so shut-down knows whether any still
// uses the shared records.
#pragma once

#include <windows.h>

#include <cstdint>

namespace kestrun {

enum class RunKind { None, Enumeration, Deletion };

// Names one run of the slot, never reused; 0 names none.
using RunToken = std::uint64_t;

// Claims the one slot for an enumeration or deletion run; false while one runs.
bool BeginExclusiveRun(RunKind kind = RunKind::Enumeration);
void EndExclusiveRun();
// The same for a run that may be abandoned: the token (0 while another run
// holds the slot) ends that run only, so a worker left behind by a cancel
// never ends the run that took its place.
RunToken ClaimExclusiveRun(RunKind kind);
bool EndExclusiveRun(RunToken run);  // false when that run had already ended
bool IsCurrentRun(RunToken run);
bool ExclusiveRunActive();
// True from the moment a deletion claims the slot until it ends.
bool DeletionRunActive();

// Starts a counted worker thread (its handle is closed at once) with a
// parameter; false when the thread could not be created.
bool StartWorker(LPTHREAD_START_ROUTINE procedure, void* parameter = nullptr);

// Waits up to `timeoutMs` for every worker to end; true when none runs.
bool WaitForWorkers(DWORD timeoutMs);

}  // namespace kestrun
