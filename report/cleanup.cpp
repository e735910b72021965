#include "report/cleanup.h"

#include <algorithm>
#include <cwchar>
#include <memory>
#include <new>

#include "common/win32_handles.h"
#include "inventory/classification.h"
#include "inventory/deletion.h"
#include "inventory/driver_inventory.h"
#include "inventory/field_text.h"
#include "report/console.h"
#include "report/fleet.h"
#include "report/fleet_log.h"
#include "report/machine_run.h"

namespace kestrun {

namespace {

constexpr const wchar_t* kActionsColumns[] = {L"Time",           L"Machine", L"Action",
                                              L"Kind",           L"Name",    L"Environment",
                                              L"Driver Version", L"Code",    L"Reason"};
constexpr char kBom[] = "\xEF\xBB\xBF";

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

// One machine's lines and log rows, in the same order.
struct MachineOutcome {
  DWORD error = 0;    // the machine failed: listing or preparation
  std::wstring why;   // what failed, before the code and the system's text
  std::wstring time;  // of its rows: when its plan was taken
  std::wstring lines;
  std::string rows;
  CleanupTotals counts;
};

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
struct MachineWork : MachineResult {
  DeletionPlan plan;
  std::vector<std::wstring> versions;  // of the plan's drivers
  std::vector<std::wstring> warnings;  // per planned driver: why its going needs a word
  std::vector<PlannedPackage> keptPackages;
  // The step no answer came back from, when the machine is given up in it.
  bool stepInProgress = false;
  DeletionStep inProgress;
  MachineOutcome outcome;
};

// What every worker of a run reads: the options and the list. A worker left
// inside a spooler call may outlive the run's command, so they share it.
struct CleanupContext {
  CleanupOptions options;
  std::vector<std::wstring> machines;
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

std::wstring PrinterList(const std::vector<std::wstring>& printers) {
  std::wstring list;
  for (size_t i = 0; i < printers.size(); ++i) {
    if (i > 0) list += L", ";
    AppendShownText(list, printers[i]);
  }
  return list;
}

// "its printers' 32-bit clients get it here: \\SRV\HR Laser"
std::wstring ClientsSentence(const PlannedDriver& driver, const InUseDecision& decision) {
  return L"its printers' " + ClientKind(driver.environment) + L" clients get it here: " +
         PrinterList(decision.printers);
}

// The plan's outcomes so far, and the step about to start.
void CopyOutcomes(const DeletionPlan& from, const DeletionStep& step, MachineWork& to) {
  for (size_t d = 0; d < from.drivers.size(); ++d) to.plan.drivers[d].error = from.drivers[d].error;
  for (size_t p = 0; p < from.printers.size(); ++p) {
    to.plan.printers[p].deleted = from.printers[p].deleted;
  }
  for (size_t k = 0; k < from.packages.size(); ++k) {
    to.plan.packages[k].outcome = from.packages[k].outcome;
    to.plan.packages[k].error = from.packages[k].error;
  }
  to.stepInProgress = true;
  to.inProgress = step;
}

// A machine given up inside a step: that step failed with `code` (nobody
// knows how it ended); everything after it was not tried.
void FailStepInProgress(MachineWork& work, DWORD code) {
  if (!work.stepInProgress) return;
  if (work.inProgress.package) {
    work.plan.packages[work.inProgress.index].outcome = PackageOutcome::Failed;
    work.plan.packages[work.inProgress.index].error = code;
  } else {
    work.plan.drivers[work.inProgress.index].error = code;
  }
}

void RecordKeptDriver(MachineRecord& record, const PlannedDriver& driver,
                      const std::wstring& version, const InUseDecision& decision) {
  const std::wstring why = decision.rule == InUseRule::ClientsGetIt
                               ? ClientsSentence(driver, decision)
                               : L"used by " + PrinterList(decision.printers);
  record.Add(L"Kept: " + DriverText(driver.name, driver.environment, {}) + L": " + why,
             {L"kept", L"driver", driver.name, driver.environment, version,
              ERROR_PRINTER_DRIVER_IN_USE, why});
}

// The warning a driver's line ends with, when it has one.
std::wstring WithWarning(std::wstring line, const std::wstring& warning) {
  return warning.empty() ? line : line + L": " + warning;
}

void RecordWhatIf(MachineRecord& record, const MachineWork& work, CleanupTotals& counts) {
  const DeletionPlan& plan = work.plan;
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
    const std::wstring& version = work.versions[d];
    const std::wstring& warning = work.warnings[d];
    record.Add(WithWarning(L"What if: delete driver " +
                               DriverText(driver.name, driver.environment, version),
                           warning),
               {L"would delete", L"driver", driver.name, driver.environment, version, 0, warning});
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

void RecordPrinterOutcomes(MachineRecord& record, const DeletionPlan& plan,
                           const PlannedDriver& driver, std::vector<bool>& listed,
                           CleanupTotals& counts) {
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
}

void RecordPackageOutcome(MachineRecord& record, const PlannedPackage& package,
                          CleanupTotals& counts) {
  const std::wstring file(FileNamePart(package.infPath));
  const std::wstring quoted = Quoted(file);
  switch (package.outcome) {
    case PackageOutcome::Removed:
      record.Add(L"Removed package " + quoted,
                 {L"removed", L"package", file, package.environment, {}, 0, {}});
      ++counts.packagesGo;
      return;
    case PackageOutcome::Kept: {
      const std::wstring why = L"a driver from it was not deleted";
      record.Add(L"Kept: package " + quoted + L": " + why,
                 {L"kept", L"package", file, package.environment, {}, 0, why});
      ++counts.packagesKept;
      return;
    }
    case PackageOutcome::Failed: {
      const std::wstring why = CodeText(package.error);
      record.Add(L"Failed: package " + quoted + L": " + why,
                 {L"failed", L"package", file, package.environment, {}, package.error, why});
      ++counts.packagesFailed;
      return;
    }
    case PackageOutcome::Pending:
    case PackageOutcome::NotTried:
      break;
  }
  record.Add(L"Not tried: package " + quoted,
             {L"not tried", L"package", file, package.environment, {}, ERROR_CANCELLED, {}});
  ++counts.packagesNotTried;
}

// What a /yes run did, in the plan's order: each line says what happened.
void RecordOutcome(MachineRecord& record, const MachineWork& work, CleanupTotals& counts) {
  const DeletionPlan& plan = work.plan;
  std::vector<bool> listed(plan.printers.size(), false);
  for (size_t d = 0; d < plan.drivers.size(); ++d) {
    const PlannedDriver& driver = plan.drivers[d];
    RecordPrinterOutcomes(record, plan, driver, listed, counts);
    const std::wstring& version = work.versions[d];
    const std::wstring text = DriverText(driver.name, driver.environment, version);
    if (driver.error == 0) {
      record.Add(WithWarning(L"Deleted driver " + text, work.warnings[d]),
                 {L"deleted", L"driver", driver.name, driver.environment, version, 0,
                  work.warnings[d]});
      ++counts.driversGo;
    } else if (driver.error == ERROR_CANCELLED) {
      record.Add(L"Not tried: driver " + text, {L"not tried", L"driver", driver.name,
                                                driver.environment, version, driver.error, {}});
      ++counts.driversNotTried;
    } else {
      const std::wstring why = CodeText(driver.error);
      record.Add(L"Failed: driver " + DriverText(driver.name, driver.environment, {}) + L": " + why,
                 {L"failed", L"driver", driver.name, driver.environment, version, driver.error,
                  why});
      ++counts.driversFailed;
    }
  }
  for (const PlannedPackage& package : plan.packages) {
    RecordPackageOutcome(record, package, counts);
  }
}

void RecordKeptPackages(MachineRecord& record, const MachineWork& work, CleanupTotals& counts) {
  const auto keep = [&](const std::wstring& path, std::wstring_view environment,
                        const std::wstring& why) {
    const std::wstring file(FileNamePart(path));
    record.Add(L"Kept: package " + Quoted(file) + L": " + why,
               {L"kept", L"package", file, environment, {}, 0, why});
    ++counts.packagesKept;
  };
  for (const std::wstring& path : work.plan.nativePackages) keep(path, {}, L"the system's own");
  for (const PlannedPackage& package : work.keptPackages) {
    keep(package.infPath, package.environment, L"a driver from it is kept");
  }
  for (const PlannedPackage& package : work.plan.sharedPackages) {
    keep(package.infPath, package.environment, L"still used by " + Quoted(package.usedBy));
  }
  if (const DWORD error = work.plan.packageListError) {  // an old server: none to remove
    const std::wstring why = L"the driver packages could not be read: " + CodeText(error);
    record.Add(L"Kept: " + why, {L"kept", L"package", {}, {}, {}, error, why});
  }
}

// The record of a carried-out plan, from the plan's outcomes.
void RecordDeletion(std::wstring_view machine, MachineWork& work) {
  MachineRecord record(machine, work.outcome);
  RecordOutcome(record, work, work.outcome.counts);
  RecordKeptPackages(record, work, work.outcome.counts);
}

// Whether the driver was selected by a name given exactly with its
// environment: only such a selection deletes one environment's copy alone.
bool NamedWithEnvironment(const CleanupOptions& options, std::wstring_view name) {
  if (options.environment.empty()) return false;
  for (const std::wstring& pattern : options.driverPatterns) {
    if (!HasWildcard(pattern) && MatchesDriverPattern(pattern, name)) return true;
  }
  return false;
}

// Lists one machine, plans its clean-up with the deletion engine and records
// the plan, or carries it out. False when a step was refused: the machine was
// given up (its time, or Ctrl+C) and its outcome is not wanted.
bool CleanUpMachine(const CleanupOptions& options, MachineSteps& steps, const std::wstring& machine,
                    MachineWork& work) {
  MachineOutcome& outcome = work.outcome;
  const std::unique_ptr<DriverInventory> inventory = CreateInventory();
  if (!inventory) {
    outcome.error = ERROR_NOT_ENOUGH_MEMORY;
    return true;
  }
  if (!steps.BeginReading()) return false;
  if (!EnumerateDrivers(*inventory, machine)) {
    outcome.error = inventory->lastError;
    return true;
  }
  if (options.unused && !inventory->printerUse) {
    outcome.error = inventory->printerError != 0 ? inventory->printerError : ERROR_INVALID_DATA;
    outcome.why = L"its printers could not be read, so no driver is known to be unused";
    return true;
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
  if (plan.drivers.empty()) return true;  // nothing to delete: a success

  // Reading the printers again is a listing of its own, with its own limit.
  if (!steps.BeginReading()) return false;
  DWORD error = 0;
  if (!PrepareDeletion(plan, error)) {
    outcome.error = error;
    outcome.why = plan.failedStep == PreparationStep::Packages
                      ? L"the driver packages could not be read"
                      : L"its printers could not be read";
    return true;
  }

  MachineRecord record(machine, outcome);
  std::vector<bool> goesAlone(plan.drivers.size(), false);
  for (size_t d = 0; d < plan.drivers.size(); ++d) {
    goesAlone[d] = NamedWithEnvironment(options, plan.drivers[d].name);
  }
  const std::vector<InUseDecision> decisions =
      DecideDriversInUse(plan, options.printers, goesAlone);
  std::vector<bool> drop(plan.drivers.size(), false);
  for (size_t d = 0; d < plan.drivers.size(); ++d) {
    if (decisions[d].rule == InUseRule::None) continue;
    drop[d] = true;
    RecordKeptDriver(record, plan.drivers[d], versions[d], decisions[d]);
    ++outcome.counts.driversKept;
  }
  const std::vector<size_t> before = DropDrivers(plan, drop, work.keptPackages);
  for (const size_t d : before) {
    work.versions.push_back(versions[d]);
    work.warnings.push_back(decisions[d].warning ? ClientsSentence(plan.drivers[work.warnings.size()],
                                                                   decisions[d])
                                                 : std::wstring());
  }

  if (!options.yes) {
    RecordWhatIf(record, work, outcome.counts);
    AbandonDeletion(plan);
    RecordKeptPackages(record, work, outcome.counts);
    return true;
  }
  plan.stop = &steps.StopFlag();
  if (!steps.BeginChanging(std::make_unique<MachineWork>(work))) return false;
  plan.beforeStep = [&steps, &plan](const DeletionStep& step) {
    return steps.BeginChange([&plan, &step](MachineResult& asItStands) {
      CopyOutcomes(plan, step, static_cast<MachineWork&>(asItStands));
    });
  };
  ExecuteDeletion(plan, nullptr);
  RecordDeletion(machine, work);
  return true;
}

std::wstring MachineLine(size_t finished, size_t total, std::wstring_view machine,
                         const CleanupTotals& counts, bool whatIf) {
  std::wstring line = MachineLinePrefix(finished, total, machine);
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

bool AnyFailed(const CleanupTotals& counts) {
  return counts.driversFailed + counts.printersFailed + counts.packagesFailed > 0;
}

bool AnyNotTried(const CleanupTotals& counts) {
  return counts.driversNotTried + counts.packagesNotTried > 0;
}

bool AnyLeft(const CleanupTotals& counts) {
  return AnyFailed(counts) || AnyNotTried(counts) || counts.driversKept + counts.packagesKept > 0;
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
  totals.packagesFailed += machine.packagesFailed;
  totals.packagesNotTried += machine.packagesNotTried;
}

// The main thread's side of a run: each machine's lines, log rows and line
// as it settles, and the totals.
class CleanupReport : public MachineRunSink {
 public:
  CleanupReport(MachineRun& run, const std::vector<std::wstring>& machines, bool whatIf,
                CsvLog* log, unsigned limitSeconds)
      : run_(run), machines_(machines), whatIf_(whatIf), log_(log), limitSeconds_(limitSeconds) {}

  const CleanupTotals& Totals() const { return totals_; }
  bool LogWritten() const { return logError_ == ERROR_SUCCESS; }

  void Finished(size_t index, std::unique_ptr<MachineResult> settled) override {
    const std::wstring& machine = machines_[index];
    auto* work = static_cast<MachineWork*>(settled.get());
    ++finished_;
    const DWORD error = work ? work->outcome.error : ERROR_NOT_ENOUGH_MEMORY;
    if (error != 0) {
      ++totals_.machinesFailed;
      const std::wstring why = work ? work->outcome.why : std::wstring();
      // "failed: the driver packages could not be read: 5 Access is denied."
      const std::wstring line =
          why.empty() ? FleetFailedLine(finished_, machines_.size(), machine, error,
                                        SystemErrorText(error))
                      : MachineLinePrefix(finished_, machines_.size(), machine) + L"failed: " +
                            why + L": " + CodeText(error) + L"\r\n";
      WriteConsoleRed(line.c_str());
      FlushConsole();
      return;
    }
    const CleanupTotals& counts = work->outcome.counts;
    const bool failed = !whatIf_ && AnyFailed(counts);
    const bool notFinished = !whatIf_ && !failed && AnyNotTried(counts);
    if (failed) {
      ++totals_.machinesFailed;
    } else if (notFinished) {
      ++totals_.machinesNotFinished;
    } else if (!whatIf_ && AnyLeft(counts)) {
      ++totals_.machinesWithKept;
    } else {
      ++totals_.machinesDone;
    }
    Write(work->outcome, failed ? kRed : kGreen,
          MachineLine(finished_, machines_.size(), machine, counts, whatIf_));
  }

  void GivenUpOn(size_t index, GivenUp why, std::unique_ptr<MachineResult> asItStands) override {
    auto* work = static_cast<MachineWork*>(asItStands.get());
    ++finished_;
    const std::wstring& machine = machines_[index];
    if (why == GivenUp::TimeLimit) {
      ++totals_.machinesFailed;
    } else {
      ++totals_.machinesNotFinished;
    }
    // Ctrl+C: a machine still being listed had nothing changed on it; one
    // inside a deletion step that did not end within the grace is unknown.
    const std::wstring line =
        why == GivenUp::TimeLimit
            ? FleetTooLateLine(finished_, machines_.size(), machine, limitSeconds_,
                               work ? L": its state is unknown, list it again" : L"")
            : MachineLinePrefix(finished_, machines_.size(), machine) + L"not finished: " +
                  (work ? L"stopped by Ctrl+C during a step; its state is unknown, list it again"
                        : L"stopped by Ctrl+C before any change") +
                  L"\r\n";
    if (work == nullptr) {
      WriteConsoleRed(line.c_str());
      FlushConsole();
      return;
    }
    FailStepInProgress(*work, why == GivenUp::TimeLimit ? ERROR_TIMEOUT : ERROR_REQUEST_ABORTED);
    RecordDeletion(machine, *work);
    Write(work->outcome, kRed, line);
  }

  size_t NotWritten() const { return notWritten_; }

 private:
  // A machine's lines, then its line; its rows reach the log in one append.
  // A log that cannot be written is named after the lines of the machine it
  // failed on, and no further machine starts.
  void Write(const MachineOutcome& outcome, WORD colour, const std::wstring& line) {
    bool failedNow = false;
    if (log_ && !outcome.rows.empty()) {
      if (logError_ == ERROR_SUCCESS) {
        logError_ = log_->AppendWhole(outcome.rows, header_);
        failedNow = logError_ != ERROR_SUCCESS;
      }
      if (logError_ != ERROR_SUCCESS) ++notWritten_;
    }
    AddCounts(totals_, outcome.counts);
    WriteConsoleRed(outcome.lines.c_str());
    WriteConsoleColored(colour, line.c_str());
    if (failedNow) {
      PrintLogWriteFailure(*log_, logError_);
      run_.Stop();
    }
    FlushConsole();
  }

  MachineRun& run_;
  const std::vector<std::wstring>& machines_;
  const bool whatIf_;
  CsvLog* const log_;
  const unsigned limitSeconds_;
  const std::string header_ = ActionsLogHeader();
  size_t finished_ = 0;
  size_t notWritten_ = 0;
  DWORD logError_ = ERROR_SUCCESS;
  CleanupTotals totals_;
};

}  // namespace

bool MatchesDriverPattern(std::wstring_view pattern, std::wstring_view name) {
  const std::wstring p = NameKey(pattern);
  const std::wstring n = NameKey(name);
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
  if (firstBytes.empty() || firstBytes == std::string_view(kBom)) return false;  // empty
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
  if (totals.machinesWithKept > 0) line += L", " + n(totals.machinesWithKept) + L" with kept items";
  if (totals.machinesFailed > 0 || !whatIf) line += L", " + n(totals.machinesFailed) + L" failed";
  if (totals.machinesNotFinished > 0) {
    line += L", " + n(totals.machinesNotFinished) + L" not finished";
  }
  if (totals.machinesNotWritten > 0) {
    line += L", " + n(totals.machinesNotWritten) + L" not written to the log";
  }
  line += L". Drivers: " + n(totals.driversGo) + (whatIf ? L" to delete, " : L" deleted, ") +
          n(totals.driversKept) + L" kept";
  if (!whatIf) line += L", " + n(totals.driversFailed) + L" failed";
  if (totals.driversNotTried > 0) line += L", " + n(totals.driversNotTried) + L" not tried";
  line += L". Printers: " + n(totals.printersGo) + (whatIf ? L" to delete" : L" deleted");
  if (totals.printersFailed > 0) line += L", " + n(totals.printersFailed) + L" failed";
  line += L". Packages: " + n(totals.packagesGo) + (whatIf ? L" to remove, " : L" removed, ") +
          n(totals.packagesKept) + L" kept";
  if (totals.packagesFailed > 0) line += L", " + n(totals.packagesFailed) + L" failed";
  if (totals.packagesNotTried > 0) line += L", " + n(totals.packagesNotTried) + L" not tried";
  return line + L".\r\n";
}

int RunCleanup(const ReportRequest& request, std::vector<std::wstring> machines, CsvLog* log) {
  // The workers' own copy: one left inside a spooler call may outlive this run.
  const auto context = std::make_shared<const CleanupContext>(
      CleanupContext{request.cleanup, std::move(machines)});
  const bool whatIf = !request.cleanup.yes;
  MachineRun run({context->machines.size(), request.timeoutSeconds});
  CleanupReport report(run, context->machines, whatIf, log, request.timeoutSeconds);
  const MachineRunEnd end = run.Run(
      [context](size_t index, MachineSteps& steps) -> std::unique_ptr<MachineResult> {
        auto work = std::make_unique<MachineWork>();
        if (!CleanUpMachine(context->options, steps, context->machines[index], *work)) {
          return nullptr;
        }
        return work;
      },
      report);
  if (!end.started) {
    std::wstring failure = L"Failed to start the clean-up: " + std::to_wstring(end.error) + L" ";
    AppendShownText(failure, SystemErrorText(end.error));
    WriteConsoleRed((failure + L"\r\n").c_str());
    return kExitFailed;
  }
  CleanupTotals totals = report.Totals();
  totals.machinesNotFinished += context->machines.size() - end.settled;  // never started
  totals.machinesNotWritten = report.NotWritten();
  const bool clean = !end.stopped && report.LogWritten() && totals.machinesFailed == 0 &&
                     totals.machinesNotFinished == 0 && (whatIf || !AnyLeft(totals));
  WriteConsoleColored(clean ? kGreen : kRed, CleanupSummaryLine(totals, whatIf).c_str());
  return clean ? kExitOk : kExitFailed;
}

}  // namespace kestrun
