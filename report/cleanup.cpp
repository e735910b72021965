#include "report/cleanup.h"

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <memory>
#include <mutex>
#include <new>

#include "common/win32_handles.h"
#include "inventory/classification.h"
#include "inventory/deletion.h"
#include "inventory/driver_inventory.h"
#include "inventory/field_text.h"
#include "report/console.h"
#include "report/fleet.h"
#include "report/fleet_log.h"

namespace kestrun {

namespace {

// How long the end of a run waits for workers still inside a spooler call.
constexpr DWORD kWorkersEndMs = 5000;
// How often the main thread looks for machines past the time limit.
constexpr DWORD kLimitPollMs = 50;
constexpr const wchar_t* kActionsColumns[] = {L"Time",           L"Machine", L"Action",
                                              L"Kind",           L"Name",    L"Environment",
                                              L"Driver Version", L"Code",    L"Reason"};
constexpr char kBom[] = "\xEF\xBB\xBF";

std::atomic<bool> cleanupStopRequested{false};

BOOL WINAPI StopCleanupOnCtrl(DWORD) {
  cleanupStopRequested.store(true);
  return TRUE;
}

// Letter case folded the way the system's ordinal comparison folds it.
std::wstring Folded(std::wstring_view text) {
  std::wstring folded(text);
  if (!folded.empty()) {
    const int length = static_cast<int>(text.size());
    ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text.data(), length, folded.data(),
                    length, nullptr, nullptr, 0);
  }
  return folded;
}

bool HasWildcard(std::wstring_view pattern) {
  return pattern.find_first_of(L"*?") != std::wstring_view::npos;
}

std::wstring UtcNow() {
  SYSTEMTIME now = {};
  ::GetSystemTime(&now);
  wchar_t text[32] = {};
  std::swprintf(text, 32, L"%04d-%02d-%02dT%02d:%02d:%02dZ", static_cast<int>(now.wYear),
                static_cast<int>(now.wMonth), static_cast<int>(now.wDay),
                static_cast<int>(now.wHour), static_cast<int>(now.wMinute),
                static_cast<int>(now.wSecond));
  return text;
}

std::wstring Quoted(std::wstring_view text) {
  std::wstring quoted = L"\"";
  AppendShownText(quoted, text);
  return quoted + L"\"";
}

// One machine's outcome, filled by its worker and then owned by the main thread.
struct MachineOutcome {
  bool notStarted = false;
  DWORD error = 0;    // the machine failed: listing or preparation
  std::wstring why;   // what failed, before the system's text
  std::wstring time;  // of its rows: when its plan was taken
  std::wstring lines;
  std::string rows;
  CleanupTotals counts;
};

// One machine's lines and log rows, in the same order.
class MachineRecord {
 public:
  MachineRecord(std::wstring_view machine, MachineOutcome& outcome)
      : machine_(machine), outcome_(outcome) {}

  void Add(const std::wstring& line, const ActionRow& row) {
    outcome_.lines += L"  " + line + L"\r\n";
    AppendActionRow(outcome_.rows, outcome_.time, machine_, row);
  }

 private:
  std::wstring_view machine_;
  MachineOutcome& outcome_;
};

// A machine's clean-up from its plan to its record.
struct MachineWork {
  DeletionPlan plan;
  std::vector<std::wstring> versions;  // of the plan's drivers
  std::vector<PlannedPackage> keptPackages;
  MachineOutcome outcome;
};

enum class Stage { Waiting, Listing, Deleting, Settled, TooLate };

// A machine's progress against the time limit, shared by its worker and the
// main thread under `lock`: the stage, when the current step began and, while
// it deletes, its record as it stands should the current step never end.
struct MachineClock {
  std::mutex lock;
  Stage stage = Stage::Waiting;
  ULONGLONG stepBegan = 0;
  std::unique_ptr<MachineWork> ifNoAnswer;
};

std::wstring DriverText(std::wstring_view name, std::wstring_view environment,
                        std::wstring_view version) {
  std::wstring text = Quoted(name) + L" (";
  AppendShownText(text, environment);
  if (!version.empty()) text += L", " + std::wstring(version);
  return text + L")";
}

std::wstring PrinterText(std::wstring_view name, std::wstring_view driver) {
  std::wstring text = Quoted(name) + L" (";
  AppendShownText(text, driver);
  return text + L")";
}

// What a run shares with its workers: the options, the list and the limit
// (read only), the next machine's index, each machine's clock and the
// completion port. A worker past the limit may outlive the request, so the
// run keeps copies.
struct CleanupRun {
  CleanupOptions options;
  std::vector<std::wstring> machines;
  ULONGLONG limitMs = 0;  // 0: no limit
  std::atomic<size_t> next{0};
  std::unique_ptr<MachineClock[]> clocks;
  UniqueHandle port;                  // finished machines, in finishing order
  std::vector<UniqueHandle> workers;  // the main thread's
};

// The plan's outcomes so far, with the step about to start failed by the limit.
void CopyOutcomes(const DeletionPlan& from, const DeletionStep& step, DeletionPlan& to) {
  for (size_t d = 0; d < from.drivers.size(); ++d) to.drivers[d].error = from.drivers[d].error;
  for (size_t p = 0; p < from.printers.size(); ++p) {
    to.printers[p].deleted = from.printers[p].deleted;
  }
  for (size_t k = 0; k < from.packages.size(); ++k) {
    to.packages[k].outcome = from.packages[k].outcome;
    to.packages[k].error = from.packages[k].error;
  }
  if (step.package) {
    to.packages[step.index].outcome = PackageOutcome::Kept;
    to.packages[step.index].error = ERROR_TIMEOUT;
  } else {
    to.drivers[step.index].error = ERROR_TIMEOUT;
  }
}

// A worker's side of its machine's clock. Each call starts a step, or ends
// the machine, unless the main thread has already failed it for its time.
class StepClock {
 public:
  StepClock(CleanupRun& run, size_t index) : clock_(run.clocks[index]), limited_(run.limitMs) {}

  bool BeginListing() { return Begin(Stage::Listing); }

  // From here on a machine past its limit is recorded as it stood.
  bool BeginDeleting(const MachineWork& work) {
    if (!limited_) return true;
    auto copy = std::make_unique<MachineWork>(work);
    const std::lock_guard<std::mutex> guard(clock_.lock);
    if (clock_.stage == Stage::TooLate) return false;
    clock_.ifNoAnswer = std::move(copy);
    clock_.stage = Stage::Deleting;
    clock_.stepBegan = ::GetTickCount64();
    return true;
  }

  bool BeginStep(const DeletionPlan& plan, const DeletionStep& step) {
    if (!limited_) return true;
    const std::lock_guard<std::mutex> guard(clock_.lock);
    if (clock_.stage == Stage::TooLate) return false;
    CopyOutcomes(plan, step, clock_.ifNoAnswer->plan);
    clock_.stepBegan = ::GetTickCount64();
    return true;
  }

  // False: the machine has failed, its outcome is not wanted.
  bool Settle() { return Begin(Stage::Settled); }

 private:
  bool Begin(Stage stage) {
    if (!limited_) return true;
    const std::lock_guard<std::mutex> guard(clock_.lock);
    if (clock_.stage == Stage::TooLate) return false;
    clock_.stage = stage;
    clock_.stepBegan = ::GetTickCount64();
    return true;
  }

  MachineClock& clock_;
  const bool limited_;
};

// The printers that keep a selected driver: without "/printers" its own
// printers, and always a printer the plan keeps (on another server, or one
// whose environment is unknown), since deleting the driver would fail.
std::vector<std::wstring> KeepingPrinters(const DeletionPlan& plan, const PlannedDriver& driver,
                                          bool printersMayGo) {
  std::vector<std::wstring> keeping;
  if (!printersMayGo) {
    for (const size_t p : driver.printers) keeping.push_back(plan.printers[p].name);
  }
  if (driver.keptBy == kNotKept) return keeping;
  for (const KeptPrinter& kept : plan.kept) {
    if (kept.driverName == driver.name) keeping.push_back(kept.name);
  }
  return keeping;
}

void RecordKeptDriver(MachineRecord& record, const PlannedDriver& driver,
                      const std::wstring& version, const std::vector<std::wstring>& keeping) {
  std::wstring usedBy = L"used by ";
  for (size_t i = 0; i < keeping.size(); ++i) {
    if (i > 0) usedBy += L", ";
    AppendShownText(usedBy, keeping[i]);
  }
  record.Add(L"Kept: " + DriverText(driver.name, driver.environment, {}) + L": " + usedBy,
             {L"kept", L"driver", driver.name, driver.environment, version,
              ERROR_PRINTER_DRIVER_IN_USE, usedBy});
}

void RecordWhatIf(MachineRecord& record, const DeletionPlan& plan,
                  const std::vector<std::wstring>& versions, CleanupTotals& counts) {
  std::vector<bool> listed(plan.printers.size(), false);
  for (size_t d = 0; d < plan.drivers.size(); ++d) {
    const PlannedDriver& driver = plan.drivers[d];
    for (const size_t p : driver.printers) {
      if (listed[p]) continue;
      listed[p] = true;
      const PlannedPrinter& printer = plan.printers[p];
      record.Add(L"What if: delete printer " + PrinterText(printer.name, printer.driverName),
                 {L"would delete",
                  L"printer",
                  printer.name,
                  plan.serverEnvironment,
                  {},
                  0,
                  printer.driverName});
      ++counts.printersGo;
    }
    record.Add(
        L"What if: delete driver " + DriverText(driver.name, driver.environment, versions[d]),
        {L"would delete", L"driver", driver.name, driver.environment, versions[d], 0, {}});
    ++counts.driversGo;
  }
  for (const PlannedPackage& package : plan.packages) {
    const std::wstring file(FileNamePart(package.infPath));
    record.Add(L"What if: remove package " + Quoted(file),
               {L"would remove", L"package", file, package.environment, {}, 0, {}});
    ++counts.packagesGo;
  }
}

std::wstring CodeText(DWORD code) { return std::to_wstring(code) + L" " + SystemErrorText(code); }

// What a /yes run did, in the plan's order: each line says what happened.
void RecordOutcome(MachineRecord& record, const DeletionPlan& plan,
                   const std::vector<std::wstring>& versions, CleanupTotals& counts) {
  std::vector<bool> listed(plan.printers.size(), false);
  for (size_t d = 0; d < plan.drivers.size(); ++d) {
    const PlannedDriver& driver = plan.drivers[d];
    bool failureShown = false;  // the first printer left holds the driver's code
    for (const size_t p : driver.printers) {
      if (listed[p]) continue;
      listed[p] = true;
      const PlannedPrinter& printer = plan.printers[p];
      const std::wstring text = PrinterText(printer.name, printer.driverName);
      if (printer.deleted) {
        record.Add(L"Deleted printer " + text, {L"deleted",
                                                L"printer",
                                                printer.name,
                                                plan.serverEnvironment,
                                                {},
                                                0,
                                                printer.driverName});
        ++counts.printersGo;
      } else if (driver.error != ERROR_CANCELLED && !failureShown) {
        failureShown = true;
        const std::wstring why = CodeText(driver.error);
        record.Add(
            L"Failed: printer " + text + L": " + why,
            {L"failed", L"printer", printer.name, plan.serverEnvironment, {}, driver.error, why});
        ++counts.printersFailed;
      } else {
        record.Add(L"Not tried: printer " + text, {L"not tried",
                                                   L"printer",
                                                   printer.name,
                                                   plan.serverEnvironment,
                                                   {},
                                                   ERROR_CANCELLED,
                                                   {}});
      }
    }
    const std::wstring text = DriverText(driver.name, driver.environment, versions[d]);
    const ActionRow row = {{},          L"driver",    driver.name, driver.environment,
                           versions[d], driver.error, {}};
    if (driver.error == 0) {
      record.Add(L"Deleted driver " + text,
                 {L"deleted", row.kind, row.name, row.environment, row.version, 0, {}});
      ++counts.driversGo;
    } else if (driver.error == ERROR_CANCELLED) {
      record.Add(L"Not tried: driver " + text,
                 {L"not tried", row.kind, row.name, row.environment, row.version, row.code, {}});
      ++counts.driversNotTried;
    } else {
      const std::wstring why = CodeText(driver.error);
      record.Add(L"Failed: driver " + DriverText(driver.name, driver.environment, {}) + L": " + why,
                 {L"failed", row.kind, row.name, row.environment, row.version, row.code, why});
      ++counts.driversFailed;
    }
  }
  for (const PlannedPackage& package : plan.packages) {
    const std::wstring file(FileNamePart(package.infPath));
    if (package.outcome == PackageOutcome::Removed) {
      record.Add(L"Removed package " + Quoted(file),
                 {L"removed", L"package", file, package.environment, {}, 0, {}});
      ++counts.packagesGo;
      continue;
    }
    bool driversGone = true;
    for (const size_t d : package.drivers) driversGone = driversGone && plan.drivers[d].error == 0;
    const std::wstring why =
        package.outcome == PackageOutcome::Kept
            ? CodeText(package.error)
            : std::wstring(driversGone ? L"not tried" : L"a driver from it was not deleted");
    record.Add(L"Kept: package " + Quoted(file) + L": " + why,
               {L"kept", L"package", file, package.environment, {}, package.error, why});
    ++counts.packagesKept;
  }
}

void RecordKeptPackages(MachineRecord& record, const DeletionPlan& plan,
                        const std::vector<PlannedPackage>& keptPackages, CleanupTotals& counts) {
  for (const std::wstring& path : plan.nativePackages) {
    const std::wstring file(FileNamePart(path));
    record.Add(L"Kept: package " + Quoted(file) + L": the system's own",
               {L"kept", L"package", file, {}, {}, 0, L"the system's own"});
    ++counts.packagesKept;
  }
  for (const PlannedPackage& package : keptPackages) {
    const std::wstring file(FileNamePart(package.infPath));
    record.Add(
        L"Kept: package " + Quoted(file) + L": a driver from it is kept",
        {L"kept", L"package", file, package.environment, {}, 0, L"a driver from it is kept"});
    ++counts.packagesKept;
  }
  if (plan.packageListError != 0) {
    const std::wstring why = L"the driver packages could not be read: " +
                             std::to_wstring(plan.packageListError) + L" " +
                             SystemErrorText(plan.packageListError);
    record.Add(L"Kept: " + why, {L"kept", L"package", {}, {}, {}, plan.packageListError, why});
  }
}

// The record of a carried-out plan, from the plan's outcomes.
void RecordDeletion(std::wstring_view machine, MachineWork& work) {
  MachineRecord record(machine, work.outcome);
  RecordOutcome(record, work.plan, work.versions, work.outcome.counts);
  RecordKeptPackages(record, work.plan, work.keptPackages, work.outcome.counts);
}

// Lists one machine, plans its clean-up with the deletion engine and records
// the plan, or carries it out. Returns early, its outcome unwanted, once the
// machine is past its time limit.
void CleanUpMachine(const CleanupRun& run, StepClock& clock, const std::wstring& machine,
                    MachineWork& work) {
  const CleanupOptions& options = run.options;
  MachineOutcome& outcome = work.outcome;
  const std::unique_ptr<DriverInventory> inventory = CreateInventory();
  if (!inventory) {
    outcome.error = ERROR_NOT_ENOUGH_MEMORY;
    return;
  }
  if (!clock.BeginListing()) return;
  if (!EnumerateDrivers(*inventory, machine)) {
    outcome.error = inventory->lastError;
    return;
  }
  if (options.unused && !inventory->printerUse) {
    outcome.error = inventory->printerError != 0 ? inventory->printerError : ERROR_INVALID_DATA;
    outcome.why = L"its printers could not be read, so no driver is known to be unused: ";
    return;
  }

  DeletionPlan& plan = work.plan;
  plan = PlanOnTarget(*inventory);
  plan.withSession = false;
  plan.keepsLastOutcome = false;
  plan.removePackages = options.packages;
  std::vector<std::wstring> versions;
  const DRIVER_INFO_6* drivers = inventory->Drivers();
  for (DWORD i = 0; i < inventory->driverCount; ++i) {
    const DRIVER_INFO_6& driver = drivers[i];
    const DWORD* printers = inventory->printerUse ? &inventory->printerUse[i] : nullptr;
    if (!SelectsDriver(options, FieldOrEmpty(driver.pName), FieldOrEmpty(driver.pEnvironment),
                       !IsNonNativeDriver(driver), printers)) {
      continue;
    }
    AddPlannedDriver(plan, driver);
    versions.push_back(DriverVersionText(driver.dwlDriverVersion));
  }
  outcome.time = UtcNow();
  if (plan.drivers.empty()) return;  // nothing to delete: a success

  // Reading the printers again is a listing of its own, with its own limit.
  if (!clock.BeginListing()) return;
  DWORD error = 0;
  if (!PrepareDeletion(plan, error)) {
    outcome.error = error;
    outcome.why = L"its printers could not be read: ";
    return;
  }

  MachineRecord record(machine, outcome);
  std::vector<bool> drop(plan.drivers.size(), false);
  for (size_t d = 0; d < plan.drivers.size(); ++d) {
    const std::vector<std::wstring> keeping =
        KeepingPrinters(plan, plan.drivers[d], options.printers);
    if (keeping.empty()) continue;
    drop[d] = true;
    RecordKeptDriver(record, plan.drivers[d], versions[d], keeping);
    ++outcome.counts.driversKept;
  }
  const std::vector<size_t> before = DropDrivers(plan, drop, work.keptPackages);
  for (const size_t d : before) work.versions.push_back(versions[d]);

  if (!options.yes) {
    RecordWhatIf(record, plan, work.versions, outcome.counts);
    AbandonDeletion(plan);
    RecordKeptPackages(record, plan, work.keptPackages, outcome.counts);
    return;
  }
  plan.stop = &cleanupStopRequested;
  if (!clock.BeginDeleting(work)) return;
  plan.beforeStep = [&clock, &plan](const DeletionStep& step) {
    return clock.BeginStep(plan, step);
  };
  ExecuteDeletion(plan, nullptr);
  RecordDeletion(machine, work);
}

DWORD WINAPI CleanupWorker(void* parameter) {
  CleanupRun& run = *static_cast<CleanupRun*>(parameter);
  for (;;) {
    const size_t index = run.next.fetch_add(1);
    if (index >= run.machines.size()) return 0;
    StepClock clock(run, index);
    // An outcome that cannot be allocated reaches the main thread as null.
    MachineOutcome* outcome = nullptr;
    if (cleanupStopRequested.load()) {
      outcome = new (std::nothrow) MachineOutcome;
      if (outcome) outcome->notStarted = true;  // after Ctrl+C no machine starts
    } else {
      try {
        MachineWork work;
        CleanUpMachine(run, clock, run.machines[index], work);
        outcome = new MachineOutcome(std::move(work.outcome));
      } catch (const std::bad_alloc&) {
        outcome = new (std::nothrow) MachineOutcome;
        if (outcome) outcome->error = ERROR_NOT_ENOUGH_MEMORY;
      }
    }
    if (!clock.Settle()) {
      // Past its limit: the main thread has reported it and started another worker.
      delete outcome;
      return 0;
    }
    ::PostQueuedCompletionStatus(run.port.get(), 0, index, reinterpret_cast<OVERLAPPED*>(outcome));
  }
}

// The next machine in a step past the time limit, failed now; with what it had
// done when it was deleting. Its worker is left inside its call.
bool TakeLateMachine(CleanupRun& run, size_t& oldestUnsettled, size_t& late,
                     std::unique_ptr<MachineWork>& done) {
  if (run.limitMs == 0) return false;
  const ULONGLONG now = ::GetTickCount64();
  const size_t taken = std::min(run.next.load(), run.machines.size());
  for (size_t i = oldestUnsettled; i < taken; ++i) {
    MachineClock& clock = run.clocks[i];
    const std::lock_guard<std::mutex> guard(clock.lock);
    const bool running = clock.stage == Stage::Listing || clock.stage == Stage::Deleting;
    if (i == oldestUnsettled && clock.stage != Stage::Waiting && !running) ++oldestUnsettled;
    if (!running || now < clock.stepBegan + run.limitMs) continue;
    clock.stage = Stage::TooLate;
    done = std::move(clock.ifNoAnswer);
    late = i;
    return true;
  }
  return false;
}

class CtrlHandlerRegistration {
 public:
  CtrlHandlerRegistration() {
    cleanupStopRequested.store(false);
    ::SetConsoleCtrlHandler(StopCleanupOnCtrl, TRUE);
  }
  ~CtrlHandlerRegistration() { ::SetConsoleCtrlHandler(StopCleanupOnCtrl, FALSE); }
  CtrlHandlerRegistration(const CtrlHandlerRegistration&) = delete;
  CtrlHandlerRegistration& operator=(const CtrlHandlerRegistration&) = delete;
};

std::wstring MachineLine(size_t finished, size_t total, std::wstring_view machine,
                         const CleanupTotals& counts, bool whatIf) {
  std::wstring line = L"[" + std::to_wstring(finished) + L"/" + std::to_wstring(total) + L"] ";
  AppendShownText(line, machine);
  line += L"  ";
  if (counts.driversGo + counts.driversKept + counts.driversFailed + counts.driversNotTried == 0) {
    return line + L"nothing to delete\r\n";
  }
  line += std::to_wstring(counts.driversGo) + (counts.driversGo == 1 ? L" driver" : L" drivers") +
          (whatIf ? L" to delete" : L" deleted");
  if (counts.driversKept > 0) line += L", " + std::to_wstring(counts.driversKept) + L" kept";
  if (counts.driversFailed > 0) line += L", " + std::to_wstring(counts.driversFailed) + L" failed";
  if (counts.driversNotTried > 0) {
    line += L", " + std::to_wstring(counts.driversNotTried) + L" not tried";
  }
  return line + L"\r\n";
}

bool AnyLeft(const CleanupTotals& counts) {
  return counts.driversKept + counts.driversFailed + counts.driversNotTried +
             counts.printersFailed + counts.packagesKept >
         0;
}

void AddCounts(CleanupTotals& totals, const CleanupTotals& machine) {
  totals.driversGo += machine.driversGo;
  totals.driversKept += machine.driversKept;
  totals.driversFailed += machine.driversFailed;
  totals.driversNotTried += machine.driversNotTried;
  totals.printersGo += machine.printersGo;
  totals.printersFailed += machine.printersFailed;
  totals.packagesGo += machine.packagesGo;
  totals.packagesKept += machine.packagesKept;
}

// The main thread's side of a run: each machine's lines and log rows as it
// finishes, and the totals.
class RunReport {
 public:
  RunReport(size_t total, bool whatIf, CsvLog* log, unsigned limitSeconds)
      : total_(total), whatIf_(whatIf), log_(log), limitSeconds_(limitSeconds) {}

  const CleanupTotals& Totals() const { return totals_; }
  bool LogWritten() const { return logError_ == ERROR_SUCCESS; }

  void NotStarted() { ++totals_.machinesNotStarted; }

  // A machine whose worker handed its outcome on (null: none could be made).
  void Finished(std::wstring_view machine, const MachineOutcome* outcome) {
    ++finished_;
    const DWORD error = outcome ? outcome->error : ERROR_NOT_ENOUGH_MEMORY;
    if (error != 0) {
      ++totals_.machinesFailed;
      const std::wstring why = outcome ? outcome->why : std::wstring();
      WriteConsoleRed(
          FleetFailedLine(finished_, total_, machine, error, why + SystemErrorText(error)).c_str());
      FlushConsole();
      return;
    }
    Write(*outcome);
    const bool left = !whatIf_ && AnyLeft(outcome->counts);
    ++(left ? totals_.machinesFailed : totals_.machinesDone);
    WriteConsoleColored(left ? kRed : kGreen,
                        MachineLine(finished_, total_, machine, outcome->counts, whatIf_).c_str());
    FlushConsole();
  }

  // A machine past its limit: in a listing, or (with what it had done) in a
  // deletion step whose outcome nobody knows.
  void TooLate(std::wstring_view machine, MachineWork* deleting) {
    ++finished_;
    ++totals_.machinesFailed;
    if (deleting) {
      RecordDeletion(machine, *deleting);
      Write(deleting->outcome);
    }
    WriteConsoleRed(FleetTooLateLine(finished_, total_, machine, limitSeconds_,
                                     deleting ? L": its state is unknown, list it again" : L"")
                        .c_str());
    FlushConsole();
  }

 private:
  void Write(const MachineOutcome& outcome) {
    if (log_ && !outcome.rows.empty() && logError_ == ERROR_SUCCESS) {
      logError_ = log_->AppendWhole(outcome.rows, header_);
      if (logError_ != ERROR_SUCCESS) {
        // Nothing more is started that the log could not account for.
        cleanupStopRequested.store(true);
        PrintLogWriteFailure(*log_, logError_);
      }
    }
    AddCounts(totals_, outcome.counts);
    WriteConsoleRed(outcome.lines.c_str());
  }

  const size_t total_;
  const bool whatIf_;
  CsvLog* const log_;
  const unsigned limitSeconds_;
  const std::string header_ = ActionsLogHeader();
  size_t finished_ = 0;
  DWORD logError_ = ERROR_SUCCESS;
  CleanupTotals totals_;
};

// Starts a worker; false when the system could not.
bool StartWorker(CleanupRun& run, DWORD& error) {
  UniqueHandle worker(::CreateThread(nullptr, 0, CleanupWorker, &run, 0, nullptr));
  if (!worker) {
    error = ::GetLastError();
    return false;
  }
  run.workers.push_back(std::move(worker));
  return true;
}

}  // namespace

bool MatchesDriverPattern(std::wstring_view pattern, std::wstring_view name) {
  const std::wstring p = Folded(pattern);
  const std::wstring n = Folded(name);
  // Greedy, going back to the last "*" on a mismatch: linear in practice,
  // never worse than the product of the lengths.
  size_t pi = 0;
  size_t ni = 0;
  size_t star = std::wstring::npos;
  size_t resume = 0;
  while (ni < n.size()) {
    if (pi < p.size() && (p[pi] == L'?' || p[pi] == n[ni])) {
      ++pi;
      ++ni;
    } else if (pi < p.size() && p[pi] == L'*') {
      star = pi++;
      resume = ni;
    } else if (star != std::wstring::npos) {
      pi = star + 1;
      ni = ++resume;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == L'*') ++pi;
  return pi == p.size();
}

bool SelectsDriver(const CleanupOptions& options, std::wstring_view name,
                   std::wstring_view environment, bool native, const DWORD* printers) {
  if (name.empty()) return false;
  if (!options.environment.empty() && !EqualsIgnoringAsciiCase(environment, options.environment)) {
    return false;
  }
  if (options.unused && (native || printers == nullptr || *printers != 0)) return false;
  if (options.driverPatterns.empty()) return options.unused;
  for (const std::wstring& pattern : options.driverPatterns) {
    if (native && HasWildcard(pattern)) continue;
    if (MatchesDriverPattern(pattern, name)) return true;
  }
  return false;
}

std::string ActionsLogHeader() {
  std::string header = kBom;
  for (const wchar_t* title : kActionsColumns) {
    if (header.size() > sizeof(kBom) - 1) header += ',';
    AppendFleetField(header, title);
  }
  return header + "\r\n";
}

bool HoldsAnotherHeader(std::string_view firstBytes) {
  if (firstBytes.empty()) return false;
  const std::string header = ActionsLogHeader();
  if (firstBytes.substr(0, header.size()) == header) return false;
  // Saved again without its BOM, it is still the action log.
  const std::string_view bare = std::string_view(header).substr(sizeof(kBom) - 1);
  return firstBytes.substr(0, bare.size()) != bare;
}

void AppendActionRow(std::string& bytes, std::wstring_view time, std::wstring_view machine,
                     const ActionRow& row) {
  const std::wstring code = std::to_wstring(row.code);
  const std::wstring_view fields[] = {time,        machine,  row.action,
                                      row.kind,    row.name, row.environment,
                                      row.version, code,     row.reason};
  for (size_t i = 0; i < std::size(fields); ++i) {
    if (i > 0) bytes += ',';
    AppendFleetField(bytes, fields[i]);
  }
  bytes += "\r\n";
}

std::wstring CleanupSummaryLine(const CleanupTotals& totals, bool whatIf) {
  const auto n = [](size_t count) { return std::to_wstring(count); };
  std::wstring line =
      L"\r\nMachines: " + n(totals.machinesDone) + (whatIf ? L" planned" : L" cleaned");
  if (totals.machinesFailed > 0 || !whatIf) line += L", " + n(totals.machinesFailed) + L" failed";
  if (totals.machinesNotStarted > 0) line += L", " + n(totals.machinesNotStarted) + L" not started";
  line += L". Drivers: " + n(totals.driversGo) + (whatIf ? L" to delete, " : L" deleted, ") +
          n(totals.driversKept) + L" kept";
  if (!whatIf) line += L", " + n(totals.driversFailed) + L" failed";
  if (totals.driversNotTried > 0) line += L", " + n(totals.driversNotTried) + L" not tried";
  line += L". Printers: " + n(totals.printersGo) + (whatIf ? L" to delete" : L" deleted");
  if (totals.printersFailed > 0) line += L", " + n(totals.printersFailed) + L" failed";
  line += L". Packages: " + n(totals.packagesGo) + (whatIf ? L" to remove, " : L" removed, ") +
          n(totals.packagesKept) + L" kept.\r\n";
  return line;
}

int RunCleanup(const ReportRequest& request, std::vector<std::wstring> machines, CsvLog* log) {
  const size_t total = machines.size();
  auto run = std::make_unique<CleanupRun>();
  run->options = request.cleanup;
  run->machines = std::move(machines);
  run->limitMs = request.timeoutSeconds * 1000ULL;
  run->clocks.reset(new MachineClock[total]);
  const CtrlHandlerRegistration ctrlHandler;

  DWORD setupError = ERROR_SUCCESS;
  run->port.reset(::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
  if (!run->port) setupError = ::GetLastError();
  const size_t workerCount = total < kMaxFleetWorkers ? total : kMaxFleetWorkers;
  for (size_t i = 0; run->port && i < workerCount; ++i) {
    if (!StartWorker(*run, setupError)) break;
  }
  if (run->workers.empty()) {
    std::wstring failure = L"Failed to start the clean-up: " + std::to_wstring(setupError) + L" ";
    AppendShownText(failure, SystemErrorText(setupError));
    WriteConsoleRed((failure + L"\r\n").c_str());
    return kExitFailed;
  }

  const bool whatIf = !request.cleanup.yes;
  RunReport report(total, whatIf, log, request.timeoutSeconds);
  size_t settled = 0;     // reported, or not started
  size_t leftBehind = 0;  // workers inside a call past the limit
  size_t oldestUnsettled = 0;
  while (settled < total) {
    size_t late = 0;
    std::unique_ptr<MachineWork> done;
    if (TakeLateMachine(*run, oldestUnsettled, late, done)) {
      ++settled;
      ++leftBehind;
      report.TooLate(run->machines[late], done.get());
      DWORD ignored = 0;
      StartWorker(*run, ignored);  // in the place of the one left behind
      continue;
    }
    if (run->workers.size() == leftBehind) break;  // none could take their place
    DWORD ignored = 0;
    ULONG_PTR index = 0;
    OVERLAPPED* packet = nullptr;
    if (!::GetQueuedCompletionStatus(run->port.get(), &ignored, &index, &packet,
                                     run->limitMs ? kLimitPollMs : INFINITE)) {
      if (::GetLastError() == WAIT_TIMEOUT) continue;
      break;
    }
    ++settled;
    const std::unique_ptr<MachineOutcome> outcome(reinterpret_cast<MachineOutcome*>(packet));
    if (outcome && outcome->notStarted) {
      report.NotStarted();
    } else {
      report.Finished(run->machines[index], outcome.get());
    }
  }
  for (; settled < total; ++settled) report.NotStarted();

  std::vector<HANDLE> handles;
  for (const UniqueHandle& worker : run->workers) handles.push_back(worker.get());
  if (leftBehind > 0 || ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(),
                                                 TRUE, kWorkersEndMs) != WAIT_OBJECT_0) {
    // Left to the process's end, with the workers still inside their calls.
    static_cast<void>(run.release());
  }
  const CleanupTotals& totals = report.Totals();
  const bool clean = !cleanupStopRequested.load() && report.LogWritten() &&
                     totals.machinesFailed == 0 && totals.machinesNotStarted == 0 &&
                     (whatIf || !AnyLeft(totals));
  WriteConsoleColored(clean ? kGreen : kRed, CleanupSummaryLine(totals, whatIf).c_str());
  return clean ? kExitOk : kExitFailed;
}

}  // namespace kestrun
