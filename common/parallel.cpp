#include "common/parallel.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "common/win32_handles.h"

namespace kestrun {

namespace {

// Helpers start once the steps left would take this long on the calling
// thread alone: starting a thread costs about a millisecond.
constexpr LONGLONG kWorthHelpersMs = 10;
// The pace is judged once the steps have taken this long: a server's step
// takes longer than this by itself.
constexpr LONGLONG kPaceSampleMs = 1;

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
  LARGE_INTEGER frequency = {};
  LARGE_INTEGER start = {};
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&start);
  const LONGLONG worthHelpers = frequency.QuadPart * kWorthHelpersMs / 1000;
  const LONGLONG sample = frequency.QuadPart * kPaceSampleMs / 1000;
  bool helping = helpers == 0;
  for (size_t index = steps.next++; index < count; index = steps.next++) {
    step(index);
    if (helping) continue;
    // What is left, at the pace so far: a local spooler answers in
    // microseconds, and the helpers would cost more to start than they save.
    LARGE_INTEGER now = {};
    ::QueryPerformanceCounter(&now);
    const LONGLONG elapsed = now.QuadPart - start.QuadPart;
    if (elapsed < sample) continue;  // one quick answer says little of the pace
    const size_t done = index + 1;
    const double left = static_cast<double>(elapsed) * static_cast<double>(count - done) /
                        static_cast<double>(done);
    if (left < static_cast<double>(worthHelpers)) continue;
    helping = true;
    threads.reserve(helpers);
    for (size_t t = 0; t < helpers; ++t) {
      UniqueHandle thread(::CreateThread(nullptr, 0, StepThread, &steps, 0, nullptr));
      if (!thread) break;
      threads.push_back(std::move(thread));
    }
  }
  // `steps` lives on this stack: every thread ends before it goes.
  for (const UniqueHandle& thread : threads) ::WaitForSingleObject(thread.get(), INFINITE);
}

}  // namespace kestrun
