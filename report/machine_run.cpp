#include "report/machine_run.h"

#include <algorithm>
#include <mutex>
#include <new>

#include "common/win32_handles.h"

namespace kestrun {

namespace {

// How often the main thread looks for Ctrl+C and for machines past the limit.
constexpr DWORD kPollMs = 50;
// How long the end of a run waits for its workers; a worker that does not end
// in time is inside a spooler call and keeps the run until the process ends.
constexpr DWORD kWorkersEndMs = 5000;
constexpr DWORD kStoppedWorkersEndMs = 200;
// The system ends the process when a close, log-off or shut-down handler
// returns: the machine being written is given this long to finish.
constexpr DWORD kCloseGraceMs = 4000;

// A worker's packet that carries no result.
constexpr DWORD kOutOfMemory = 1;  // the work could not be done for lack of memory
constexpr DWORD kRefused = 2;      // a step was refused: the run stopped first
constexpr DWORD kWorkerBack = 3;   // the worker of a machine given up came back

}  // namespace

enum class MachineStage : int { Waiting, Reading, Untimed, Changing, SelfTimed, Settled, GivenUp };

namespace {

using Stage = MachineStage;

// The run Ctrl+C stops (one at a time), and whether its writes are done.
std::atomic<std::atomic<bool>*> stoppedByCtrl{nullptr};
std::atomic<bool> writesDone{true};

BOOL WINAPI StopRunOnCtrl(DWORD type) {
  if (std::atomic<bool>* stop = stoppedByCtrl.load()) stop->store(true);
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
    for (DWORD waited = 0; !writesDone.load() && waited < kCloseGraceMs; waited += kPollMs) {
      ::Sleep(kPollMs);
    }
  }
  return TRUE;
}

}  // namespace

// One machine's progress, shared by its worker and the main thread under
// `lock`: the stage, when the current step began, when the main thread saw
// the run stop during a changing step, and the machine's record as it stands
// should that step never end.
struct MachineClock {
  std::mutex lock;
  Stage stage = Stage::Waiting;
  ULONGLONG stepBegan = 0;
  ULONGLONG stopSeen = 0;
  ULONGLONG limitMs = 0;  // the run's, for Deadline()
  std::wstring what;      // what the step in progress reads, when not the machine
  std::unique_ptr<MachineResult> asItStands;
};

// What the workers share with the main thread. A worker left inside a call
// may outlive the command that started it, so this holds everything a worker
// touches, the work included.
struct MachineRun::Shared {
  MachineRunOptions options;
  ULONGLONG limitMs = 0;
  MachineTask work;
  std::atomic<size_t> next{0};
  std::unique_ptr<MachineClock[]> clocks;
  std::atomic<bool> stop{false};
  UniqueHandle port;                  // settled machines, in settling order
  UniqueHandle slots;                 // machines in flight and not yet handed on: one per worker
  std::vector<UniqueHandle> workers;  // the main thread's
  size_t leftBehind = 0;              // workers given up inside a step
};

bool MachineSteps::BeginReading(std::wstring_view what) {
  return Begin(Stage::Reading, nullptr, nullptr, what);
}

bool MachineSteps::BeginUntimed() {
  return Begin(Stage::Untimed, nullptr, nullptr);
}

bool MachineSteps::BeginChanging(std::unique_ptr<MachineResult> asItStands) {
  return Begin(Stage::Changing, &asItStands, nullptr);
}

bool MachineSteps::BeginChange(const std::function<void(MachineResult&)>& update) {
  return Begin(Stage::Changing, nullptr, &update);
}

bool MachineSteps::BeginSelfTimed(const std::function<void(MachineResult&)>& update) {
  return Begin(Stage::SelfTimed, nullptr, &update);
}

ULONGLONG MachineSteps::Deadline() const {
  const std::lock_guard<std::mutex> guard(clock_.lock);
  return clock_.limitMs == 0 ? 0 : clock_.stepBegan + clock_.limitMs;
}

bool MachineSteps::Begin(MachineStage stage, std::unique_ptr<MachineResult>* asItStands,
                         const std::function<void(MachineResult&)>* update,
                         std::wstring_view what) {
  const std::lock_guard<std::mutex> guard(clock_.lock);
  if (clock_.stage == Stage::GivenUp || stop_.load()) return false;
  clock_.stage = stage;
  clock_.stepBegan = ::GetTickCount64();
  clock_.what = what;
  // Read when the step runs past the limit, or past the grace after Ctrl+C.
  if (asItStands != nullptr) clock_.asItStands = std::move(*asItStands);
  if (update != nullptr && *update && clock_.asItStands) (*update)(*clock_.asItStands);
  return true;
}

namespace {

DWORD WINAPI MachineWorker(void* parameter) {
  auto& run = *static_cast<MachineRun::Shared*>(parameter);
  for (;;) {
    ::WaitForSingleObject(run.slots.get(), INFINITE);
    if (run.stop.load()) return 0;
    const size_t index = run.next.fetch_add(1);
    if (index >= run.options.machines) return 0;
    MachineClock& clock = run.clocks[index];
    {
      const std::lock_guard<std::mutex> guard(clock.lock);
      clock.limitMs = run.limitMs;
    }
    MachineSteps steps(clock, run.stop);
    std::unique_ptr<MachineResult> result;
    DWORD status = 0;
    try {
      result = run.work(index, steps);
      if (!result) status = kRefused;
    } catch (const std::bad_alloc&) {
      result.reset();
      status = kOutOfMemory;
    }
    {
      const std::lock_guard<std::mutex> guard(clock.lock);
      // Given up: the main thread has reported it and may have put another
      // worker in this one's place; one after another, this one goes on.
      if (clock.stage == Stage::GivenUp) {
        if (run.options.atOnce > 1) return 0;
        ::PostQueuedCompletionStatus(run.port.get(), kWorkerBack, index, nullptr);
        continue;
      }
      clock.stage = Stage::Settled;
      clock.asItStands.reset();
    }
    ::PostQueuedCompletionStatus(run.port.get(), status, index,
                                 reinterpret_cast<OVERLAPPED*>(result.release()));
  }
}

bool StartWorker(MachineRun::Shared& run, DWORD& error) {
  UniqueHandle worker(::CreateThread(nullptr, 0, MachineWorker, &run, 0, nullptr));
  if (!worker) {
    error = ::GetLastError();
    return false;
  }
  run.workers.push_back(std::move(worker));
  return true;
}

// Wakes every worker waiting for a slot, so each sees the stop and ends.
void WakeWorkers(MachineRun::Shared& run) {
  ::ReleaseSemaphore(run.slots.get(), static_cast<LONG>(run.workers.size()), nullptr);
}

}  // namespace

MachineRun::MachineRun(const MachineRunOptions& options) : shared_(new Shared) {
  shared_->options = options;
  shared_->limitMs = options.limitSeconds * 1000ULL;
  shared_->clocks.reset(new MachineClock[options.machines]);
  writesDone.store(false);
  stoppedByCtrl.store(&shared_->stop);
  ::SetConsoleCtrlHandler(StopRunOnCtrl, TRUE);
}

MachineRun::~MachineRun() {
  writesDone.store(true);
  ::SetConsoleCtrlHandler(StopRunOnCtrl, FALSE);
  stoppedByCtrl.store(nullptr);
  Shared& run = *shared_;
  const bool stopped = run.stop.exchange(true);
  WakeWorkers(run);
  std::vector<HANDLE> handles;
  for (const UniqueHandle& worker : run.workers) handles.push_back(worker.get());
  const bool ended =
      run.leftBehind == 0 &&
      (handles.empty() ||
       ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE,
                                stopped ? kStoppedWorkersEndMs : kWorkersEndMs) == WAIT_OBJECT_0);
  // Left to the process's end, with the workers still inside their calls.
  if (!ended) static_cast<void>(shared_.release());
}

void MachineRun::Stop() {
  if (!shared_->stop.exchange(true)) WakeWorkers(*shared_);
}

MachineRunEnd MachineRun::Run(const MachineTask& work, MachineRunSink& sink) {
  Shared& run = *shared_;
  const size_t total = run.options.machines;
  MachineRunEnd end;
  run.work = work;
  const size_t workerCount =
      std::min({total, kMaxMachineWorkers, std::max<size_t>(run.options.atOnce, 1)});
  run.port.reset(::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
  if (!run.port) end.error = ::GetLastError();
  run.slots.reset(::CreateSemaphoreW(nullptr, static_cast<LONG>(workerCount), MAXLONG, nullptr));
  if (!run.slots && end.error == 0) end.error = ::GetLastError();
  for (size_t i = 0; end.error == 0 && i < workerCount; ++i) {
    if (!StartWorker(run, end.error)) break;
  }
  if (total > 0 && run.workers.empty()) {
    end.started = false;
    if (end.error == 0) end.error = ERROR_NOT_ENOUGH_MEMORY;
    return end;
  }
  end.error = 0;

  bool wokenForStop = false;
  ULONGLONG leftSince = 0;  // when the last worker was left behind
  size_t oldest = 0;        // machines before it are settled
  // Under the clock's lock: the machine is the main thread's to report now.
  const auto giveUp = [&run, &end](MachineClock& clock) {
    if (clock.stage != Stage::Waiting) ++run.leftBehind;  // its worker is inside a call
    clock.stage = Stage::GivenUp;
    ++end.settled;
    ::ReleaseSemaphore(run.slots.get(), 1, nullptr);
    return std::move(clock.asItStands);
  };
  while (end.settled < total) {
    const bool stopping = run.stop.load();
    if (stopping && !wokenForStop) {
      wokenForStop = true;
      WakeWorkers(run);
    }
    // Machines that settled are handed on first: after Ctrl+C those already
    // done are still written.
    DWORD status = 0;
    ULONG_PTR index = 0;
    OVERLAPPED* packet = nullptr;
    if (::GetQueuedCompletionStatus(run.port.get(), &status, &index, &packet,
                                    stopping ? 0 : kPollMs)) {
      if (status == kWorkerBack) {
        --run.leftBehind;
        continue;
      }
      ++end.settled;
      std::unique_ptr<MachineResult> result(reinterpret_cast<MachineResult*>(packet));
      // Its rows are freed before another machine may start.
      if (status == kRefused) {
        sink.GivenUpOn(index, GivenUp::Stopped, nullptr, {});
      } else {
        sink.Finished(index, std::move(result));
      }
      ::ReleaseSemaphore(run.slots.get(), 1, nullptr);
      continue;
    }

    // Machines past the limit, and after Ctrl+C those that cannot finish.
    const ULONGLONG now = ::GetTickCount64();
    const size_t taken = std::min(run.next.load(), total);
    for (size_t i = oldest; i < taken; ++i) {
      MachineClock& clock = run.clocks[i];
      std::unique_ptr<MachineResult> asItStands;
      bool late = false;
      bool stoppedNow = false;
      std::wstring what;
      {
        const std::lock_guard<std::mutex> guard(clock.lock);
        what = clock.what;
        // An untimed step keeps only its parts' own limits; a self-timed one
        // keeps the machine's itself, and gets its grace past it.
        const bool inStep = clock.stage == Stage::Reading || clock.stage == Stage::Changing;
        const bool selfTimed = clock.stage == Stage::SelfTimed;
        if (i == oldest && (clock.stage == Stage::Settled || clock.stage == Stage::GivenUp)) {
          ++oldest;
        }
        if (clock.stage == Stage::Settled || clock.stage == Stage::GivenUp) continue;
        if ((inStep && run.limitMs != 0 && now >= clock.stepBegan + run.limitMs) ||
            (selfTimed && run.limitMs != 0 &&
             now >= clock.stepBegan + run.limitMs + kSelfTimedGraceMs)) {
          late = true;
          asItStands = giveUp(clock);
        } else if (stopping && clock.stage != Stage::Changing && !selfTimed) {
          stoppedNow = true;
          giveUp(clock);  // it had changed nothing
        } else if (stopping) {
          if (clock.stopSeen == 0) clock.stopSeen = now;
          if (now >= clock.stopSeen + (selfTimed ? kSelfTimedGraceMs : run.options.stopGraceMs)) {
            stoppedNow = true;
            asItStands = giveUp(clock);
          }
        }
      }
      if (late) {
        DWORD ignored = 0;
        // In the place of the one left behind; one after another, that one
        // is waited for instead.
        if (run.options.atOnce > 1) StartWorker(run, ignored);
        leftSince = now;
        sink.GivenUpOn(i, GivenUp::TimeLimit, std::move(asItStands), what);
      } else if (stoppedNow) {
        sink.GivenUpOn(i, GivenUp::Stopped, std::move(asItStands), what);
      }
    }
    // After a stop, every machine taken has been handed on: no other one starts.
    if (stopping && end.settled == std::min(run.next.load(), total)) break;
    // None could take their place; one after another, the one left behind
    // is given its time to come back.
    if (run.workers.size() == run.leftBehind &&
        (run.options.atOnce > 1 || now >= leftSince + kWorkerBackMs)) {
      break;
    }
    if (stopping) ::Sleep(kPollMs / 5);
  }
  end.stopped = run.stop.load();
  return end;
}

}  // namespace kestrun
