#include "ui/workers.h"

#include <atomic>
#include <memory>
#include <new>

namespace kestrun {

namespace {

std::atomic<RunKind> exclusiveRun{RunKind::None};
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

bool BeginExclusiveRun(RunKind kind) {
  RunKind expected = RunKind::None;
  return exclusiveRun.compare_exchange_strong(expected, kind);
}

void EndExclusiveRun() { exclusiveRun.store(RunKind::None); }

bool ExclusiveRunActive() { return exclusiveRun.load() != RunKind::None; }

bool DeletionRunActive() { return exclusiveRun.load() == RunKind::Deletion; }

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
