// The run machinery every command over many machines shares: sixteen machines
// at a time, each machine's steps against the time limit, Ctrl+C and a console
// close, and each machine handed to the main thread as it settles. The
// command gives the work done for one machine (on a worker) and what becomes
// of each machine (on the main thread); the rest is here.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

// Machines worked on at once; each has a worker thread.
constexpr size_t kMaxMachineWorkers = 16;

// How long a run of machines one after another waits for the worker of a
// machine given up to come back before it starts the next.
constexpr DWORD kWorkerBackMs = 30000;

// How long past the time limit, or past Ctrl+C, a self-timed step may take:
// its units' grace (10 s) and the undoing of those that outlive it.
constexpr DWORD kSelfTimedGraceMs = 20000;

// A command's outcome for one machine, made by its worker and then owned by
// the main thread.
struct MachineResult {
  virtual ~MachineResult() = default;
};

struct MachineClock;
enum class MachineStage : int;  // where a machine's worker is

// A worker's side of its machine's clock. Every step starts here, and none
// starts once the machine has been given up or the run is stopping.
class MachineSteps {
 public:
  MachineSteps(MachineClock& clock, const std::atomic<bool>& stop) : clock_(clock), stop_(stop) {}

  // A step that only reads (a listing): given up at once after Ctrl+C.
  // `what` names what it reads when that is not the machine itself ("the
  // target NEWSRV"), for the line of a machine given up during it.
  bool BeginReading(std::wstring_view what = {});
  // A reading step whose parts keep time limits of their own (a probe of the
  // machine's devices): the machine's limit does not run meanwhile.
  bool BeginUntimed();
  // From here on the steps change the machine: after Ctrl+C the step in
  // progress may finish, and should it never end, `asItStands` is what the
  // machine reports.
  bool BeginChanging(std::unique_ptr<MachineResult> asItStands);
  // A step of the changing part; `update` brings the record as it stands up
  // to date first (under the clock's lock).
  bool BeginChange(const std::function<void(MachineResult&)>& update);
  // A changing step made of units that must each end whole, which keeps the
  // time limit itself: no unit starts past Deadline() or after Ctrl+C, and
  // those under way get their grace. The main thread gives the machine up
  // only kSelfTimedGraceMs past the limit, or past Ctrl+C.
  bool BeginSelfTimed(const std::function<void(MachineResult&)>& update);
  // When the step in progress reaches the time limit (GetTickCount64); 0: no limit.
  ULONGLONG Deadline() const;

  // Set by Ctrl+C, a console close, or a command that stops its run.
  const std::atomic<bool>& StopFlag() const { return stop_; }

 private:
  bool Begin(MachineStage stage, std::unique_ptr<MachineResult>* asItStands,
             const std::function<void(MachineResult&)>* update, std::wstring_view what = {});

  MachineClock& clock_;
  const std::atomic<bool>& stop_;
};

// Why the main thread gave a machine up while its worker was still in a step.
enum class GivenUp {
  TimeLimit,  // its step ran past the time limit
  Stopped,    // Ctrl+C: a reading step at once, a changing one after a grace
};

// What becomes of each machine, on the main thread.
class MachineRunSink {
 public:
  virtual ~MachineRunSink() = default;
  // Its worker handed its result on (null: memory ran out).
  virtual void Finished(size_t index, std::unique_ptr<MachineResult> result) = 0;
  // Given up while its worker was inside a step: `asItStands` is null for a
  // machine that had changed nothing; `what` names what the step read, when
  // it was not the machine itself. Its worker is left behind.
  virtual void GivenUpOn(size_t index, GivenUp why, std::unique_ptr<MachineResult> asItStands,
                         const std::wstring& what) = 0;
};

// The work for one machine, on a worker thread; null when the machine is no
// longer wanted (a step was refused).
using MachineTask =
    std::function<std::unique_ptr<MachineResult>(size_t index, MachineSteps& steps)>;

struct MachineRunOptions {
  size_t machines = 0;
  unsigned limitSeconds = 0;  // 0: no limit
  // Machines worked on at once. 1: one after another, and the next starts
  // only once the worker of one given up has come back (or, should it not
  // within kWorkerBackMs, never: the rest are not finished).
  size_t atOnce = kMaxMachineWorkers;
  // How long after Ctrl+C a changing step may still take before it is given up.
  DWORD stopGraceMs = 5000;
};

struct MachineRunEnd {
  bool started = true;  // false: no worker could be started (`error` says why)
  DWORD error = 0;
  size_t settled = 0;    // finished or given up; the rest were never started
  bool stopped = false;  // Ctrl+C, a console close, or Stop()
};

class MachineRun {
 public:
  explicit MachineRun(const MachineRunOptions& options);
  ~MachineRun();
  MachineRun(const MachineRun&) = delete;
  MachineRun& operator=(const MachineRun&) = delete;

  // Works every machine, handing each to the sink as it settles, until every
  // machine is settled or the run has stopped. Ctrl+C and a console close stop
  // it while it runs (a close gives the sink's writes their grace).
  MachineRunEnd Run(const MachineTask& work, MachineRunSink& sink);

  // Stops the run from the main thread (a log that cannot be written): no
  // further machine starts; the machines in progress settle as after Ctrl+C.
  void Stop();

  struct Shared;

 private:
  std::unique_ptr<Shared> shared_;
};

}  // namespace kestrun
