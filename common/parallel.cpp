#include "common/parallel.h"

#include <windows.h>

#include <algorithm>
#include <atomic>

#include "common/win32_handles.h"

namespace kestrun {

namespace {

// Helpers start once the steps left would take this long on the calling
// thread alone: handing steps to the system's pool costs a little, and a new
// pool thread about a millisecond.
constexpr LONGLONG kWorthHelpersMs = 10;
// The pace is judged once the steps have taken this long: a server's step
// takes longer than this by itself.
constexpr LONGLONG kPaceSampleMs = 1;

struct Steps {
  std::atomic<size_t> next{0};
  size_t count = 0;
  const std::function<void(size_t)>* step = nullptr;
  std::atomic<size_t> helping{0};  // helpers handed to the pool and not yet done
  HANDLE helpersDone = nullptr;    // set by the last of them
};

void TakeSteps(Steps& steps) {
  for (size_t index = steps.next++; index < steps.count; index = steps.next++) (*steps.step)(index);
}

// A helper on the system's thread pool: its threads outlive the run, so a
// fleet's many small runs (a machine's registry keys) start no thread each.
void CALLBACK HelpWithSteps(PTP_CALLBACK_INSTANCE, PVOID parameter) {
  auto& steps = *static_cast<Steps*>(parameter);
  TakeSteps(steps);
  // `steps` may go the moment the last helper says so: the handle is copied first.
  const HANDLE done = steps.helpersDone;
  if (steps.helping.fetch_sub(1) == 1) ::SetEvent(done);
}

// Hands the steps to `helpers` threads of the system's pool, beside the
// calling one; `helpersDone` is set once they are all done. Without an event
// the calling thread goes on alone.
void StartHelpers(Steps& steps, size_t helpers, UniqueHandle& helpersDone) {
  helpersDone.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!helpersDone) return;
  steps.helpersDone = helpersDone.get();
  steps.helping.store(helpers);
  for (size_t t = 0; t < helpers; ++t) {
    if (::TrySubmitThreadpoolCallback(HelpWithSteps, &steps, nullptr)) continue;
    // Those not handed over count as done.
    if (steps.helping.fetch_sub(helpers - t) == helpers - t) ::SetEvent(helpersDone.get());
    break;
  }
}

size_t HelpersFor(size_t count, unsigned most) {
  return std::min<size_t>(count, most == 0 ? 1 : most) - (count == 0 ? 0 : 1);
}

// Both ways: helpers at once, or (paced) once the steps left would take long.
void RunSteps(size_t count, unsigned most, const std::function<void(size_t)>& step, bool paced) {
  Steps steps;
  steps.count = count;
  steps.step = &step;
  UniqueHandle helpersDone;
  const size_t helpers = HelpersFor(count, most);
  bool helping = helpers == 0;
  if (!paced && !helping) {
    helping = true;
    StartHelpers(steps, helpers, helpersDone);
  }
  LARGE_INTEGER frequency = {};
  LARGE_INTEGER start = {};
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&start);
  const LONGLONG worthHelpers = frequency.QuadPart * kWorthHelpersMs / 1000;
  const LONGLONG sample = frequency.QuadPart * kPaceSampleMs / 1000;
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
    StartHelpers(steps, helpers, helpersDone);
  }
  // `steps` lives on this stack: every helper is done before it goes.
  if (helpersDone) ::WaitForSingleObject(helpersDone.get(), INFINITE);
}

}  // namespace

void RunAtOnce(size_t count, unsigned most, const std::function<void(size_t)>& step) {
  RunSteps(count, most, step, true);
}

void RunTogether(size_t count, unsigned most, const std::function<void(size_t)>& step) {
  RunSteps(count, most, step, false);
}

}  // namespace kestrun
