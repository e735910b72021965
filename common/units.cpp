#include "common/units.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

#include "common/win32_handles.h"

namespace kestrun {

namespace {

// How often the phase looks at its stop flag and deadline.
constexpr DWORD kPollMs = 50;

enum class Stage { Waiting, Running, Done, Abandoned };

}  // namespace

// Shared by the phase and its threads: a thread left inside a call keeps it.
class UnitState {
 public:
  std::mutex lock;
  std::condition_variable changed;
  std::vector<Stage> stages;
  std::vector<DWORD> errors;
  size_t next = 0;
  size_t threads = 0;  // threads still taking units
  // Once the phase is cut no unit starts; a thread that comes back after
  // RunUnits returned finds it cut and never reads `stop`.
  bool cut = false;
  const std::atomic<bool>* stop = nullptr;
  ULONGLONG deadline = 0;
  Unit unit;

  // Under the lock: whether the phase is cut, marking it so the first time.
  bool Cut() {
    if (!cut &&
        ((stop != nullptr && stop->load()) || (deadline != 0 && ::GetTickCount64() >= deadline))) {
      cut = true;
    }
    return cut;
  }
};

bool UnitCheck::Abandoned() const {
  const std::lock_guard<std::mutex> guard(state_->lock);
  return state_->stages[index_] == Stage::Abandoned;
}

bool UnitCheck::Finish() const {
  const std::lock_guard<std::mutex> guard(state_->lock);
  if (state_->stages[index_] == Stage::Abandoned) return false;
  state_->stages[index_] = Stage::Done;
  return true;
}

namespace {

DWORD WINAPI UnitThread(LPVOID parameter) {
  const std::unique_ptr<std::shared_ptr<UnitState>> held(
      static_cast<std::shared_ptr<UnitState>*>(parameter));
  UnitState& state = **held;
  for (;;) {
    size_t index = 0;
    {
      std::lock_guard<std::mutex> guard(state.lock);
      if (state.Cut() || state.next >= state.stages.size()) {
        --state.threads;
        state.changed.notify_all();
        return 0;
      }
      index = state.next++;
      state.stages[index] = Stage::Running;
    }
    DWORD error = ERROR_NOT_ENOUGH_MEMORY;
    try {
      error = state.unit(index, UnitCheck(*held, index));
    } catch (const std::bad_alloc&) {
    }
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.stages[index] != Stage::Abandoned) {
      state.stages[index] = Stage::Done;
      state.errors[index] = error;
    }
    state.changed.notify_all();
  }
}

}  // namespace

std::vector<UnitOutcome> RunUnits(const UnitPhase& phase, Unit unit,
                                  const std::function<void(size_t)>& abandon) {
  std::vector<UnitOutcome> outcomes(phase.count);
  if (phase.count == 0) return outcomes;
  const auto state = std::make_shared<UnitState>();
  state->stages.assign(phase.count, Stage::Waiting);
  state->errors.assign(phase.count, 0);
  state->unit = std::move(unit);
  state->stop = phase.stop;
  state->deadline = phase.deadline;
  const size_t wanted = std::min<size_t>(phase.count, std::max(phase.atOnce, 1u));
  size_t started = 0;
  for (size_t t = 0; t < wanted; ++t) {
    auto* held = new (std::nothrow) std::shared_ptr<UnitState>(state);
    if (held == nullptr) break;
    {
      std::lock_guard<std::mutex> guard(state->lock);
      ++state->threads;
    }
    UniqueHandle thread(::CreateThread(nullptr, 0, UnitThread, held, 0, nullptr));
    if (!thread) {
      delete held;
      std::lock_guard<std::mutex> guard(state->lock);
      --state->threads;
      break;
    }
    ++started;
  }
  std::unique_lock<std::mutex> guard(state->lock);
  // Counted as started, not as still running: fast units may all be done.
  if (started == 0) {  // none could start: the units are not tried
    state->cut = true;
    return outcomes;
  }
  ULONGLONG cutAt = 0;
  while (state->threads > 0) {
    state->changed.wait_for(guard, std::chrono::milliseconds(kPollMs));
    if (state->Cut() && cutAt == 0) cutAt = ::GetTickCount64();
    if (cutAt != 0 && state->threads > 0 && ::GetTickCount64() >= cutAt + phase.graceMs) break;
  }
  // Units still running after the grace are given up and undone from here.
  std::vector<size_t> abandoned;
  for (size_t i = 0; i < phase.count; ++i) {
    if (state->stages[i] != Stage::Running) continue;
    state->stages[i] = Stage::Abandoned;
    state->errors[i] = ERROR_TIMEOUT;
    abandoned.push_back(i);
  }
  guard.unlock();
  for (const size_t i : abandoned) abandon(i);
  guard.lock();
  // Their threads come back from their calls and undo what they made last.
  state->changed.wait_for(guard, std::chrono::milliseconds(phase.abandonedEndMs),
                          [&state] { return state->threads == 0; });
  for (size_t i = 0; i < phase.count; ++i) {
    outcomes[i].error = state->errors[i];
    outcomes[i].end = state->stages[i] == Stage::Done        ? UnitEnd::Done
                      : state->stages[i] == Stage::Abandoned ? UnitEnd::Abandoned
                                                             : UnitEnd::NotStarted;
  }
  return outcomes;
}

}  // namespace kestrun
