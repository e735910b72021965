#include "ui/workers.h"

#include <atomic>

namespace kestrun {

namespace {

std::atomic<bool> exclusiveRun{false};
std::atomic<int> runningWorkers{0};


DWORD WINAPI CountedWorker(LPVOID parameter) {
  const auto procedure = reinterpret_cast<LPTHREAD_START_ROUTINE>(parameter);
  DWORD result = 0;
  try {
    result = procedure(nullptr);
  } catch (...) {
    // A worker never takes the process down; its run simply ends.
  }
  runningWorkers.fetch_sub(1);
  return result;
}

}  // namespace

bool BeginExclusiveRun() {
  bool expected = false;
  return exclusiveRun.compare_exchange_strong(expected, true);
}

void EndExclusiveRun() { exclusiveRun.store(false); }

bool ExclusiveRunActive() { return exclusiveRun.load(); }

bool StartWorker(LPTHREAD_START_ROUTINE procedure) {
  runningWorkers.fetch_add(1);
  HANDLE thread = ::CreateThread(nullptr, 0, CountedWorker, reinterpret_cast<LPVOID>(procedure),
                                 0, nullptr);
  if (thread == nullptr) {
    runningWorkers.fetch_sub(1);
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
