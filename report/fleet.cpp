#include "report/fleet.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>

#include "common/win32_handles.h"
#include "inventory/classification.h"
#include "inventory/driver_inventory.h"
#include "inventory/error_reporter.h"
#include "inventory/field_text.h"
#include "report/command_line.h"
#include "report/console.h"
#include "report/fleet_log.h"
#include "inventory/column_table.h"

namespace kestrun {

namespace {

// How often the main thread looks for Ctrl+C while it waits for machines.
constexpr DWORD kStopPollMs = 50;
// How long the end of a run waits for its workers: those still inside a
// spooler call after Ctrl+C are left behind.
constexpr DWORD kWorkersEndMs = 5000;
constexpr DWORD kAbandonedWorkersEndMs = 200;
// The system ends the process when a close, log-off or shut-down handler
// returns; the machine being written is given this long to finish.
constexpr DWORD kCloseGraceMs = 4000;

std::atomic<bool> fleetStopRequested{false};
std::atomic<bool> fleetWritesDone{false};

BOOL WINAPI StopFleetOnCtrl(DWORD type) {
  fleetStopRequested.store(true);
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
    for (DWORD waited = 0; !fleetWritesDone.load() && waited < kCloseGraceMs;
         waited += kStopPollMs) {
      ::Sleep(kStopPollMs);
    }
  }
  return TRUE;
}

// One machine's outcome. Its worker fills it and hands it to the main thread
// through the completion port; from then on the main thread owns it.
struct MachineResult {
  DWORD error = 0;
  DWORD driverCount = 0;
  DWORD nonNativeCount = 0;
  DWORD unusedCount = kUnusedUnknown;
  std::string rows;  // the machine's log rows
};

// A machine's progress, one value per machine: 0 until its listing begins,
// then the tick it began at, until its worker or the time limit settles it.
constexpr ULONGLONG kListed = ~0ULL;       // its worker hands its result on
constexpr ULONGLONG kTooLate = ~0ULL - 1;  // the limit passed: its worker is left behind

// What the workers of one run share: the list, the logging flag and the time
// limit (read only), the next machine's index, each machine's progress, the
// stop flag, and kernel objects.
struct FleetRun {
  std::vector<std::wstring> machines;
  bool logging = false;
  ULONGLONG limitMs = 0;  // 0: no limit
  std::atomic<size_t> next{0};
  std::unique_ptr<std::atomic<ULONGLONG>[]> began;
  std::atomic<bool> stop{false};
  UniqueHandle port;   // finished machines, in finishing order
  UniqueHandle slots;  // machines in flight: at most one per worker
  std::vector<UniqueHandle> workers;
};

bool IsNameTooLong(std::wstring_view machine) { return machine.size() > kMaxTargetMachineName; }

void ListMachine(const FleetRun& run, const std::wstring& machine, MachineResult& result) {
  if (IsNameTooLong(machine)) {
    result.error = ERROR_INVALID_NAME;  // never asked: no server has such a name
    return;
  }
  const std::unique_ptr<DriverInventory> inventory = CreateInventory();
  if (!inventory) {
    result.error = ERROR_NOT_ENOUGH_MEMORY;
    return;
  }
  if (!EnumerateDrivers(*inventory, machine)) {
    result.error = inventory->lastError;
    return;
  }
  ClassifyDrivers(*inventory);
  result.driverCount = inventory->driverCount;
  result.nonNativeCount = inventory->nonNativeCount;
  if (inventory->printerUse) result.unusedCount = UnusedNonNativeCount(*inventory);
  if (!run.logging) return;
  const DRIVER_INFO_6* drivers = inventory->Drivers();
  DriverFacts facts;
  for (DWORD i = 0; i < inventory->driverCount; ++i) {
    const std::unique_ptr<wchar_t[]> dependentFiles =
        JoinDependentFiles(*inventory, drivers[i].pDependentFiles);
    if (!dependentFiles) throw std::bad_alloc();
    DescribeDriver(*inventory, i, DateForm::Iso, facts);
    AppendFleetRow(result.rows, machine, drivers[i], dependentFiles.get(), &facts);
  }
}  // the inventory goes here: only the rows wait for the main thread

DWORD WINAPI FleetWorker(void* parameter) {
  FleetRun& run = *static_cast<FleetRun*>(parameter);
  for (;;) {
    ::WaitForSingleObject(run.slots.get(), INFINITE);
    if (run.stop.load()) return 0;
    const size_t index = run.next.fetch_add(1);
    if (index >= run.machines.size()) return 0;
    ULONGLONG began = ::GetTickCount64();
    run.began[index].store(began);
    // A result that cannot be allocated reaches the main thread as null.
    MachineResult* result = new (std::nothrow) MachineResult;
    if (result) {
      try {
        ListMachine(run, run.machines[index], *result);
      } catch (const std::bad_alloc&) {
        result->rows = std::string();
        result->error = ERROR_NOT_ENOUGH_MEMORY;
      }
    }
    if (!run.began[index].compare_exchange_strong(began, kListed)) {
      // Too late: the machine has failed, and another worker took this one's place.
      delete result;
      return 0;
    }
    ::PostQueuedCompletionStatus(run.port.get(), 0, index, reinterpret_cast<OVERLAPPED*>(result));
  }
}

// The run's end, however the main thread leaves: every worker is told to stop;
// a worker that does not end in time, or one left behind by the time limit, is
// inside a spooler call, and the run stays allocated for it until the process
// ends. Nothing of the run is freed under a worker.
class FleetWorkers {
 public:
  explicit FleetWorkers(std::unique_ptr<FleetRun> run) : run_(std::move(run)) {}
  ~FleetWorkers() { End(kAbandonedWorkersEndMs); }
  FleetWorkers(const FleetWorkers&) = delete;
  FleetWorkers& operator=(const FleetWorkers&) = delete;

  FleetRun& Run() { return *run_; }

  // Starts up to `count` workers; false with the system's code when none started.
  bool Start(size_t count, DWORD& error) {
    for (size_t i = 0; i < count; ++i) {
      UniqueHandle worker(::CreateThread(nullptr, 0, FleetWorker, run_.get(), 0, nullptr));
      if (!worker) {
        error = ::GetLastError();
        break;
      }
      run_->workers.push_back(std::move(worker));
    }
    return !run_->workers.empty();
  }

  // Stops taking new machines.
  void Stop() {
    if (run_->stop.exchange(true)) return;
    ::ReleaseSemaphore(run_->slots.get(), static_cast<LONG>(run_->workers.size()), nullptr);
  }

  // The next machine past the time limit, now failed (its worker is left in
  // its call and a new worker takes its place); false when there is none.
  bool TakeLateMachine(size_t& late) {
    if (run_->limitMs == 0) return false;
    const ULONGLONG now = ::GetTickCount64();
    const size_t taken = std::min(run_->next.load(), run_->machines.size());
    for (size_t i = oldestInFlight_; i < taken; ++i) {
      ULONGLONG began = run_->began[i].load();
      if (i == oldestInFlight_ && (began == kListed || began == kTooLate)) ++oldestInFlight_;
      if (began == 0 || began == kListed || began == kTooLate || now < began + run_->limitMs) {
        continue;
      }
      if (!run_->began[i].compare_exchange_strong(began, kTooLate)) continue;  // just answered
      ++leftBehind_;
      DWORD ignored = 0;
      Start(1, ignored);
      late = i;
      return true;
    }
    return false;
  }

  // False once every worker is left behind and none could replace them.
  bool CanListMore() const { return run_->workers.size() > leftBehind_; }

  void End(DWORD waitMs) {
    if (!run_) return;
    Stop();
    if (leftBehind_ > 0) {
      static_cast<void>(run_.release());  // left to the process's end, with the workers inside their calls
      return;
    }
    std::vector<HANDLE> handles;
    for (const UniqueHandle& worker : run_->workers) handles.push_back(worker.get());
    const bool ended =
        handles.empty() || ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()),
                                                    handles.data(), TRUE, waitMs) == WAIT_OBJECT_0;
    if (ended) {
      run_.reset();
    } else {
      static_cast<void>(run_.release());  // left to the process's end, with the workers that use it
    }
  }

 private:
  std::unique_ptr<FleetRun> run_;
  size_t oldestInFlight_ = 0;  // machines before it are settled
  size_t leftBehind_ = 0;
};

class CtrlHandlerRegistration {
 public:
  CtrlHandlerRegistration() {
    fleetStopRequested.store(false);
    fleetWritesDone.store(false);
    ::SetConsoleCtrlHandler(StopFleetOnCtrl, TRUE);
  }
  ~CtrlHandlerRegistration() {
    fleetWritesDone.store(true);
    ::SetConsoleCtrlHandler(StopFleetOnCtrl, FALSE);
  }
  CtrlHandlerRegistration(const CtrlHandlerRegistration&) = delete;
  CtrlHandlerRegistration& operator=(const CtrlHandlerRegistration&) = delete;
};

std::wstring Progress(size_t finished, size_t total, std::wstring_view machine) {
  std::wstring line = L"[" + std::to_wstring(finished) + L"/" + std::to_wstring(total) + L"] ";
  AppendShownText(line, machine.substr(0, kMaxTargetMachineName));  // a longer one is refused
  line += L"  ";
  return line;
}

}  // namespace

std::wstring SystemErrorText(DWORD code) {
  return OneLineText(errorReporter ? errorReporter->GetErrorText(code).text
                                   : L"Unspecified error!");
}

std::wstring FleetAnsweredLine(size_t finished, size_t total, std::wstring_view machine,
                               DWORD drivers, DWORD nonNative, DWORD unused) {
  return Progress(finished, total, machine) + std::to_wstring(drivers) +
         (drivers == 1 ? L" driver (" : L" drivers (") + std::to_wstring(nonNative) +
         L" non-native, " + (unused == kUnusedUnknown ? L"?" : std::to_wstring(unused)) +
         L" unused)\r\n";
}

std::wstring FleetFailedLine(size_t finished, size_t total, std::wstring_view machine, DWORD code,
                             std::wstring_view systemText) {
  if (IsNameTooLong(machine))
    return Progress(finished, total, machine) + L"failed: name too long\r\n";
  std::wstring line = Progress(finished, total, machine) + L"failed: " + std::to_wstring(code);
  const std::wstring text = OneLineText(systemText);
  if (!text.empty()) {
    line += L' ';
    AppendShownText(line, text);
  }
  return line + L"\r\n";
}

std::wstring FleetTooLateLine(size_t finished, size_t total, std::wstring_view machine,
                              unsigned limitSeconds, std::wstring_view then) {
  return Progress(finished, total, machine) + L"failed: no answer within " +
         std::to_wstring(limitSeconds) + L" s" + std::wstring(then) + L"\r\n";
}

std::wstring FleetSummaryLine(size_t answered, size_t failed, size_t notFinished, ULONGLONG drivers,
                              size_t notWritten) {
  std::wstring line = L"\r\nMachines: " + std::to_wstring(answered) + L" answered, " +
                      std::to_wstring(failed) + L" failed";
  if (notFinished > 0) line += L", " + std::to_wstring(notFinished) + L" not finished";
  if (notWritten > 0) line += L", " + std::to_wstring(notWritten) + L" not written to the log";
  return line + L". Drivers: " + std::to_wstring(drivers) + L".\r\n";
}

int RunFleet(std::vector<std::wstring> machines, CsvLog* log, unsigned limitSeconds) {
  const size_t total = machines.size();
  auto run = std::make_unique<FleetRun>();
  run->machines = std::move(machines);
  run->logging = log != nullptr;
  run->limitMs = limitSeconds * 1000ULL;
  run->began.reset(new std::atomic<ULONGLONG>[total]());
  const size_t workerCount = total < kMaxFleetWorkers ? total : kMaxFleetWorkers;
  DWORD setupError = ERROR_SUCCESS;
  run->port.reset(::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
  if (!run->port) setupError = ::GetLastError();
  run->slots.reset(::CreateSemaphoreW(nullptr, static_cast<LONG>(workerCount), MAXLONG, nullptr));
  if (!run->slots && setupError == ERROR_SUCCESS) setupError = ::GetLastError();
  const HANDLE port = run->port.get();
  const HANDLE slots = run->slots.get();

  const CtrlHandlerRegistration ctrlHandler;
  std::string header;
  if (log) {
    FillColumnTable();
    header = FleetLogHeader();
    const DWORD error = log->AppendWhole({}, header);
    if (error != ERROR_SUCCESS) {
      PrintLogWriteFailure(*log, error);
      return kExitFailed;
    }
  }

  FleetWorkers workers(std::move(run));
  if (setupError != ERROR_SUCCESS || !workers.Start(workerCount, setupError)) {
    std::wstring failure =
        L"Failed to start listing the machines: " + std::to_wstring(setupError) + L" ";
    AppendShownText(failure, SystemErrorText(setupError));
    WriteConsoleRed((failure + L"\r\n").c_str());
    return kExitFailed;
  }

  size_t finished = 0;
  size_t answered = 0;
  size_t notWritten = 0;
  DWORD logError = ERROR_SUCCESS;
  ULONGLONG drivers = 0;
  while (finished < total) {
    // A machine past its limit fails now; nothing it answers later is written.
    for (size_t late = 0; finished < total && workers.TakeLateMachine(late);) {
      ++finished;
      ::ReleaseSemaphore(slots, 1, nullptr);
      WriteConsoleColored(
          kRed,
          FleetTooLateLine(finished, total, workers.Run().machines[late], limitSeconds).c_str());
      FlushConsole();
    }
    if (finished == total || !workers.CanListMore()) break;
    // After Ctrl+C the machines already finished are still written; no other
    // machine starts. After a failed append no other machine starts either,
    // and none is written: the log keeps the machines written before, whole.
    const bool stopping = fleetStopRequested.load() || logError != ERROR_SUCCESS;
    if (stopping) workers.Stop();
    DWORD ignored = 0;
    ULONG_PTR index = 0;
    OVERLAPPED* packet = nullptr;
    if (!::GetQueuedCompletionStatus(port, &ignored, &index, &packet, stopping ? 0 : kStopPollMs)) {
      if (stopping) break;
      continue;
    }
    const std::unique_ptr<MachineResult> result(reinterpret_cast<MachineResult*>(packet));
    const std::wstring& machine = workers.Run().machines[index];
    ++finished;
    std::wstring line;
    WORD colour = kRed;
    const DWORD error = result ? result->error : ERROR_NOT_ENOUGH_MEMORY;
    const bool failedBefore = logError != ERROR_SUCCESS;
    if (error != 0) {
      line = FleetFailedLine(finished, total, machine, error, SystemErrorText(error));
    } else {
      if (log && !result->rows.empty()) {
        if (!failedBefore) logError = log->AppendWhole(result->rows, header);
        if (logError != ERROR_SUCCESS) ++notWritten;
      }
      ++answered;
      drivers += result->driverCount;
      colour = kGreen;
      line = FleetAnsweredLine(finished, total, machine, result->driverCount,
                               result->nonNativeCount, result->unusedCount);
    }
    // The rows are freed before another machine may start.
    if (result) result->rows = std::string();
    ::ReleaseSemaphore(slots, 1, nullptr);
    WriteConsoleColored(colour, line.c_str());
    if (!failedBefore && logError != ERROR_SUCCESS) PrintLogWriteFailure(*log, logError);
    FlushConsole();
  }

  workers.End(finished < total ? kAbandonedWorkersEndMs : kWorkersEndMs);
  const size_t failed = finished - answered;
  const bool whole = answered == total && logError == ERROR_SUCCESS;
  WriteConsoleColored(
      whole ? kGreen : kRed,
      FleetSummaryLine(answered, failed, total - finished, drivers, notWritten).c_str());
  return whole ? kExitOk : kExitFailed;
}

}  // namespace kestrun
