#include "ui/workers.h"

#include <atomic>
#include <memory>
#include <new>

namespace kestrun {

namespace {

// The run holding the slot: a serial number and its kind in the two low bits; 0 while none.
std::atomic<RunToken> exclusiveRun{0};
std::atomic<RunToken> nextRunSerial{1};
std::atomic<int> runningWorkers{0};

struct WorkerStart {
  LPTHREAD_START_ROUTINE procedure;
  void* parameter;
};

DWORD WINAPI CountedWorker(LPVOID start) {
  const std::unique_ptr<WorkerStart> owned(static_cast<WorkerStart*>(start));
  DWORD result = 0;
  try {
    result = owned->procedure(owned->parameter);
  } catch (...) {
    // A worker never takes the process down; its run simply ends.
  }
  runningWorkers.fetch_sub(1);
  return result;
}

}  // namespace

RunToken ClaimExclusiveRun(RunKind kind) {
  const RunToken run = (nextRunSerial.fetch_add(1) << 2) | static_cast<RunToken>(kind);
  RunToken none = 0;
  return exclusiveRun.compare_exchange_strong(none, run) ? run : 0;
}

bool EndExclusiveRun(RunToken run) {
  return run != 0 && exclusiveRun.compare_exchange_strong(run, 0);
}

bool IsCurrentRun(RunToken run) { return run != 0 && exclusiveRun.load() == run; }

bool BeginExclusiveRun(RunKind kind) { return ClaimExclusiveRun(kind) != 0; }

void EndExclusiveRun() { exclusiveRun.store(0); }

bool ExclusiveRunActive() { return exclusiveRun.load() != 0; }

bool DeletionRunActive() {
  return (exclusiveRun.load() & 3) == static_cast<RunToken>(RunKind::Deletion);
}

bool StartWorker(LPTHREAD_START_ROUTINE procedure, void* parameter) {
  auto* start = new (std::nothrow) WorkerStart{procedure, parameter};
  if (start == nullptr) return false;
  runningWorkers.fetch_add(1);
  HANDLE thread = ::CreateThread(nullptr, 0, CountedWorker, start, 0, nullptr);
  if (thread == nullptr) {
    runningWorkers.fetch_sub(1);
    delete start;
    return false;
  }
  ::CloseHandle(thread);
  return true;
}

bool WaitForWorkers(DWORD timeoutMs) {
  const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
  while (runningWorkers.load() > 0) {
    if (::GetTickCount64() >= deadline) return false;
    ::Sleep(10);
  }
  return true;
}

}  // namespace kestrun
