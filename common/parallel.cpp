#include "common/parallel.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "common/win32_handles.h"

namespace kestrun {

namespace {

struct Steps {
  std::atomic<size_t> next{0};
  size_t count = 0;
  const std::function<void(size_t)>* step = nullptr;
};

void TakeSteps(Steps& steps) {
  for (size_t index = steps.next++; index < steps.count; index = steps.next++) (*steps.step)(index);
}

DWORD WINAPI StepThread(LPVOID parameter) {
  TakeSteps(*static_cast<Steps*>(parameter));
  return 0;
}

}  // namespace

void RunAtOnce(size_t count, unsigned most, const std::function<void(size_t)>& step) {
  Steps steps;
  steps.count = count;
  steps.step = &step;
  std::vector<UniqueHandle> threads;
  const size_t helpers = std::min<size_t>(count, most == 0 ? 1 : most) - (count == 0 ? 0 : 1);
  threads.reserve(helpers);
  for (size_t t = 0; t < helpers; ++t) {
    UniqueHandle thread(::CreateThread(nullptr, 0, StepThread, &steps, 0, nullptr));
    if (!thread) break;
    threads.push_back(std::move(thread));
  }
  TakeSteps(steps);
  // `steps` lives on this stack: every thread ends before it goes.
  for (const UniqueHandle& thread : threads) ::WaitForSingleObject(thread.get(), INFINITE);
}

}  // namespace kestrun
