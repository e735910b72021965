#include "report/cleanup.h"

#include <algorithm>
#include <cwchar>
#include <memory>
#include <new>
#include <optional>

#include "common/win32_handles.h"
#include "inventory/classification.h"
#include "inventory/deletion.h"
#include "inventory/driver_inventory.h"
#include "inventory/driver_store.h"
#include "inventory/field_text.h"
#include "inventory/snapshot.h"
#include "report/console.h"
#include "report/fleet.h"
#include "report/fleet_log.h"
#include "report/machine_run.h"

namespace kestrun {

namespace {

// How long an ending run waits for snapshots to remove their partial folders.
constexpr DWORD kSnapshotsEndMs = 10000;

bool HasWildcard(std::wstring_view pattern) {
  return pattern.find_first_of(L"*?") != std::wstring_view::npos;
}

struct MachineWork;
void RecordDeletion(std::wstring_view machine, MachineWork& work);
void FailStepInProgress(MachineWork& work, DWORD code);

// A machine's clean-up from its plan to its record.
struct MachineWork : ActionWork {
  DeletionPlan plan;
  std::vector<std::wstring> versions;  // of the plan's drivers
  std::vector<std::wstring> warnings;  // per planned driver: why its going needs a word
  std::vector<PlannedPackage> keptPackages;
  // The store's packages that could not be judged (only with /orphans): kept, each said.
  std::vector<PlannedPackage> notJudged;
  // Why the store's unused packages could not be listed (the drivers still go).
  DWORD storeError = 0;
  std::wstring storeProblem;
  // The step no answer came back from, when the machine is given up in it.
  bool stepInProgress = false;
  DeletionStep inProgress;

  void RecordAsItStands(std::wstring_view machine, DWORD code) override {
    FailStepInProgress(*this, code);
    RecordDeletion(machine, *this);
  }
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

void RecordKeptDriver(ActionRecord& record, const PlannedDriver& driver,
                      const std::wstring& version, const InUseDecision& decision,
                      bool printersAllowed) {
  const std::wstring why = decision.rule == InUseRule::ClientsGetIt
                               ? ClientsSentence(driver, decision)
                               : L"used by " + PrinterList(decision.printers);
  // Without /printers a used driver stays: the line says how to take its printers too.
  const bool printersMayGo = decision.rule != InUseRule::ClientsGetIt && !printersAllowed;
  record.Add(L"Kept: " + DriverText(driver.name, driver.environment, {}) + L": " + why +
                 (printersMayGo ? L" (add /printers to delete them too)" : L""),
             {L"kept", L"driver", driver.name, driver.environment, version,
              ERROR_PRINTER_DRIVER_IN_USE, why});
}

// The warning a driver's line ends with, when it has one.
std::wstring WithWarning(std::wstring line, const std::wstring& warning) {
  return warning.empty() ? line : line + L": " + warning;
}

// "hpcu215u.inf", and for a package no driver uses what its INF and folder
// say: "hpcu215u.inf" (Windows x64, 61.4.0.0, 2019-03-12, 412 MB).
std::wstring PackageText(const PlannedPackage& package) {
  std::wstring text = Quoted(FileNamePart(package.infPath));
  if (!package.orphan) return text;
  text += L" (";
  AppendShownText(text, package.environment);
  for (const std::wstring* part : {&package.version, &package.date}) {
    if (part->empty()) continue;
    text += L", ";
    AppendShownText(text, *part);
  }
  return text + L", " + SizeText(package.bytes) + L")";
}

void CountOrphan(const PlannedPackage& package, ActionTotals& counts) {
  ++counts.packagesGo;
  ++counts.orphansGo;
  counts.orphanBytes += package.bytes;
}

void RecordWhatIf(ActionRecord& record, const MachineWork& work, ActionTotals& counts) {
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
    if (package.orphan) {
      const std::wstring why = L"no driver uses it";
      record.Add(L"What if: remove package " + PackageText(package) + L": " + why,
                 {L"would remove", L"package", file, package.environment, package.version, 0, why},
                 package.bytes);
      CountOrphan(package, counts);
      continue;
    }
    record.Add(L"What if: remove package " + Quoted(file),
               {L"would remove", L"package", file, package.environment, {}, 0, {}});
    ++counts.packagesGo;
  }
}

void RecordPrinterOutcomes(ActionRecord& record, const DeletionPlan& plan,
                           const PlannedDriver& driver, std::vector<bool>& listed,
                           ActionTotals& counts) {
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

void RecordPackageOutcome(ActionRecord& record, const PlannedPackage& package,
                          ActionTotals& counts) {
  const std::wstring file(FileNamePart(package.infPath));
  const std::wstring quoted = PackageText(package);
  const std::optional<ULONGLONG> bytes =
      package.orphan ? std::optional<ULONGLONG>(package.bytes) : std::nullopt;
  switch (package.outcome) {
    case PackageOutcome::Removed:
      record.Add(
          L"Removed package " + quoted,
          {L"removed", L"package", file, package.environment, package.version, 0, {}},
          bytes);
      if (package.orphan) {
        CountOrphan(package, counts);
      } else {
        ++counts.packagesGo;
      }
      return;
    case PackageOutcome::Kept: {
      const std::wstring why = !package.orphan ? L"a driver from it was not deleted"
                               : package.error == ERROR_PRINTER_DRIVER_PACKAGE_IN_USE
                                   ? L"in use since the listing: " + CodeText(package.error)
                                   : L"the spooler refused it: " + CodeText(package.error);
      record.Add(L"Kept: package " + quoted + L": " + why,
                 {L"kept", L"package", file, package.environment, package.version, package.error,
                  why},
                 bytes);
      ++counts.packagesKept;
      return;
    }
    case PackageOutcome::Failed: {
      const std::wstring why = CodeText(package.error);
      record.Add(
          L"Failed: package " + quoted + L": " + why,
          {L"failed", L"package", file, package.environment, package.version, package.error, why},
          bytes);
      ++counts.packagesFailed;
      return;
    }
    case PackageOutcome::Gone: {
      const std::wstring why = L"removed since the listing";
      record.Add(L"Already gone: package " + quoted,
                 {L"already gone", L"package", file, package.environment, package.version, 0, why},
                 bytes);
      ++counts.packagesGo;  // what is gone already counts as removed
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
void RecordOutcome(ActionRecord& record, const MachineWork& work, ActionTotals& counts) {
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

void RecordKeptPackages(ActionRecord& record, const MachineWork& work, ActionTotals& counts) {
  const auto keep = [&](const PlannedPackage& package, const std::wstring& why) {
    const std::wstring file(FileNamePart(package.infPath));
    record.Add(L"Kept: package " + Quoted(file) + L": " + why,
               {L"kept", L"package", file, package.environment, package.version, 0, why},
               package.orphan ? std::optional<ULONGLONG>(package.bytes) : std::nullopt);
    ++counts.packagesKept;
  };
  for (const std::wstring& path : work.plan.nativePackages) {
    PlannedPackage native;
    native.infPath = path;
    keep(native, L"the system's own");
  }
  for (const PlannedPackage& package : work.keptPackages)
    keep(package, L"a driver from it is kept");
  for (const PlannedPackage& package : work.plan.sharedPackages) {
    keep(package,
         package.keptWhy.empty() ? L"still used by " + Quoted(package.usedBy) : package.keptWhy);
  }
  // The store's packages Kestrun could not judge stay, each said; they were
  // never among the unused, so they leave nothing undone.
  for (const PlannedPackage& package : work.notJudged) {
    const std::wstring file(FileNamePart(package.infPath));
    record.Add(
        L"Not judged: package " + Quoted(file) + L": " + package.keptWhy,
        {L"not judged", L"package", file, package.environment, package.version, 0, package.keptWhy},
        package.bytes);
    ++counts.packagesNotJudged;
  }
  if (work.storeError != 0) {
    std::wstring why = L"the driver store could not be read: ";
    AppendShownText(why, work.storeProblem);
    why += L": " + CodeText(work.storeError);
    record.Add(L"Failed: " + why, {L"failed", L"package", {}, {}, {}, work.storeError, why});
    ++counts.packagesFailed;
  }
  if (const DWORD error = work.plan.packageListError) {  // an old server: none to remove
    const std::wstring why = L"the driver packages could not be read: " + CodeText(error);
    record.Add(L"Kept: " + why, {L"kept", L"package", {}, {}, {}, error, why});
  }
}

// The record of a carried-out plan, from the plan's outcomes.
void RecordDeletion(std::wstring_view machine, MachineWork& work) {
  ActionRecord record(machine, work.outcome);
  RecordOutcome(record, work, work.outcome.counts);
  RecordKeptPackages(record, work, work.outcome.counts);
}

// Saves what the plan deletes before its first step, and names the folder
// and the command that puts it back. False when it could not be saved whole
// (the machine then fails, and nothing is deleted) or the run stopped first.
bool SaveSnapshot(const CleanupOptions& options, MachineSteps& steps, ActionRecord& record,
                  MachineWork& work) {
  // Reading the machine's files is a step of its own, with its own limit.
  if (!steps.BeginReading()) return false;
  std::wstring folder, problem;
  const std::wstring root =
      options.snapshotsRoot.empty() ? DefaultSnapshotRoot() : options.snapshotsRoot;
  if (const DWORD error = TakeSnapshot(work.plan, root, folder, problem)) {
    work.outcome.error = error;
    work.outcome.why = L"the snapshot could not be saved: ";
    AppendShownText(work.outcome.why, problem);
    return false;
  }
  const std::wstring command = L"Kestrun /restore /yes \"" + folder + L"\"";
  std::wstring line = L"Saved in ";
  AppendShownText(line, folder);
  record.Add(line + L": " + command, {L"saved", L"snapshot", folder, {}, {}, 0, command});
  return true;
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

// The store's unused printer packages, for the plan to check again and
// remove after the drivers. Without the drivers' packages (an old server)
// none is known to be unused: the plan's reading of them says why.
void ListOrphans(const DriverInventory& inventory, MachineSteps& steps, MachineWork& work) {
  std::vector<DriverInf> drivers;
  if (!DriverInfsOf(inventory, drivers)) return;
  const MachineFiles files{std::wstring(BareMachineName(inventory.targetName)), inventory.isRemote};
  std::vector<StorePackage> packages;
  work.storeError = ListDriverStore(DriverStoreFolder(files), RealStoreFiles(), packages,
                                    work.storeProblem, &steps.StopFlag());
  if (work.storeError != 0) return;
  ClassifyStorePackages(packages, drivers, true);
  const std::wstring onMachine = StoreOnMachine(files, drivers);
  for (const StorePackage& package : packages) {
    // The spooler removes a package only for its environment.
    if (package.use == PackageUse::Unused && !package.environment.empty()) {
      work.plan.orphans.push_back(PlannedOrphan(package, onMachine));
    } else if ((package.use == PackageUse::Unknown && !package.why.empty()) ||
               package.use == PackageUse::Unreadable) {
      PlannedPackage left = PlannedOrphan(package, onMachine);
      left.keptWhy = package.use == PackageUse::Unreadable && package.why.empty()
                         ? std::wstring(L"its INF could not be read")
                         : package.why;
      work.notJudged.push_back(std::move(left));
    }
  }
}

// Lists one machine, plans its clean-up with the deletion engine and records
// the plan, or carries it out. False when a step was refused: the machine was
// given up (its time, or Ctrl+C) and its outcome is not wanted.
bool CleanUpMachine(const CleanupOptions& options, MachineSteps& steps, const std::wstring& machine,
                    MachineWork& work) {
  ActionOutcome& outcome = work.outcome;
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
  if (plan.drivers.empty() && !options.orphans) return true;  // nothing to delete: a success
  if (options.orphans) {
    plan.removePackages = true;               // the packages the deletions leave unused go too
    if (!steps.BeginReading()) return false;  // the store is a listing of its own
    ListOrphans(*inventory, steps, work);
  }

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

  ActionRecord record(machine, outcome);
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
    RecordKeptDriver(record, plan.drivers[d], versions[d], decisions[d], options.printers);
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
  plan.stop = &steps.StopFlag();  // Ctrl+C also cuts a snapshot short
  const bool changes = !plan.drivers.empty() || !plan.packages.empty();
  if (!options.noSnapshot && changes && !SaveSnapshot(options, steps, record, work)) {
    AbandonDeletion(plan);
    return !steps.StopFlag().load();  // after Ctrl+C the machine is not finished
  }
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

int RunCleanup(const ReportRequest& request, std::vector<std::wstring> machines, CsvLog* log) {
  // The workers' own copy: one left inside a spooler call may outlive this run.
  const auto context = std::make_shared<const CleanupContext>(
      CleanupContext{request.cleanup, std::move(machines)});
  const int exitCode =
      RunActions(context->machines, request.timeoutSeconds, !request.cleanup.yes, log, kDeleteWords,
                 [context](size_t index, MachineSteps& steps) -> std::unique_ptr<MachineResult> {
                   auto work = std::make_unique<MachineWork>();
                   if (!CleanUpMachine(context->options, steps, context->machines[index], *work)) {
                     return nullptr;
                   }
                   return work;
                 });
  // The run has stopped its workers: a snapshot cut short removes its
  // partial folder before the process ends.
  WaitForSnapshotsInProgress(kSnapshotsEndMs);
  return exitCode;
}

}  // namespace kestrun
